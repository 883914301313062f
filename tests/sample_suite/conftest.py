"""The sample suite's fixtures: the app's address from TOLMEK_SAMPLE_BASE, and a session logged in by a fixture."""

import os

import pytest
import requests

import sample_app


@pytest.fixture(scope="session")
def base():
    found = os.environ.get("TOLMEK_SAMPLE_BASE")
    if not found:
        pytest.exit("TOLMEK_SAMPLE_BASE names no app: start tests/sample_app.py, set it to the address printed",
                    returncode=4)
    return found


@pytest.fixture
def logged_in(base):
    """A requests session with the app's session cookie: the login is sent from this fixture."""
    with requests.Session() as s:
        r = s.post(f"{base}/login", data={"user": sample_app.USER, "password": sample_app.PASSWORD})
        assert r.status_code == 200 and s.cookies.get("session") == sample_app.SESSION
        yield s
