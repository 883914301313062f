curl 'https://example.com/graphql' \
  -H 'accept: */*' \
  -H 'content-type: application/json' \
  --data-raw '{"q":"it'\''s done!"}' \
  --compressed
