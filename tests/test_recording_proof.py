"""The recording proof: the sample suite recorded with --tolmek-record, then its collection run by newman and
its script by bash, dash and zsh against the same app, every request arriving as the clients sent it."""

import json
import os
import re
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import http_matrix
import sample_app
from conftest import NEWMAN, missing, require_newman
from postman_diff import OWN, _folders, _newman, _requests

SUITE = Path(__file__).parent / "sample_suite"
COLLECTION, ENVIRONMENT = "tolmek.postman_collection.json", "tolmek.postman_environment.json"
SCRIPT, SECRETS = "requests.sh", "secrets.sh"
# Test folders of suite_requests.py run alone: their requests, as (method, target), known here
# independently; test_basic_auth's name is also a test's of suite_httpx.py.
ALONE = {"plain": ("test_upload_download", [(b"POST", b"/upload"), (b"GET", b"/download")]),
         "parametrised": ("test_form[two]", [(b"POST", b"/form")]),
         "name shared": ("test_basic_auth", [(b"GET", b"/basic"), (b"GET", b"/basic")])}

_PROGRESS = re.compile(r"^[\s\d.:%kMG-]*$|\s*% Total|\s*Dload")
_NAMED = "a body that is not text, left out of the example, whose name gives its size"
# What the terminal summary reports (tests/conftest.py).
TALLY = {}
# The other forms the recording writes too, each with the command running its output.
FORMS = {"python": (sys.executable, "forms/requests_httpx.py"), "node": ("node", "forms/requests_node.js"),
         "wget": ("sh", "forms/requests_wget.sh")}


def _suite_env(base, home):
    """The sample suite's environment: the app's address, a HOME of its own (no .netrc, no .curlrc),
    no proxy, and none of this pytest's own variables (an xdist worker's would make the child one)."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower() and not k.startswith("PYTEST_")}
    env.update(TOLMEK_SAMPLE_BASE=base, HOME=str(home))
    return env


def _run_suite(app, out, home, *extra):
    """The sample suite run green, recorded into `out` (None: not recorded)."""
    # The option's value joined to it, and the ini file named: pytest finds its rootdir and ini file
    # before plugins add their options, and would take a separate value for a directory to test.
    record = [] if out is None else [f"--tolmek-record={out}"]
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-c", "pytest.ini", "--rootdir", ".", *record,
                           *extra, "."], cwd=SUITE, env=_suite_env(app.base, home),
                          capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=600)
    said = f"{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}"
    assert proc.returncode == 0, f"the sample suite failed ({proc.returncode}):\n{said}"
    if out is None:
        return proc
    if absent := [n for n in (COLLECTION, ENVIRONMENT, SCRIPT, SECRETS) if not (out / n).is_file()]:
        pytest.fail(f"the recording wrote no {', '.join(absent)}; the suite said:\n{said}")
    return proc


class Recorded:
    """One recording: its directory, what the app got while the suite ran, the suite's output."""

    def __init__(self, out, arrivals, proc):
        self.dir, self.arrivals, self.proc = out, arrivals, proc
        self.collection = json.loads((out / COLLECTION).read_text(encoding="utf-8"))
        self.environment = json.loads((out / ENVIRONMENT).read_text(encoding="utf-8"))
        self.items = _requests(self.collection)

    def variables(self):
        """{{NAME}} -> value: the collection's variables, the environment's over them (as newman does)."""
        found = {}
        for v in list(self.collection.get("variable") or ()) + list(self.environment.get("values") or ()):
            if isinstance(v, dict) and isinstance(v.get("key"), str) and isinstance(v.get("value"), str):
                found[v["key"]] = v["value"]
        return found


@pytest.fixture(scope="module")
def app():
    with sample_app.start() as running:
        yield running


@pytest.fixture(scope="module")
def recorded(app, tmp_path_factory):
    home = tmp_path_factory.mktemp("home")
    out = tmp_path_factory.mktemp("recorded")
    app.take()
    proc = _run_suite(app, out, home, f"--tolmek-forms={','.join(FORMS)}")
    return Recorded(out, app.take(), proc)


# --- pairing what arrived with what the clients sent ------------------------------------------

def _newman_differences(sent, got):
    """What differs between the client's request and newman's: the request line, the headers other
    than OWN in order, the OWN ones the client wrote itself (their values), the body bytes."""
    out = []
    if (sent.method, sent.target) != (got.method, got.target):
        out.append(f"request line {got.method!r} {got.target!r} instead of {sent.method!r} {sent.target!r}")
    mine = [(n, v) for n, v in sent.headers if n.lower() not in OWN]
    theirs = [(n, v) for n, v in got.headers if n.lower() not in OWN]
    if mine != theirs:
        out.append(f"headers {theirs}\n    instead of {mine}")
    for name in sorted({n.lower() for n, _ in sent.headers if n.lower() in OWN} - {b"host", b"content-length"}):
        a = [v for n, v in sent.headers if n.lower() == name]
        b = [v for n, v in got.headers if n.lower() == name]
        if a != b:
            out.append(f"{name.decode()}: {b} instead of the client's {a}")
    if sent.body != got.body:
        out.append(f"body {got.body[:120]!r} ({len(got.body)} B) instead of {sent.body[:120]!r} ({len(sent.body)} B)")
    if got.faults:
        out.append(f"framing: {got.faults}")
    return out


def _pair(sent, delivered, differences, every=True):
    """Each delivered request matched with one the clients sent (each used once): the first that
    differs in nothing, else the one with the same request line that differs least; with `every`, each sent one must
    have arrived. -> (identical count, problems)."""
    unused = list(sent)
    identical, problems = 0, []
    for i, got in enumerate(delivered):
        match = next((s for s in unused if not differences(s, got)), None)
        if match is not None:
            unused.remove(match)
            identical += 1
            continue
        near = min((s for s in unused if (s.method, s.target) == (got.method, got.target)),
                   key=lambda s: len(differences(s, got)), default=None)
        if near is None:
            problems.append(f"request {i}: {got.method!r} {got.target!r}: the clients sent no such request")
        else:
            unused.remove(near)
            problems.append(f"request {i}: {got.method!r} {got.target!r}:\n  " + "\n  ".join(differences(near, got)))
    problems += [f"never arrived: {s.method!r} {s.target!r}" for s in unused if every]
    return identical, problems


def _kinds(arrivals):
    """What the suite must have made its clients send for the proof to cover it: the kinds missing."""
    def has(name, value):
        return lambda a: any(n.lower() == name and value in v for n, v in a.headers)

    def body(value):
        return lambda a: value in a.body

    kinds = {
        "session cookie": has(b"cookie", f"session={sample_app.SESSION}".encode()),
        "bearer token": has(b"authorization", f"Bearer {sample_app.TOKEN}".encode()),
        "basic auth": has(b"authorization", f"Basic {sample_app.BASIC}".encode()),
        "key in a header": has(b"x-api-key", sample_app.HEADER_KEY.encode()),
        "key in the query": lambda a: f"api_key={sample_app.QUERY_KEY}".encode() in a.target,
        "JSON with password and token": body(f'"refresh_token": "{sample_app.REFRESH}"'.encode()),
        "form post": has(b"content-type", b"application/x-www-form-urlencoded"),
        "binary upload": lambda a: a.target == b"/upload" and not _is_utf8(a.body),
        "HEAD": lambda a: a.method == b"HEAD",
        "DELETE": lambda a: a.method == b"DELETE",
        **{f"redirect {c} {to}": (lambda c, to: lambda a: a.target.startswith(f"/redirect/{c}".encode())
                                   and (to == "absolute") == (b"to=absolute" in a.target))(c, to)
           for c in ("301", "302", "303", "307") for to in ("relative", "absolute")},
        **{f"GET {p}": (lambda p: lambda a: a.method == b"GET" and a.target == p)(p)
           for p in (b"/download", b"/chunked", b"/gzip")},
    }
    return [k for k, test in kinds.items() if not any(test(a) for a in arrivals)]


def _is_utf8(data):
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


# --- the tests ---------------------------------------------------------------------------------

def test_suite_recorded(recorded, app):
    """The suite ran green, wrote every file, one request in the collection and one command in the
    script for each the app got, a folder per module and per test (parametrised ids kept)."""
    assert not _kinds(recorded.arrivals), f"the suite sent no: {_kinds(recorded.arrivals)}"
    names = {p.name for p in recorded.dir.iterdir()}
    assert {COLLECTION, ENVIRONMENT, SCRIPT, SECRETS} <= names, names
    TALLY["recorded"] = len(recorded.arrivals)
    assert len(recorded.items) == len(recorded.arrivals) >= 100, (len(recorded.items), len(recorded.arrivals))
    for name in (ENVIRONMENT, SECRETS):
        mode = stat.S_IMODE((recorded.dir / name).stat().st_mode)
        assert mode == 0o600, f"{name}: mode {mode:o}"
    ids = subprocess.run([sys.executable, "-m", "pytest", "-q", "-c", "pytest.ini", "--rootdir", ".",
                          "--collect-only", "."], cwd=SUITE, env=_suite_env(app.base, recorded.dir),
                         capture_output=True, text=True, timeout=120).stdout.split()
    nodes = [n for n in ids if "::" in n]
    assert len(nodes) >= 50
    folders = [f for f in _folders(recorded.collection) if isinstance(f.get("name"), str)]
    lost = []
    for node in nodes:
        module, _, test = node.partition("::")
        inside = {g.get("name") for f in folders if Path(module).stem in f["name"] for g in _folders(f)}
        if not any(isinstance(n, str) and (n == test or n.endswith(test.rpartition("::")[2])) for n in inside):
            lost.append(node)
    assert not lost, f"no folder for: {lost}; folders: {sorted(f['name'] for f in folders)}"
    script = (recorded.dir / SCRIPT).read_text(encoding="utf-8")
    comments = [line for line in script.splitlines() if line.startswith("#")]
    unnamed = [node for node in nodes if not any(node in line for line in comments)]
    assert not unnamed, f"{SCRIPT} names in no comment: {unnamed}"
    # Each address through the base URL variable; each file body a path inside the directory.
    literal = [item.get("name") for item in recorded.items if app.base in json.dumps(item["request"].get("url"))]
    assert not literal, f"requests whose URL names the address instead of {{{{baseUrl}}}}: {literal}"
    files = [(item["request"].get("body") or {}).get("file", {}).get("src") for item in recorded.items
             if (item["request"].get("body") or {}).get("mode") == "file"]
    assert files and all(isinstance(f, str) and not Path(f).is_absolute() and ".." not in Path(f).parts
                         and (recorded.dir / f).is_file() for f in files), files
    bare = [item.get("name") for item in recorded.items if not item.get("response")]
    assert not bare, f"requests without their saved example: {bare}"


def _exact_differences(sent, got):
    return [] if (sent.method, sent.target, sent.headers, sent.body) == (got.method, got.target, got.headers,
                                                                          got.body) else [f"{got} instead of {sent}"]


def test_recording_changes_nothing_sent(app, recorded, tmp_path):
    """Without --tolmek-record the clients send the very same bytes: recording alters no request."""
    app.take()
    _run_suite(app, None, tmp_path)
    identical, problems = _pair(recorded.arrivals, app.take(), _exact_differences)
    assert not problems, f"{identical} of {len(recorded.arrivals)} identical\n" + "\n".join(problems)


def test_xdist_writes_the_same(app, recorded, tmp_path):
    """With two xdist workers the files written are byte for byte those of the plain run."""
    pytest.importorskip("xdist")
    out = tmp_path / "xdist"
    out.mkdir()
    app.take()
    _run_suite(app, out, tmp_path, "-p", "xdist", "-n", "2", f"--tolmek-forms={','.join(FORMS)}")
    app.take()
    plain = {p.relative_to(recorded.dir): p.read_bytes() for p in recorded.dir.rglob("*") if p.is_file()}
    spread = {p.relative_to(out): p.read_bytes() for p in out.rglob("*") if p.is_file()}
    assert sorted(plain) == sorted(spread)
    differ = [str(p) for p in plain if plain[p] != spread[p]]
    detail = ""
    if differ:
        a, b = plain[Path(differ[0])], spread[Path(differ[0])]
        at = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))
        near = slice(max(0, at - 80), at + 160)
        detail = f"\n{differ[0]} from byte {at}:\n  plain {a[near]!r}\n  xdist {b[near]!r}"
    assert not differ, f"differ: {differ}{detail}"


def _newman_run(recorded, app, scratch, *extra):
    report = scratch / "report.json"
    done = _newman([str(NEWMAN), "run", str(recorded.dir / COLLECTION), "-e", str(recorded.dir / ENVIRONMENT),
                    "--working-dir", str(recorded.dir), "--reporters", "cli,json", "--reporter-json-export",
                    str(report), "--color", "off", "--timeout-request", "10000", *extra])
    assert done.returncode in (0, 1), done.stdout + done.stderr
    assert report.is_file(), f"newman wrote no report:\n{done.stdout[-3000:]}{done.stderr[-3000:]}"
    return app.take(), json.loads(report.read_text(encoding="utf-8")), done


def test_newman_delivers_as_the_clients_sent(recorded, app, tmp_path):
    """(a) newman runs the collection with its environment against the app: each request arrives as
    its client sent it, and each response newman got equals the saved example."""
    require_newman()
    arrivals, report, done = _newman_run(recorded, app, tmp_path)
    identical, problems = _pair(recorded.arrivals, arrivals, _newman_differences)
    TALLY["newman"] = identical
    executions = report["run"]["executions"]
    if len(executions) != len(recorded.items):
        problems.append(f"newman ran {len(executions)} requests of {len(recorded.items)}:\n{done.stdout[-3000:]}")
    variables = recorded.variables()
    equal = named = 0
    for item, execution in zip(recorded.items, executions):
        if not item.get("response"):
            problems.append(f"{item.get('name')!r}: no saved example")
            continue
        found = _example_differences(item["response"][0], execution.get("response") or {}, variables)
        if found == [_NAMED]:
            named += 1
        elif found:
            problems.append(f"{item.get('name')!r}: response differs from its example:\n  " + "\n  ".join(found))
        else:
            equal += 1
    TALLY["examples"], TALLY["binary"] = equal, named
    assert not problems, f"{identical} of {len(recorded.arrivals)} identical\n" + "\n".join(problems)


def _resolve(text, variables):
    for k, v in variables.items():
        text = text.replace("{{" + k + "}}", v)
    return text


def _example_differences(example, response, variables):
    """Status, header list and body of newman's response against the saved example (its
    {{variables}} resolved: it holds secrets as variables)."""
    out = []
    if (response.get("code"), response.get("status")) != (example.get("code"), example.get("status")):
        out.append(f"status {response.get('code')} {response.get('status')!r}"
                   f" instead of {example.get('code')} {example.get('status')!r}")
    want = [(h.get("key"), _resolve(str(h.get("value")), variables)) for h in example.get("header") or ()]
    got = [(h.get("key"), h.get("value")) for h in response.get("header") or ()]
    if want != got:
        out.append(f"headers {got}\n    instead of {want}")
    stream = response.get("stream") or {}
    body = bytes(stream.get("data") or ()) if stream.get("type") == "Buffer" else None
    saved = example.get("body")
    if isinstance(saved, str):
        saved = _resolve(saved, variables).encode("utf-8")
    if body is not None and not saved and not _is_utf8(body) and f"{len(body)} bytes" in str(example.get("name")):
        # An example's body is text: one that is not can only be left out, saying so.
        out.append(_NAMED)
    elif body != (saved or b"") and not (body is None and not saved):
        out.append(f"body {body[:100] if body else body!r} instead of {saved[:100] if saved else saved!r}")
    return out


@pytest.mark.parametrize("shell", http_matrix.SHELLS)
def test_script_delivers_as_the_clients_sent(recorded, app, tmp_path, shell):
    """(b) the script, with secrets.sh sourced, run by the shell with the real curl: each request
    arrives as its client sent it."""
    if absent := [t for t in (shell, "curl") if not http_matrix.shutil.which(t)]:
        missing(f"not installed: {', '.join(absent)}")
    app.take()
    env = {"PATH": os.environ.get("PATH", os.defpath), "HOME": str(tmp_path), "LC_ALL": "C.UTF-8"}
    proc = subprocess.run([shell, "-c", f". ./{SECRETS}; . ./{SCRIPT}"], cwd=recorded.dir, env=env,
                          capture_output=True, stdin=subprocess.DEVNULL, timeout=600)
    identical, problems = _pair(recorded.arrivals, app.take(), http_matrix.differences)
    TALLY[shell] = identical
    # curl's progress meter is no fault; anything else the shell or curl wrote is.
    said = [line for line in re.split(r"[\r\n]+", proc.stderr.decode(errors="replace"))
            if line.strip() and not _PROGRESS.match(line)]
    if proc.returncode or said:
        problems.append(f"{shell} exited {proc.returncode}: " + "\n".join(said[-20:]))
    assert not problems, f"{identical} of {len(recorded.arrivals)} identical\n" + "\n".join(problems)


@pytest.mark.parametrize("form", list(FORMS))
def test_forms_deliver_as_the_clients_sent(recorded, app, tmp_path, form):
    """The forms recorded beside the script, run with secrets.sh's variables exported: each request
    arrives as its client sent it, or the form named what it could not carry."""
    runner, path = FORMS[form]
    if form != "python" and not http_matrix.shutil.which(runner if form == "node" else form):
        missing(f"{form} is not installed")
    app.take()
    env = {"PATH": os.environ.get("PATH", os.defpath), "HOME": str(tmp_path), "LC_ALL": "C.UTF-8"}
    proc = subprocess.run(["sh", "-c", f'set -a; . ./{SECRETS}; exec "$0" {path}', runner], cwd=recorded.dir,
                          env=env, capture_output=True, stdin=subprocess.DEVNULL, timeout=600)
    identical, problems = _pair(recorded.arrivals, app.take(), http_matrix.differences)
    TALLY[form] = identical
    named = (recorded.dir / path).read_text(encoding="utf-8").count("not exact:")
    assert identical + named >= len(recorded.arrivals) and proc.returncode in (0, 1) if form == "wget" else (
        not problems and proc.returncode == 0), f"{identical} of {len(recorded.arrivals)} identical, {named} named\n" + \
        "\n".join(problems) + proc.stderr.decode(errors="replace")[-3000:]


@pytest.mark.parametrize("case", list(ALONE))
def test_newman_runs_one_test_folder(recorded, app, tmp_path, case):
    """(c) `newman --folder` with one test's folder runs exactly that test's requests."""
    require_newman()
    name, expected = ALONE[case]
    named = [f for f in _folders(recorded.collection) if isinstance(f.get("name"), str)]
    module = next((f for f in named if "suite_requests" in f["name"]), None)
    assert module is not None, f"no folder for suite_requests.py in {[f['name'] for f in named]}"
    folder = next((f["name"] for f in _folders(module) if isinstance(f.get("name"), str)
                   and (f["name"] == name or f["name"].endswith("::" + name))), None)
    assert folder is not None, f"no folder {name!r} in {module['name']!r}"
    arrivals, _, _ = _newman_run(recorded, app, tmp_path, "--folder", folder)
    agents = {v for a in arrivals for n, v in a.headers if n.lower() == b"user-agent"}
    also = sum(f["name"] == folder for f in named) - 1
    assert [(a.method, a.target) for a in arrivals] == expected and agents == {b"python-requests/2.34.2"}, (
        f"--folder {folder!r} (its name shared with {also} other folders) ran: "
        f"{[(a.method, a.target) for a in arrivals]} with {agents}")
    identical, problems = _pair(recorded.arrivals, arrivals, _newman_differences, every=False)
    assert not problems, "\n".join(problems)


def test_secrets_only_in_the_secrets_files(recorded):
    """(d) every secret the app knows is written into the two secrets files and into no other."""
    where = {}
    for path in recorded.dir.rglob("*"):
        if path.is_file():
            data = path.read_bytes()
            for label, value in sample_app.SECRETS.items():
                if value.encode() in data:
                    where.setdefault(label, set()).add(str(path.relative_to(recorded.dir)))
    leaked = {k: sorted(v - {ENVIRONMENT, SECRETS}) for k, v in where.items() if v - {ENVIRONMENT, SECRETS}}
    TALLY["secrets"] = sum(len(v) for v in leaked.values())
    assert not leaked, f"secrets written elsewhere: {leaked}"
    # Each secret the suite sent is there for the files to use.
    # Basic credentials go on the wire only encoded: the files may keep them so or as the password.
    where.setdefault("basic credentials", set()).update(where.pop("basic password", ()))
    absent = {k: sorted({ENVIRONMENT, SECRETS} - where.get(k, set())) for k in sample_app.SECRETS
              if k != "basic password" and {ENVIRONMENT, SECRETS} - where.get(k, set())}
    assert not absent, f"secrets missing from the secrets files: {absent}"
