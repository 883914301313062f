"""Sample tests over urllib3 and urllib.request."""

import gzip
import json
import urllib.error
import urllib.request
from http.cookiejar import CookieJar

import pytest
import urllib3

import sample_app as app


@pytest.fixture(scope="module")
def pool():
    with urllib3.PoolManager() as p:
        yield p


def test_urllib3_echo(pool, base):
    r = pool.request("PATCH", f"{base}/echo", body=b'{"x": 1}', headers={"Content-Type": "application/json"})
    assert json.loads(r.data)["method"] == "PATCH"


@pytest.mark.parametrize("code", ["301", "303"])
def test_urllib3_redirect(pool, base, code):
    r = pool.request("GET", f"{base}/redirect/{code}?to=absolute")
    assert r.status == 200 and json.loads(r.data)["target"] == f"/echo?from={code}"


def test_urllib3_credentials(pool, base):
    assert pool.request("GET", f"{base}/key/query?api_key={app.QUERY_KEY}").status == 200
    headers = urllib3.make_headers(basic_auth=f"{app.USER}:{app.BASIC_PASSWORD}")
    assert pool.request("GET", f"{base}/basic", headers=headers).status == 200
    assert pool.request("GET", f"{base}/me", headers={"Cookie": f"session={app.SESSION}"}).status == 200


def test_urllib3_binary_head_chunked(pool, base):
    assert pool.request("POST", f"{base}/upload", body=bytes(range(200, 256))).json()["size"] == 56
    assert pool.request("HEAD", f"{base}/download").data == b""
    assert pool.request("GET", f"{base}/chunked").data == b"first,second,third\n"


def test_urllib_request_login_cookie_jar(base):
    opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(CookieJar()))
    body = f"user={app.USER}&password={app.PASSWORD}".encode()
    with opener.open(f"{base}/login", data=body) as r:
        assert r.status == 200 and json.loads(r.read()) == {"user": app.USER}
    assert json.loads(opener.open(f"{base}/me").read())["user"] == app.USER


@pytest.mark.parametrize("code", ["302", "307"])
def test_urllib_request_redirect(base, code):
    with urllib.request.urlopen(f"{base}/redirect/{code}?to=relative") as r:
        assert json.loads(r.read())["target"] == f"/echo?from={code}"


def test_urllib_request_token_and_bearer(base):
    form = f"grant_type=password&username={app.USER}&password={app.PASSWORD}".encode()
    token = json.loads(urllib.request.urlopen(f"{base}/token", data=form).read())["access_token"]
    req = urllib.request.Request(f"{base}/bearer", headers={"Authorization": f"Bearer {token}"})
    with urllib.request.urlopen(req) as r:
        assert r.status == 200 and json.loads(r.read()) == {"scope": "read"}


def test_urllib_request_refused_and_204(base):
    with pytest.raises(urllib.error.HTTPError) as e:
        urllib.request.urlopen(f"{base}/key/header")
    assert e.value.code == 403 and json.loads(e.value.read()) == {"error": "key"}
    assert urllib.request.urlopen(urllib.request.Request(f"{base}/items/3", method="DELETE")).status == 204
    with urllib.request.urlopen(f"{base}/gzip") as r:  # urllib.request decodes nothing itself
        assert r.headers["Content-Encoding"] == "gzip" and json.loads(gzip.decompress(r.read()))["compressed"]
