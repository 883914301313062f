curl https://api.example.com/me -H "Authorization: Bearer $TOKEN"
