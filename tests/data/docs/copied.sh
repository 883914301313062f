# as the API's documentation shows it
curl 'http://127.0.0.1:8000/v1/items?page=1' \
  -H 'Authorization: Bearer 5f2b9c' \
  --json '{"name": "box", "note": "it'\''s fragile"}'
