"""tolmek_http.record and the pytest plugin against real clients and a loopback server: what is recorded is what arrived, once, in the same folders and order with and without pytest-xdist."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from conftest import loopback_env
from http_matrix import differences
from recorder import Recorder

pytest_plugins = ["pytester"]

# A writer standing in for tolmek_http.writer: these tests are about what reaches it. It writes
# what it was given to DIRECTORY/written.json, which must not exist yet (a second call fails).
STUB_WRITER = '''
import json, os, sys, types

def _text(b):
    return None if b is None else b.decode("latin-1")

def write(directory, exchanges, *, secret_names=None, extra_secret_names=(), write_secrets=True):
    rows = []
    for e in exchanges:
        r = e.request
        try:
            curl = r.curl
        except ValueError as error:
            curl = "refused: " + str(error)
        rows.append({"test": e.test, "folder": list(e.folder), "order": list(e.order), "method": r.method,
                     "target": _text(r.target), "headers": [[_text(n), _text(v)] for n, v in r.headers],
                     "body": _text(r.body), "status": None if e.response is None else e.response.status,
                     "answer": None if e.response is None else _text(e.response.body), "curl": curl})
    path = os.path.join(directory, "written.json")
    with open(path, "x") as f:
        json.dump({"rows": rows, "secret_names": None if secret_names is None else list(secret_names),
                   "extra_secret_names": list(extra_secret_names), "write_secrets": write_secrets}, f)
    return [path]

module = types.ModuleType("tolmek_http.writer")
module.write = write
sys.modules["tolmek_http.writer"] = module
'''


@pytest.fixture(scope="module")
def server():
    with Recorder() as rec:
        yield rec


@pytest.fixture
def env(server, monkeypatch):
    """The loopback server's address for the inner runs, reached without any proxy."""
    for name in list(os.environ):
        if "proxy" in name.lower():
            monkeypatch.delenv(name)
    monkeypatch.setenv("TOLMEK_TEST_BASE", server.base)
    server.take()
    return server


def arrived(arrivals):
    return sorted((a.method.decode("latin-1"), a.target.decode("latin-1"),
                   [[n.decode("latin-1"), v.decode("latin-1")] for n, v in a.headers], a.body.decode("latin-1"))
                  for a in arrivals)


def recorded(rows):
    return sorted((r["method"], r["target"], r["headers"], r["body"] or "") for r in rows)


def run_program(tmp_path, code, *args, flags=()):
    (tmp_path / "stub_writer.py").write_text(STUB_WRITER)
    (tmp_path / "program.py").write_text(textwrap.dedent(code))
    return subprocess.run([sys.executable, *flags, str(tmp_path / "program.py"), *args], capture_output=True,
                          text=True, timeout=120, cwd=tmp_path,
                          env=dict(loopback_env(), PYTHONPATH=os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))))


# --- tolmek_http.record in a program ---------------------------------------------------------------

EVERY_CLIENT = '''
import asyncio, json, sys, threading
import stub_writer
import tolmek_http

base, out = sys.argv[1], sys.argv[2]
clients = ("requests", "urllib3", "httpx", "aiohttp", "urllib.request")
assert not [c for c in clients if c in sys.modules], "imported before the recording"
with tolmek_http.record(out, secret_names=["X-Key"], write_secrets=False) as rec:
    import requests, urllib3, httpx, aiohttp, urllib.request
    requests.get(base + "/requests/get", headers={"X-Key": "k"})
    session = requests.Session()
    session.post(base + "/requests/session", data=b"\\x00\\xff")
    session.post(base + "/requests/chunked", data=iter([b"a", b"bc"]))
    urllib3.PoolManager().request("PUT", base + "/urllib3", body=b"u3")
    urllib3.ProxyManager(base).request("GET", "http://example.invalid/through/a/proxy")
    httpx.post(base + "/httpx", content=b"h")
    urllib.request.urlopen(base + "/urlopen").read()
    urllib.request.build_opener().open(base + "/opener").read()
    threads = [threading.Thread(target=lambda i=i: requests.get(f"{base}/thread/{i}")) for i in range(6)]
    threads += [threading.Thread(target=lambda i=i: session.get(f"{base}/shared/{i}")) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    async def tasks():
        async with aiohttp.ClientSession() as s:
            async def one(i):
                async with s.get(f"{base}/aiohttp/{i}") as r:
                    await r.read()
            await asyncio.gather(*(one(i) for i in range(5)))
        async with httpx.AsyncClient() as c:
            await asyncio.gather(*(c.get(f"{base}/httpx-async/{i}") for i in range(4)))
        # Two sessions on one connector, which carries the callbacks: each request once.
        connector = aiohttp.TCPConnector()
        async with aiohttp.ClientSession(connector=connector, connector_owner=False) as a:
            async with aiohttp.ClientSession(connector=connector) as b:
                for s in (a, b):
                    async with s.get(f"{base}/one-connector") as r:
                        await r.read()

    asyncio.run(tasks())
    mine = []  # a session the program captures itself as well
    tolmek_http.capture(requests.Session(), mine.append).get(base + "/captured-too")
print(json.dumps({"seen": len(rec.exchanges), "paths": rec.paths, "warnings": rec.warnings, "mine": len(mine)}))
'''


def test_record_every_client_thread_and_task_once(tmp_path, env):
    """Every request the server saw is recorded once (requests over urllib3 not twice), with what
    was sent, from threads and tasks, by clients imported only inside the block; the writer gets
    the options; each exchange carries its response."""
    done = run_program(tmp_path, EVERY_CLIENT, env.base, str(tmp_path))
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    written = json.loads((tmp_path / "written.json").read_text())
    arrivals = env.take()
    assert len(arrivals) == 32 and report["seen"] == 32 and report["warnings"] == [] and report["mine"] == 1
    assert recorded(written["rows"]) == arrived(arrivals)
    assert report["paths"] == [str(tmp_path / "written.json")]
    assert (written["secret_names"], written["write_secrets"]) == (["X-Key"], False)
    rows = written["rows"]
    assert [r["order"] for r in rows] == [[0, n] for n in range(1, 33)]
    assert {(r["test"], tuple(r["folder"])) for r in rows} == {(None, ())}
    assert not [r["curl"] for r in rows if "curl " not in r["curl"] or r["curl"].startswith("refused")]
    assert [(r["status"], r["answer"]) for r in rows] == [(200, "ok")] * 32


AROUND = '''
import gc, importlib.machinery, json, sys, types, weakref
import httpx, urllib.request, urllib3
import stub_writer
import tolmek_http

sys.modules["aiohttp"] = types.ModuleType("aiohttp")  # a package of that name that is not the client
sys.modules["aiohttp"].__spec__ = importlib.machinery.ModuleSpec("aiohttp", None)


class Early(urllib3.PoolManager):
    """Sets its pool classes after super().__init__, as urllib3's SOCKSProxyManager does."""

    pool_classes_by_scheme = dict(urllib3.poolmanager.pool_classes_by_scheme)

    def __init__(self):
        super().__init__()
        self.pool_classes_by_scheme = Early.pool_classes_by_scheme

base, out = sys.argv[1], sys.argv[2]
with urllib.request.urlopen(base + "/before") as r:  # the opener urlopen keeps, made before any recording
    r.read()
mock = httpx.MockTransport(lambda request: httpx.Response(204))
with tolmek_http.record(out + "/1") as rec:
    with urllib.request.urlopen(base + "/urlopen") as r:
        r.read()
    answers = []
    for _ in range(2):
        with httpx.Client(transport=mock) as c:
            answers.append(c.get("http://mock.invalid/").status_code)
    client = httpx.Client()
    client.get(base + "/inside")

    class Late(Early):
        def __init__(self):
            super().__init__()
            self.pool_classes_by_scheme = Early.pool_classes_by_scheme

    for made in (Early(), Late(), urllib3.ProxyManager(base)):
        made.request("GET", f"{base}/{type(made).__name__}")
    try:
        with tolmek_http.record(out + "/nested"):
            pass
    except tolmek_http.RecordingError as e:
        nested = str(e)
client.get(base + "/after")  # made during the recording, used after it: nothing kept
try:
    with tolmek_http.record(out + "/2") as second:
        client.get(base + "/raised")
        raise KeyError("the block raised")
except KeyError:
    pass
client.close()
import tracemalloc
with tolmek_http.record(out + "/3") as third:  # memory: what is kept is the exchanges, nothing more
    pool = urllib3.PoolManager()
    for i in range(100):
        pool.request("GET", f"{base}/warm")
    third.exchanges.clear()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for i in range(1000):
        pool.request("GET", f"{base}/m")
    kept = len(third.exchanges)
    third.exchanges.clear()
    gc.collect()
    growth = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    pool.clear()
seen = [e.request.target.decode() for e in rec.exchanges]
first = rec.warnings
ref = weakref.ref(rec)
del rec
gc.collect()
print(json.dumps({"seen": seen, "first": first, "answers": answers, "nested": nested, "warnings": second.warnings,
                  "second": [e.request.target.decode() for e in second.exchanges], "freed": ref() is None,
                  "kept": kept, "grew": growth < 20_000 or growth}))
'''


def test_record_around_and_after(tmp_path, env):
    """A transport capture cannot read, or a package of a client's name that is not it, is named
    once on stderr and the program goes on (also with warnings as errors); subclasses that finish their set-up after super().__init__ are recorded;
    a second recording is refused word for word; the patches stay and do nothing after the block;
    the writer runs when the block raised; nothing keeps a recording alive, and a recording grows
    by its exchanges alone."""
    for d in ("1", "2", "3", "nested"):
        (tmp_path / d).mkdir()
    done = run_program(tmp_path, AROUND, env.base, str(tmp_path), flags=("-W", "error"))
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    said = ["aiohttp not recorded: it cannot be patched: AttributeError: module 'aiohttp' has no attribute 'ClientSession'",
            "httpx.Client not recorded: cannot capture through the transport MockTransport: it is not an "
            "httpx.HTTPTransport or AsyncHTTPTransport"]
    assert report.pop("first") == said
    assert done.stderr == "".join(f"tolmek_http.record: {line}\n" for line in said)
    assert report == {"seen": ["/urlopen", "/inside", "/Early", "/Late", f"{env.base}/ProxyManager"], "answers": [204, 204], "second": ["/raised"], "warnings": [],
                      "freed": True, "kept": 1000, "grew": True, "nested": "a recording is already active: tolmek_http.record cannot be nested or "
                      "run twice at once (under pytest --tolmek-record the whole session is one)"}
    assert [r["target"] for r in json.loads((tmp_path / "2" / "written.json").read_text())["rows"]] == ["/raised"]
    assert len(env.take()) == 8 + 1100


# --- the pytest plugin ------------------------------------------------------------------------------

SUITE = {
    "conftest.py": STUB_WRITER,
    "test_api.py": '''
        import asyncio, os, threading
        import pytest, requests

        BASE = os.environ["TOLMEK_TEST_BASE"]

        @pytest.fixture
        def logged_in():
            requests.post(BASE + "/login", data=b"user")
            yield
            requests.post(BASE + "/logout")

        @pytest.mark.parametrize("who", ["admin", "guest"])
        def test_login(who, logged_in):
            requests.get(f"{BASE}/me/{who}")

        def test_threads():
            import httpx
            threads = [threading.Thread(target=lambda i=i: httpx.get(f"{BASE}/thread/{i}")) for i in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        def test_tasks():
            import aiohttp

            async def main():
                async with aiohttp.ClientSession() as s:
                    async def one(i):
                        async with s.get(f"{BASE}/task/{i}") as r:
                            await r.read()
                    await asyncio.gather(*(one(i) for i in range(4)))
            asyncio.run(main())

        class TestUrllib:
            def test_open(self):
                import urllib.request
                urllib.request.urlopen(BASE + "/urllib").read()
    ''',
    "test_more.py": '''
        import os, time
        import pytest, urllib3

        BASE = os.environ["TOLMEK_TEST_BASE"]

        @pytest.mark.parametrize("n", range(6))
        def test_steps(n):
            pool = urllib3.PoolManager()
            for step in range(n % 3 + 1):
                pool.request("GET", f"{BASE}/steps/{n}/{step}")
            time.sleep(0.05 * (n % 2))

        def test_quiet():
            pass
    ''',
}

NODES = ["test_api.py::test_login[admin]", "test_api.py::test_login[guest]", "test_api.py::test_threads",
         "test_api.py::test_tasks", "test_api.py::TestUrllib::test_open",
         *(f"test_more.py::test_steps[{n}]" for n in range(6)), "test_more.py::test_quiet"]


def canonical(rows):
    """The rows with the order within a test of concurrent requests (threads, tasks) left out:
    their targets sorted instead."""
    out, concurrent = [], {}
    for r in rows:
        if r["test"].endswith(("test_threads", "test_tasks")):
            concurrent.setdefault(r["test"], []).append(r)
            continue
        out.append((r["test"], tuple(r["folder"]), tuple(r["order"]), r["method"], r["target"]))
    for test, found in concurrent.items():
        assert sorted(r["order"][1] for r in found) == [1, 2, 3, 4]
        out.append((test, tuple(found[0]["folder"]), found[0]["order"][0], sorted(r["target"] for r in found)))
    return out


DISTRIBUTIONS = {"alone": (), "xdist -n 2": ("-p", "xdist", "-n", "2"),
                 "xdist -n 3 --dist loadfile": ("-p", "xdist", "-n", "3", "--dist", "loadfile")}


def test_session_recording_is_the_same_however_distributed(pytester, env):
    """Folders (module path, test id with its parametrised ids; a class's test under Class::test),
    places in the collection, the requests of fixtures' setup and teardown: written once, what
    arrived, identical with and without xdist; the workers' parts are gone afterwards."""
    pytester.makepyfile(**{name[:-3]: textwrap.dedent(code) for name, code in SUITE.items()})
    login = [(f"test_api.py::test_login[{who}]", ("test_api.py", f"test_login[{who}]"), (place, n), method, target)
             for place, who in ((1, "admin"), (2, "guest"))
             for n, (method, target) in enumerate((("POST", "/login"), ("GET", f"/me/{who}"), ("POST", "/logout")), 1)]
    seen = {}
    for label, workers in DISTRIBUTIONS.items():
        out = pytester.path / label.replace(" ", "_")
        result = pytester.runpytest_subprocess("--tolmek-record", str(out), "--tolmek-secret-names",
                                               "Authorization, X-Key,", "--tolmek-no-secret-files", *workers)
        assert result.ret == 0, result.stdout.str() + result.stderr.str()
        written = json.loads((out / "written.json").read_text())
        rows = written["rows"]
        # The names given add to the default list.
        assert (written["secret_names"], written["extra_secret_names"], written["write_secrets"]) == \
            (None, ["Authorization", "X-Key"], False), label
        assert recorded(rows) == arrived(env.take()), label
        assert len(rows) == 6 + 4 + 4 + 1 + 12 and os.listdir(out) == ["written.json"], label
        for r in rows:
            assert r["folder"] == r["test"].split("::", 1) and r["order"][0] == NODES.index(r["test"]) + 1, (label, r)
        got = seen[label] = canonical(rows)
        assert got[:6] == login, label
        assert ("test_api.py::TestUrllib::test_open", ("test_api.py", "TestUrllib::test_open"), (5, 1), "GET",
                "/urllib") in got, label
        result.stdout.fnmatch_lines([f"tolmek: {len(rows)} requests recorded into {out}: written.json",
                                     "tolmek: secret names: the default list and Authorization, X-Key"])
    assert seen["xdist -n 2"] == seen["alone"] and seen["xdist -n 3 --dist loadfile"] == seen["alone"]



FIXTURE_SUITE = '''
    import os
    import httpx, pytest, requests

    BASE = os.environ["TOLMEK_TEST_BASE"]

    @pytest.fixture
    def token():
        requests.get(BASE + "/token")
        return "t"

    def test_own(token, tolmek_recording):
        httpx.post(BASE + "/own", content=b"hi", headers={"X-Case": "One"})
        got = tolmek_recording.exchanges
        assert [(e.request.target, e.folder, e.order) for e in got] == [
            (b"/token", ("test_fixture.py", "test_own"), (1, 1)), (b"/own", ("test_fixture.py", "test_own"), (1, 2))]
        assert tolmek_recording.curl == [e.request.curl for e in got] and all(c.startswith("curl ") for c in tolmek_recording.curl)

    def test_fails(tolmek_recording):
        requests.post(BASE + "/fail?a=1&b=%20", data=b"it's \\"quoted\\"\\n",
                      headers={"X-Odd": "$HOME `x`", "Authorization": "Bearer " + "-".join(["REPORTED", "TOKEN", "31"])})
        assert False

    def test_fails_unrecorded():
        requests.get(BASE + "/unrecorded")
        assert False

    def test_mock(tolmek_recording):
        httpx.Client(transport=httpx.MockTransport(lambda request: httpx.Response(200))).get("http://mock.invalid/")

    def test_late(request):
        requests.get(BASE + "/early")
        late = request.getfixturevalue("tolmek_recording")
        requests.get(BASE + "/late")
        assert [e.request.target for e in late.exchanges] == [b"/late"]
'''

SECTION = "tolmek: the curl commands of the requests this test sent"


def test_fixture_and_the_failing_tests_curl_commands(pytester, env, tmp_path):
    """Without the option only the tests using the fixture are recorded, from their fixtures' setup
    on; a failing recorded test's report holds the curl commands of what it sent, which, run by
    bash with the real curl, send what the test sent."""
    pytester.makepyfile(conftest=STUB_WRITER, test_fixture=textwrap.dedent(FIXTURE_SUITE))
    for workers in DISTRIBUTIONS.values():
        result = pytester.runpytest_subprocess(*workers[:4])
        result.assert_outcomes(passed=3, failed=2)
        result.stdout.fnmatch_lines(["tolmek: httpx.Client not recorded: cannot capture through the transport "
                                         "MockTransport: it is not an httpx.HTTPTransport or AsyncHTTPTransport"])
        text = result.stdout.str()
        assert text.count(SECTION) == 1
        # The section runs to the next heading or summary line.
        section = re.split(r"\n(?:_{3,}|={3,}|tolmek: )", text.split(SECTION, 1)[1].split("\n", 1)[1])[0]
        # Its secrets as in the recording's script, nowhere in the output.
        assert section.startswith("# The secrets are shell variables (TOLMEK_AUTHORIZATION): the tolmek_recording "
                                  "fixture's curl has the commands with their values.\ncurl -X POST ")
        assert "/unrecorded" not in section and "REPORTED-TOKEN-31" not in text
        sent = [a for a in env.take() if a.target.startswith(b"/fail")]
        subprocess.run(["bash", "-c", "TOLMEK_AUTHORIZATION=REPORTED-TOKEN-31\n" + section], capture_output=True,
                       timeout=60, env=loopback_env(), check=True)
        again = env.take()
        assert len(again) == len(sent) and not [d for a, b in zip(sent, again) for d in differences(a, b)]
        assert not list(pytester.path.glob("**/written.json"))


def test_idle_without_the_option(pytester):
    """Loaded in every run: without the option and the fixture nothing is patched or imported."""
    pytester.makepyfile(test_idle='''
        import sys

        def test_nothing(pytestconfig):
            assert pytestconfig.pluginmanager.has_plugin("tolmek")
            assert not pytestconfig.pluginmanager.has_plugin("tolmek-recorder")
            for name in ("requests", "urllib3", "httpx", "aiohttp", "tolmek_http.recording", "tolmek_http.pytest_recorder", "tolmek_http.partfiles"):
                assert name not in sys.modules, name
            assert not [f for f in sys.meta_path if type(f).__name__ == "_Finder"]
            import urllib3, httpx
            assert not hasattr(urllib3.PoolManager.__init__, "__wrapped__")
            assert not hasattr(httpx.Client.__init__, "__wrapped__")
    ''')
    # betamax's own plugin (a test requirement of the cassette tests) imports requests when loaded.
    result = pytester.runpytest_subprocess("-p", "no:xdist", "-p", "no:pytest-betamax")
    result.assert_outcomes(passed=1)


def test_the_plugins_faults_are_said(pytester, env):
    """A client the recording cannot read is named in the summary, the suite passes; an unusable
    directory is a usage error without a traceback; a second recording inside a recorded test is refused."""
    pytester.makepyfile(conftest=STUB_WRITER, test_faults='''
        import httpx, pytest, tolmek_http

        def test_mock():
            mock = httpx.MockTransport(lambda request: httpx.Response(200))
            assert httpx.Client(transport=mock).get("http://mock.invalid/").status_code == 200

        def test_second(tmp_path):
            with pytest.raises(tolmek_http.RecordingError):
                with tolmek_http.record(tmp_path):
                    pass
    ''')
    result = pytester.runpytest_subprocess("--tolmek-record", "out", "-W", "error")
    result.assert_outcomes(passed=2)
    result.stdout.fnmatch_lines(["tolmek: httpx.Client not recorded: cannot capture through the transport MockTransport: "
                                 "it is not an httpx.HTTPTransport or AsyncHTTPTransport"])
    pytester.makepyfile(test_crash='''
        import os, requests

        def test_crash():
            requests.get(os.environ["TOLMEK_TEST_BASE"] + "/crash")
            os._exit(1)
    ''')
    result = pytester.runpytest_subprocess("--tolmek-record", "crashed", "-n", "1", "--max-worker-restart", "0", "test_crash.py")
    result.stdout.fnmatch_lines(["tolmek: 0 requests recorded into */crashed: written.json",
                                 "tolmek: worker gw0 wrote no part (did it crash?): the requests its tests sent are missing"])
    (pytester.path / "file").write_text("")
    result = pytester.runpytest_subprocess("--tolmek-record", "file/sub")
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    assert "Traceback" not in result.stderr.str()
    result.stderr.fnmatch_lines(["ERROR: --tolmek-record: cannot make the directory file/sub: Not a directory"])


def test_part_files_round_trip(tmp_path):
    """What a worker writes is what the controller reads back, whatever the bytes; anything else is refused by name."""
    from tolmek_http import partfiles
    from tolmek_http.exchange import Exchange, WireResponse
    from tolmek_http.wire import WireRequest

    heads = [b"GET /\xff\x00 HTTP/1.1\r\nHost: a\r\nX: \xe9", b"\r\nPOST /p HTTP/1.1\r\nContent-Length: 0"]
    exchanges = [Exchange(WireRequest(heads[0], None, ("https", "[::1]:8443", "http://proxy:3128")),
                          WireResponse(418, "I'm a teapot", [(b"Set-Cookie", b"a=\xff"), (b"set-cookie", b"b")], b"\x00"),
                          "t.py::test[\u00e9]", ("t.py", "test[\u00e9]"), (3, 7)),
                 Exchange(WireRequest(heads[1], b"", ("http", "h:1", None)))]
    path = partfiles.dump(str(tmp_path), "gw0", exchanges, ["one warning"])
    back, warnings = partfiles.load(path)
    assert warnings == ["one warning"]
    for a, b in zip(back, exchanges, strict=True):
        assert (a.request._head, a.request.body, a.request._where, a.request.curl if a is back[1] else a.request.url,
                a.response, a.test, a.folder, a.order) == \
            (b.request._head, b.request.body, b.request._where, b.request.curl if a is back[1] else b.request.url,
             b.response, b.test, b.folder, b.order)
    assert os.listdir(tmp_path) == ["gw0.json"]
    (tmp_path / "bad.json").write_text('{"format": 1, "warnings": [], "exchanges": [{"head": "%%"}]}')
    with pytest.raises(ValueError, match=re.escape(f"{tmp_path / 'bad.json'}: not a recording's part file: ")):
        partfiles.load(str(tmp_path / "bad.json"))
