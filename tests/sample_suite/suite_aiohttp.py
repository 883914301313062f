"""Sample tests over aiohttp: concurrent tasks on one session, its cookie jar, redirects and binary bodies."""

import asyncio

import aiohttp
import pytest

import sample_app as app


def run(base, body):
    async def main():
        # An unsafe jar: aiohttp's default one keeps no cookie of an IP address such as the app's.
        async with aiohttp.ClientSession(base, cookie_jar=aiohttp.CookieJar(unsafe=True)) as s:
            return await body(s)

    return asyncio.run(main())


def test_gathered_tasks(base):
    async def body(s):
        async def one(i):
            async with s.post("/echo", json={"task": i}) as r:
                return (await r.json())["body"]

        return await asyncio.gather(*(one(i) for i in range(3)))

    assert run(base, body) == ['{"task": 0}', '{"task": 1}', '{"task": 2}']


def test_login_then_me(base):
    async def body(s):
        async with s.post("/login", data={"user": app.USER, "password": app.PASSWORD}) as r:
            assert r.status == 200
        async with s.get("/me") as r:
            return r.status

    assert run(base, body) == 200


@pytest.mark.parametrize("auth", ["bearer", "basic", "header-key"])
def test_credentials(base, auth):
    async def body(s):
        if auth == "bearer":
            call = s.get("/bearer", headers={"Authorization": f"Bearer {app.TOKEN}"})
        elif auth == "basic":
            call = s.get("/basic", headers={"Authorization": aiohttp.encode_basic_auth(app.USER, app.BASIC_PASSWORD)})
        else:
            call = s.get("/key/header", headers={"X-API-Key": app.HEADER_KEY})
        async with call as r:
            return r.status

    assert run(base, body) == 200


@pytest.mark.parametrize("code", ["302", "307"])
def test_redirect(base, code):
    async def body(s):
        async with s.get(f"/redirect/{code}") as r:
            return r.history[0].status, (await r.json())["target"]

    assert run(base, body) == (int(code), f"/echo?from={code}")


def test_binary_and_gzip(base):
    async def body(s):
        async with s.post("/upload", data=b"\x89PNG\r\n\x1a\n" + bytes(64)) as r:
            size = (await r.json())["size"]
        async with s.get("/download") as r:
            data = await r.read()
        async with s.get("/gzip") as r:
            decoded = await r.json()
        return size, data, decoded["compressed"]

    assert run(base, body) == (72, app.DOWNLOAD, True)
