"""Sample tests over httpx, its Client and its AsyncClient (several requests from concurrent asyncio tasks)."""

import asyncio

import httpx
import pytest

import sample_app as app


@pytest.fixture
def client(base):
    with httpx.Client(base_url=base) as c:
        yield c


def test_echo_json(client):
    r = client.put("/echo", json={"id": 3, "ok": True})
    assert r.json()["method"] == "PUT"


def test_login_cookie(client):
    assert client.post("/login", json={"user": app.USER, "password": app.PASSWORD}).status_code == 200
    assert client.get("/me").json()["items"] == [1, 2, 3]


def test_bearer(client):
    assert client.get("/bearer", headers={"Authorization": f"Bearer {app.TOKEN}"}).status_code == 200
    assert client.get("/bearer").status_code == 401


def test_basic_auth(client):
    assert client.get("/basic", auth=(app.USER, app.BASIC_PASSWORD)).status_code == 200


@pytest.mark.parametrize("params", [{"api_key": app.QUERY_KEY}, {"api_key": "nope"}], ids=["good-key", "bad-key"])
def test_query_key(client, params):
    r = client.get("/key/query", params=params)
    assert r.status_code == (200 if params["api_key"] == app.QUERY_KEY else 403)


def test_header_key(client):
    assert client.get("/key/header", headers={"x-api-key": app.HEADER_KEY}).status_code == 200


@pytest.mark.parametrize("code", ["301", "302", "303", "307"])
def test_redirect(client, code):
    r = client.post(f"/redirect/{code}?to=absolute", content=b"payload", follow_redirects=True)
    assert r.json()["method"] == ("POST" if code == "307" else "GET")
    assert r.history[0].status_code == int(code)


def test_redirect_not_followed(client):
    r = client.get("/redirect/302")
    assert r.status_code == 302 and r.headers["location"] == "/echo?from=302"


def test_form_and_account(client):
    assert client.post("/form", data={"city": "Zürich"}).json() == {"fields": {"city": "Zürich"}}
    r = client.post("/account", json={"user": "carol", "password": app.NEW_PASSWORD, "refresh_token": app.REFRESH})
    assert r.status_code == 201


def test_binary(client):
    assert client.put("/upload", content=b"\x00\xff\xfe" * 100).json()["size"] == 300
    assert client.get("/download").content == app.DOWNLOAD


def test_head_204_chunked_gzip(client):
    assert client.head("/resource").headers["content-length"] == str(len("résumé\n".encode()) * 10)
    assert client.delete("/items/9").status_code == 204
    assert client.get("/chunked").text == "first,second,third\n"
    assert client.get("/gzip").json()["n"][-1] == 19


def test_async_tasks(base):
    async def main():
        async with httpx.AsyncClient(base_url=base) as c:
            got = await asyncio.gather(*(c.get(f"/echo?task={i}") for i in range(4)))
            return [r.json()["target"] for r in got]

    assert asyncio.run(main()) == [f"/echo?task={i}" for i in range(4)]


@pytest.mark.parametrize("n", [1, 2])
def test_async_login(base, n):
    async def main():
        async with httpx.AsyncClient(base_url=base) as c:
            await c.post("/login", data={"user": app.USER, "password": app.PASSWORD})
            return (await c.get(f"/me?n={n}")).status_code

    assert asyncio.run(main()) == 200
