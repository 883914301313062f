"""A test suite's requests, for the recording examples."""
import requests


def test_login():
    answer = requests.post("http://127.0.0.1:8000/login", data={"user": "alice", "password": "hunter2-Pa55word"})
    assert answer.status_code == 200


def test_items():
    assert requests.get("http://127.0.0.1:8000/v1/items", headers={"Authorization": "Bearer 5f2b9c"}).ok
