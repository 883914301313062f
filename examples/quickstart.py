"""Quick start: render a request as a curl command and export a small collection."""

import json

import tolmek
from tolmek import HTTPMETHOD, Tolmek, TolmekCollection

create = Tolmek(
    "https://api.example.com/v1/items?page=1",
    [("Content-Type", "application/json"), ("Authorization", "Bearer 5f2b9c")],
    HTTPMETHOD.POST,
    '{"name": "box", "note": "it\'s fragile"}',
)
status = Tolmek("https://api.example.com/status", [], HTTPMETHOD.GET)

print("HTTP methods:", ", ".join(str(getattr(HTTPMETHOD, name)) for name in
                                 ("GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT")))
print()
print("curl command, ready to paste into a shell:")
print(create.get_request_command())
print()

collection = TolmekCollection([status])
collection.add_request(create)
document = collection.export_collection()
print("Postman collection (v2.1.0):")
print(document)
print()
print("It is plain JSON:", len(json.loads(document)["item"]), "requests, module", tolmek.__name__)
