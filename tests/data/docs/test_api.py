"""A small test suite, for the recording examples: its requests go to the address the examples serve."""
import requests


def test_login_then_me():
    session = requests.Session()
    assert session.post("http://127.0.0.1:8000/login", data={"user": "alice", "password": "hunter2-Pa55word"}).ok
    assert session.get("http://127.0.0.1:8000/me", headers={"Cookie": "session=s3ss-0a1b2c3d4e5f"}).ok


def test_items():
    assert requests.get("http://127.0.0.1:8000/v1/items", headers={"Authorization": "Bearer 5f2b9c"}).ok
