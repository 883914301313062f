"""Sample tests over requests: sessions, every kind of credential, redirects, binary bodies, a class and a thread."""

import hashlib
import json
import threading

import pytest
import requests

import sample_app as app


def test_echo_json(base):
    r = requests.post(f"{base}/echo", json={"name": "widget", "tags": ["a", "b"], "price": 9.5})
    assert r.status_code == 200
    assert json.loads(r.json()["body"]) == {"name": "widget", "tags": ["a", "b"], "price": 9.5}


def test_session_from_fixture(logged_in, base):
    assert logged_in.get(f"{base}/me").json()["user"] == app.USER


def test_logout(logged_in, base):
    assert logged_in.post(f"{base}/logout").status_code == 200
    assert "session" not in logged_in.cookies


def test_wrong_password(base):
    r = requests.post(f"{base}/login", data={"user": app.USER, "password": "not-it"})
    assert r.status_code == 401


def test_token_then_bearer(base):
    got = requests.post(f"{base}/token", data={"grant_type": "password", "username": app.USER,
                                                "password": app.PASSWORD}).json()
    r = requests.get(f"{base}/bearer", headers={"Authorization": f"Bearer {got['access_token']}"})
    assert r.json() == {"scope": "read"}


def test_basic_auth(base):
    assert requests.get(f"{base}/basic", auth=(app.USER, app.BASIC_PASSWORD)).status_code == 200
    assert requests.get(f"{base}/basic", auth=(app.USER, "wrong")).status_code == 401


@pytest.mark.parametrize("where", ["query", "header"])
def test_api_key(base, where):
    if where == "query":
        r = requests.get(f"{base}/key/query", params={"api_key": app.QUERY_KEY, "page": "2"})
    else:
        r = requests.get(f"{base}/key/header", headers={"X-API-Key": app.HEADER_KEY})
    assert r.status_code == 200


@pytest.mark.parametrize("code", ["301", "302", "303", "307"])
@pytest.mark.parametrize("to", ["relative", "absolute"])
def test_redirect(base, code, to):
    method = "POST" if code in ("303", "307") else "GET"
    r = requests.request(method, f"{base}/redirect/{code}?to={to}", data=b"moved body" if method == "POST" else None)
    assert [h.status_code for h in r.history] == [int(code)]
    expected = "POST" if code == "307" else "GET"
    assert r.json()["method"] == expected


def test_upload_download(base):
    blob = bytes(range(256)) * 3
    r = requests.post(f"{base}/upload", data=blob, headers={"Content-Type": "application/octet-stream"})
    assert r.json()["sha256"] == hashlib.sha256(blob).hexdigest()
    assert requests.get(f"{base}/download").content == app.DOWNLOAD


def test_head_and_204(base):
    r = requests.head(f"{base}/resource")
    assert r.status_code == 200 and r.content == b"" and r.headers["ETag"] == '"r1"'
    assert requests.delete(f"{base}/items/7").status_code == 204


def test_chunked_and_gzip(base):
    assert requests.get(f"{base}/chunked").text == "first,second,third\n"
    r = requests.get(f"{base}/gzip")
    assert r.headers["Content-Encoding"] == "gzip" and r.json()["compressed"] is True


def test_from_a_thread(base):
    got = []
    t = threading.Thread(target=lambda: got.append(requests.get(f"{base}/echo?from=thread").status_code))
    t.start()
    t.join()
    assert got == [200]


class TestAccount:
    """A class-based test: an account made with secrets in its JSON body, then a form post."""

    def test_create(self, base):
        r = requests.post(f"{base}/account", json={"user": "bob", "password": app.NEW_PASSWORD,
                                                    "refresh_token": app.REFRESH})
        assert r.status_code == 201

    def test_refused(self, base):
        assert requests.post(f"{base}/account", json={"user": "bob"}).status_code == 400

    @pytest.mark.parametrize("fields", [{"a": "1"}, {"q": "x y", "lang": "fr"}], ids=["one", "two"])
    def test_form(self, base, fields):
        assert requests.post(f"{base}/form", data=fields).json() == {"fields": fields}
