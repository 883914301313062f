"""vcrpy and betamax cassettes to curl scripts and collections: cassettes recorded at test time from
real clients (cassette_matrix.py) replayed by bash, dash and zsh with the real curl and by newman,
each request arriving as sent or its loss named; and the readers against hostile cassettes."""

import os
import re
import subprocess
import sys

import pytest

import cassette_matrix
import http_matrix
from cassette_matrix import RECORDED_CASES, RECORDINGS, Verdict
from conftest import cli_runner, missing, require_newman  # noqa: F401
from http_matrix import SHELLS, NotApplicable
from recorder import Recorder

_PACKAGE = {"httpx-async": "httpx", "urllib.request": "urllib.request"}

# (recorder, client, runner) -> Verdict; (recorder, client, "not recorded") -> [case: why].
TALLY = {}


@pytest.fixture(scope="module")
def recorders():
    with Recorder(answer=http_matrix.answer) as origin, Recorder() as proxy:
        yield origin, proxy


@pytest.fixture(scope="module")
def private_home(tmp_path_factory):
    """A HOME of the tests' own (its .netrc names the recorder), and no proxy settings."""
    home = tmp_path_factory.mktemp("home")
    http_matrix.netrc_home(home)
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("HOME", str(home))
        for k in list(os.environ):
            if "proxy" in k.lower() or k in ("NETRC", "CURL_HOME"):
                mp.delenv(k)
        yield home


@pytest.fixture(scope="module")
def cassettes(recorders, private_home, tmp_path_factory):
    """(recorder, client) -> the Recorded cases with a cassette each, recorded on first use."""
    made = {}

    def get(recorder, client):
        pytest.importorskip(_PACKAGE.get(client, client))
        pytest.importorskip("betamax" if recorder.startswith("betamax") else "vcr")
        if (recorder, client) not in made:
            folder = tmp_path_factory.mktemp(f"{recorder}-{client}")
            out, not_recorded = [], []
            for i, (name, case) in enumerate(RECORDED_CASES.items()):
                suffix = "json" if recorder != "vcrpy" else "yaml"
                prefix = "betamax" if recorder.startswith("betamax") else "vcr"
                try:
                    rec = cassette_matrix.record(recorder, client, case, recorders,
                                                 folder / f"{prefix}-{i:02d}.{suffix}")
                except NotApplicable:
                    continue
                if rec.path is not None and (count := cassette_matrix.interactions(recorder, rec.path)) != len(rec.sent):
                    # Which of the requests sent are the recorded ones is not known then.
                    rec.path, rec.why_not = None, f"the cassette holds {count} of the {len(rec.sent)} requests sent"
                if rec.path is None:
                    not_recorded.append(f"{name}: {rec.why_not}")
                else:
                    out.append(rec)
            TALLY[(recorder, client, "not recorded")] = not_recorded
            made[(recorder, client)] = out
        return made[(recorder, client)]

    return get


def _kept(recorder, client):
    """(whether the cassette keeps the order across header names, whether it loses their case): vcrpy's
    YAML lists them sorted, and vcrpy records httpx's names in lower case (both said in the file's note)."""
    return recorder != "vcrpy", recorder.startswith("vcrpy") and client.startswith("httpx")


def _need_shells():
    if absent := [t for t in (*SHELLS, "curl", "timeout") if not http_matrix.shutil.which(t)]:
        missing(f"not installed: {', '.join(absent)}")


@pytest.mark.parametrize(("recorder", "client"), RECORDINGS)
def test_curl_replays_what_the_client_sent(recorder, client, cassettes, recorders, tmp_path):
    """Each cassette (one a case) through `tolmek curl`, its script run by each shell: every
    request the client sent arrives as sent (headers as the cassette carries them), or its loss or
    skip is named on stderr."""
    _need_shells()
    recorded = cassettes(recorder, client)
    assert recorded, "nothing was recorded"
    across_names, fold = _kept(recorder, client)
    problems, scripts, stderrs = [], [], []
    names = [cassette_matrix.recorded_names(recorder, rec.path) for rec in recorded]
    for rec in recorded:
        code, out, err = cassette_matrix.tolmek("curl", rec.path)
        if code != 0 or "Traceback" in err:
            problems.append(f"{rec.name}: tolmek curl exited {code}: {err}")
        scripts.append(out.decode())
        stderrs.append(err)
    for shell in SHELLS:
        by_index, shell_err = http_matrix.run_commands(shell, scripts, tmp_path, recorders)
        verdict = TALLY[(recorder, client, shell)] = Verdict()
        for i, rec in enumerate(recorded):
            arrivals = iter(by_index.get(i, []))
            for j, sent in enumerate(rec.sent):
                label = cassette_matrix.label(rec.path, j)
                converted = not re.search(rf": skipped {re.escape(label)}: ", stderrs[i])
                cassette_matrix.judge(verdict, f"{shell}, {rec.name}, {label}", sent,
                                      next(arrivals, None) if converted else None, label, stderrs[i], across_names, fold,
                                      names[i][j])
            if extra := list(arrivals):
                problems.append(f"{shell}, {rec.name}: {len(extra)} requests more than converted arrived")
        problems += verdict.faults
        if shell_err.strip():
            problems.append(f"{shell} wrote: {shell_err[:1000]}")
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize(("recorder", "client"), RECORDINGS)
def test_postman_replays_what_the_client_sent(recorder, client, cassettes, recorders, tmp_path):
    """All the cassettes of a client through one `tolmek postman` run, the collection run by
    newman: the same verdicts (a binary body, which a collection cannot hold, is skipped by name)."""
    require_newman()
    recorded = cassettes(recorder, client)
    files = [rec.path for rec in recorded]
    code, out, err = cassette_matrix.tolmek("postman", *files)
    assert code == 0 and "Traceback" not in err, err
    order = cassette_matrix.converted_order(files, err, lambda i: len(recorded[i].sent))
    by_item = cassette_matrix.run_newman(out, tmp_path, recorders[0])
    at = {pair: k for k, pair in enumerate(order)}
    verdict = TALLY[(recorder, client, "newman")] = Verdict()
    for i, rec in enumerate(recorded):
        names = cassette_matrix.recorded_names(recorder, rec.path)
        lines = "\n".join(line for line in err.splitlines() if f"{rec.path}:" in line)
        for j, sent in enumerate(rec.sent):
            label = cassette_matrix.label(rec.path, j)
            k = at.get((i, j))
            cassette_matrix.judge(verdict, f"newman, {rec.name}, {label}", sent, None if k is None else by_item.get(k),
                                  label, lines, *_kept(recorder, client), names[j], newman=True)
    assert not verdict.faults, "\n".join(verdict.faults)


# --- the readers on their own: losses, detection, PyYAML, hostile cassettes ---------------------------

@pytest.fixture
def cli(capsysbinary, monkeypatch):
    return cli_runner(capsysbinary, monkeypatch)


NOTE_YAML = ("note: a vcrpy cassette in YAML lists each request's headers sorted by name and keeps one value per "
             "header name (from httpx the values joined with ', ', from the others the last one) and from httpx the "
             "names in lower case: a header sent more than once, and the case of httpx's names, go as the cassette "
             "has them")
NOTE_JSON = NOTE_YAML.replace("in YAML lists each request's headers sorted by name and keeps", "keeps")
NO_AGENT = ("the cassette has no User-Agent: from aiohttp and urllib3 vcrpy records only the headers a request was "
            "given, not those the client adds itself (User-Agent, Accept-Encoding, and aiohttp's Accept, a body's "
            "Content-Type and its framing, Content-Length or Transfer-Encoding); they are not sent, and curl frames "
            "the body itself")
AS_DATA = ("the body is recorded as data (aiohttp's json= or data=), not as the bytes sent: it is sent as JSON text as "
           "json.dumps writes it (keys in the cassette's order, which YAML sorts), without the Content-Type aiohttp "
           "added")
NO_IDENTITY = ("the cassette has no Accept-Encoding: vcrpy does not record the one http.client adds for urllib.request "
               "(identity); none is sent")
FFFD = ("betamax writes U+FFFD in place of bytes that are not UTF-8 unless it records with preserve_exact_body_bytes")

LOSSY_YAML = """\
# recorded by hand, in the shapes vcrpy writes
interactions:
- request:
    body:
      b: [1, 2.5, null]
      a: "\\xE9"
    headers: {}
    method: POST
    uri: http://h/json
- request:
    body: !!python/object/apply:builtins.iter
    - - !!binary |
        AP8=
      - "tail"
    headers:
      Transfer-Encoding: [chunked]
      User-Agent: [Python-urllib/3.12]
    method: PUT
    uri: http://h/chunks
- request:
    body: !!python/object/new:_io.BytesIO
      state: !!python/tuple [!!binary "aGk=", 0, null]
    headers:
      !!python/object/apply:multidict._multidict.istr [User-Agent]: [x]
      Content-Length: ['2']
    method: !!python/unicode PATCH
    uri: http://h/file
version: 1
"""


def test_losses_are_named_and_bodies_carried_as_recorded(cli, tmp_path):
    """What a cassette did not keep is named word for word, once per request (and once per file for
    what no vcrpy cassette keeps); the request still goes, with the body as recorded; notes are no
    skips, so --strict still writes."""
    from tolmek_http.compose import command

    lossy = tmp_path / "lossy.yaml"
    lossy.write_text(LOSSY_YAML)
    code, out, err = cli("curl", "--strict", str(lossy))
    assert code == 0, err
    assert err == "".join(f"tolmek: {lossy}:{line}\n" for line in [
        f"3:1: {NOTE_YAML}", f"3:3: interactions[0] carried as recorded: {AS_DATA}",
        f"3:3: interactions[0] carried as recorded: {NO_AGENT}", f"10:3: interactions[1] carried as recorded: {NO_IDENTITY}"])
    assert out.decode() == "".join(line + "\n" for line in [
        # The keys in the cassette's order (vcrpy's YAML sorts them; aiohttp sent them in the dict's).
        command("http://h/json", [], "POST", '{"b": [1, 2.5, null], "a": "\\u00e9"}')
        + " -H 'Content-Type:' -H 'User-Agent:' -H 'Accept:' -H 'Expect:'",
        command("http://h/chunks", [("Transfer-Encoding", "chunked"), ("User-Agent", "Python-urllib/3.12")], "PUT",
                b"\x00\xfftail") + " -H 'Content-Type:' -H 'Accept:' -H 'Expect:'",
        command("http://h/file", [("User-Agent", "x"), ("Content-Length", "2")], "PATCH", "hi")
        + " -H 'Content-Type:' -H 'Accept:' -H 'Expect:'"])

    # The same through JSON: vcrpy's json serializer keeps the order across names, and betamax's
    # body text is checked against the length that was sent.
    as_json = tmp_path / "lossy.json"
    as_json.write_text('{"interactions": [{"request": {"body": "x", "headers": {"User-Agent": ["u"], "A": ["1"]}, '
                       '"method": "POST", "uri": "http://h/"}}], "version": 1}')
    betamax = tmp_path / "betamax.json"
    betamax.write_text('{"recorded_with": "betamax/0.9.0", "http_interactions": ['
                       '{"request": {"body": {"encoding": "utf-8", "string": "a\\ufffdb"}, "headers": {"User-Agent": '
                       '["u"], "Content-Length": ["3"]}, "method": "POST", "uri": "http://h/1"}},'
                       '{"request": {"body": {"encoding": "utf-8", "string": "a\\ufffd"}, "headers": {"User-Agent": '
                       '"u", "Content-Length": "4"}, "method": "POST", "uri": "http://h/2"}},'
                       '{"request": {"body": {"encoding": "latin-1", "string": "\\u00e9"}, "headers": {"User-Agent": '
                       '["u"]}, "method": "PUT", "uri": "http://h/3"}},'
                       '{"request": {"body": {"encoding": "utf-8", "base64_string": "AP8="}, "headers": {}, '
                       '"method": "PUT", "uri": "http://h/4"}},'
                       '{"request": {"body": {"encoding": "utf-8", "string": ""}, "headers": {"Content-Length": ["0"]}, '
                       '"method": "DELETE", "uri": "http://h/5"}}]}')
    code, out, err = cli("curl", str(as_json), str(betamax))
    assert code == 0
    at = [m.start() + 1 for m in re.finditer(r'\{"request"', betamax.read_text())]
    assert err.splitlines() == [
        f"tolmek: {as_json}:1:{as_json.read_text().index('[') + 1}: {NOTE_JSON}",
        f"tolmek: {betamax}:1:{at[0]}: skipped http_interactions[0]: the recorded body is 5 bytes in UTF-8 but was sent with "
        f"Content-Length: 3: it was not recorded as sent: {FFFD}",
        f"tolmek: {betamax}:1:{at[1]}: http_interactions[1] carried as recorded: the body holds U+FFFD: {FFFD}: it is sent "
        "as recorded",
        "tolmek: 1 of 6 requests skipped"]
    assert out.decode().splitlines() == [
        command("http://h/", [("User-Agent", "u"), ("A", "1")], "POST", "x") + " -H 'Content-Type:' -H 'Accept:' -H 'Expect:'",
        command("http://h/2", [("User-Agent", "u"), ("Content-Length", "4")], "POST", "a\ufffd")
        + " -H 'Content-Type:' -H 'Accept:' -H 'Expect:'",
        command("http://h/3", [("User-Agent", "u")], "PUT", b"\xe9") + " -H 'Content-Type:' -H 'Accept:' -H 'Expect:'",
        command("http://h/4", [], "PUT", b"\x00\xff") + " -H 'Content-Type:' -H 'User-Agent:' -H 'Accept:' -H 'Expect:'",
        command("http://h/5", [("Content-Length", "0")], "DELETE", "") + " -H 'Content-Type:' -H 'User-Agent:' -H 'Accept:' -H 'Expect:'"]


VCR_JSON = b'{"interactions": [{"request": {"method": "GET", "uri": "http://h/", "headers": {"User-Agent": ["u"]}}}]}'
VCR_YAML = b"interactions:\n- request: {method: GET, uri: 'http://h/', headers: {User-Agent: [u]}, body: null}\nversion: 1\n"
BETAMAX = b'{"http_interactions": [{"request": {"method": "GET", "uri": "http://h/", "headers": {"User-Agent": ["u"]}, ' \
          b'"body": {"encoding": "utf-8", "string": ""}}}], "recorded_with": "betamax/0.9.0"}'
GET = "curl -X GET http://h/ -H \"User-Agent: u\" -H 'Accept:'\n"


@pytest.mark.parametrize(("text", "args"), [
    (VCR_YAML, ()), (b"\xef\xbb\xbf# a comment\n%YAML 1.1\n---\n" + VCR_YAML, ()), (b"version: 1\n" + VCR_YAML[:-11], ()),
    (VCR_JSON, ()), (BETAMAX, ()), (b'{"recorded_with": "betamax/0.9.0", ' + BETAMAX[1:], ()),
    (b"# vcrpy writes its keys sorted; by hand they may come in any order\nmetadata: {}\n" + VCR_YAML, ("--from", "vcr")),
    (BETAMAX, ("--from", "betamax")), (VCR_JSON, ("--from", "vcr"))])
def test_cassettes_are_told_by_content(cli, text, args):
    code, out, err = cli("curl", *args, stdin=text)
    assert (code, out.decode(), [line for line in err.splitlines() if ": note: " not in line]) == (0, GET, [])


IMPORTED = """
import sys
before = set(sys.modules)
if sys.argv[1] == "no-yaml":
    sys.modules["yaml"] = None  # as if PyYAML were not installed
from tolmek_cli import main
try:
    code = main(sys.argv[2:])
finally:
    sys.stderr.write("imported: " + " ".join(sorted(set(sys.modules) - before)) + "\\n")
raise SystemExit(code)
"""


def _run(*args):
    done = subprocess.run([sys.executable, "-c", IMPORTED, *map(str, args)], capture_output=True, timeout=60)
    err = done.stderr.decode()
    return done.returncode, done.stdout.decode(), err[:err.rindex("imported: ")], set(err[err.rindex("imported: ") + 10:].split())


def test_yaml_is_imported_only_for_a_cassette_in_yaml_and_its_absence_named(tmp_path):
    yml, jsn, betamax = tmp_path / "c.yaml", tmp_path / "c.json", tmp_path / "b.json"
    yml.write_bytes(VCR_YAML)
    jsn.write_bytes(VCR_JSON)
    betamax.write_bytes(BETAMAX)
    for path in (jsn, betamax):
        code, out, err, imported = _run("yaml", "curl", path)
        assert code == 0 and out == GET and not {"yaml", "tolmek_cli.yamlload", "json", "re", "base64"} & imported, err
    code, out, err, imported = _run("yaml", "curl", yml)
    assert code == 0 and out == GET and "yaml" in imported
    # Without PyYAML: one line for the YAML file, the others still converted, and the run's exit status 2.
    code, out, err, _ = _run("no-yaml", "postman", jsn, yml, betamax)
    assert code == 2 and "Traceback" not in err
    assert err.splitlines()[-2:] == [
        f"tolmek: error: {yml}:1:1: reading a vcrpy cassette in YAML needs PyYAML, which is not installed: "
        "pip install 'tolmek[yaml]'", "tolmek: 1 of 3 files not converted"]
    assert out.count('"method":"GET"') == 2


BOMB = "\n".join(["      a0: &a0 [x, x, x, x, x, x, x, x, x, x]"]
                 + [f"      a{i}: &a{i} [{', '.join([f'*a{i - 1}'] * 10)}]" for i in range(1, 12)])


def _one(body="null", headers="{User-Agent: [u]}", method="POST", uri="http://h/"):
    return f"- request:\n    body: {body}\n    headers: {headers}\n    method: {method}\n    uri: {uri}\n"


# (cassette, the messages after the file's name, the commands written): a named error or skip each
# time, never a traceback, and no tag ever makes an object (the command would have run `touch`).
HOSTILE = [
    ("interactions:\n- request:\n    body: \"abc\n", ["4:1: not valid YAML: while scanning a quoted scalar found unexpected end of stream"]),
    ("interactions: {a: 1}\n", ["1:15: interactions: expected a sequence, got a mapping"]),
    ("interactions: []\nversion: 2\n", ["1:1: version 2: tolmek reads vcrpy cassettes of version 1"]),
    ("version: 1\n- x\n", ["2:1: not valid YAML: while parsing a block mapping did not find expected key"]),
    ("interactions: [*nope]\n", ["1:16: not valid YAML: found undefined alias"]),
    ("interactions: " + "[" * 3000 + "]" * 3000, ["1:1014: not valid YAML: while increasing flow level exceeded maximum nesting depth"]),
    ("interactions:\n- request: {method: GET, uri: \"h\x01\"}\n", ["2:33: not valid YAML: control characters are not allowed (found U+0001)"]),
    ("interactions:\n" + _one(body='!!python/object/apply:os.system ["touch {pwned}"]') + _one(uri="!!python/name:os.system ''")
     + "- !!python/object/new:os.system [x]\n" + _one(headers="{A: !!python/object/apply:os.system [x]}") + _one(),
     ["2:1: " + NOTE_YAML] + [f"{line}:3: skipped interactions[{i}]: could not determine a constructor for the tag "
                              f"'tag:yaml.org,2002:python/{tag}:os.system': tolmek makes plain data and vcrpy's own tags only"
                              for i, line, tag in ((0, 2, "object/apply"), (1, 7, "name"), (2, 12, "object/new"), (3, 13, "object/apply"))]
     + ["4 of 5 requests skipped"], 1),
    ("interactions:\n- request: x\n- {request: {method: GET, uri: h, headers: [a]}}\n- {request: {method: GET, uri: h, headers: {A: 5}}}\n"
     "- {request: {method: GET, headers: {}}}\n- {request: {method: POST, uri: h, body: 5}}\n- 7\n"
     "- {request: {method: GET, uri: h, headers: {A: [[x]]}}}\n- {request: {method: 'GE T', uri: h}}\n"
     "- {request: {method: POST, uri: h, body: !!binary AP8=, headers: {Content-Length: ['9']}}}\n"
     "- {request: {method: POST, uri: h, body: !!python/object/apply:builtins.iter [[1]]}}\n"
     "- {request: {method: POST, uri: h, body: !!python/object/new:_io.BytesIO {state: [5]}}}\n",
     ["2:1: " + NOTE_YAML] + [f"{i + 2}:3: skipped interactions[{i}]: {why}" for i, why in enumerate([
         "request: expected an object, got a string",
         "request.headers: expected an object (header name -> values), got an array",
         "request.headers['A']: expected an array of strings, got a number",
         "request.uri: is missing",
         "request.body: expected a string, bytes, a mapping or null, got a number",
         "expected an object, got a number",
         "request.headers['A'][0]: expected a string, got an array",
         "method 'GE T' is not an HTTP token, which a request line cannot hold",
         "the recorded body is 2 bytes but was sent with Content-Length: 9: it was not recorded as sent",
         "request.body[0]: expected a string or bytes, got a number",
         "not valid YAML: expected the BytesIO's content as bytes"])] + ["11 of 11 requests skipped"]),
    ("interactions:\n- request:\n    body:\n" + BOMB + "\n    headers: {User-Agent: [u]}\n    method: POST\n    uri: h\n"
     + _one(body="&r [1, *r]"),
     ["2:1: " + NOTE_YAML, "2:3: skipped interactions[0]: request.body: the recorded data holds more than 4194304 values "
      "(YAML aliases repeat them), more than a body is taken to have", "19:3: skipped interactions[1]: request.body: the "
      "recorded data has no JSON form (Circular reference detected)", "2 of 2 requests skipped"]),
    ('{"interactions": [{"request": {"method": "GET", "uri": "h", "headers": {"A": ["1"]}', ["1:84: not valid JSON: Expecting ',' delimiter"]),
    ('{"interactions": {}}', ["1:18: interactions: expected an array, got an object"]),
    ('{"interactions": [], "version": "1"}', ["1:1: version '1': tolmek reads vcrpy cassettes of version 1"]),
    ('{"http_interactions": [{"request": {"method": "GET", "uri": "h", "body": {"encoding": "utf-8", "base64_string": "%"}}},'
     '{"request": {"method": "GET", "uri": "h", "body": {"encoding": "rot13", "string": "x"}}},'
     '{"request": {"method": "GET", "uri": "h", "body": {"encoding": "ascii", "string": "\\u00e9"}}},'
     '{"request": {"method": "GET", "uri": "h", "body": []}}, {"request": {"method": "GET", "uri": "h", "body": {"string": 1}}},'
     '{"request": {"method": "GET", "uri": "h", "body": {"encoding": 1, "string": "x"}}},'
     '{"request": {"method": "GET", "uri": "h", "body": {"base64_string": 1}}}]}',
     [f"1:{{{i}}}: skipped http_interactions[{i}]: {why}" for i, why in enumerate([
         "the body is marked base64 but is not base64 text",
         "the body is in an encoding tolmek does not know ('rot13')",
         "the body's text has characters its encoding ('ascii') cannot hold",
         "request.body: expected an object or a string, got an array",
         "request.body.string: expected a string, got a number",
         "request.body.encoding: expected a string, got a number",
         "request.body.base64_string: expected a string, got a number"])] + ["7 of 7 requests skipped"]),
    ('{"recorded_with": "betamax/0.9.0"}', ['1:1: "http_interactions" is missing: not a betamax cassette']),
]


@pytest.mark.parametrize("case", HOSTILE, ids=range(len(HOSTILE)))
def test_hostile_cassettes_get_a_named_error_or_skip(cli, tmp_path, case):
    text, messages, *commands = case
    pwned = tmp_path / "pwned"
    path = tmp_path / ("c.json" if text.startswith("{") else "c.yaml")
    path.write_text(text.replace("{pwned}", str(pwned)))
    # {i} in a message: the column where the i-th interaction of a JSON cassette starts.
    starts = [m.start() + 1 for m in re.finditer(r'\{"request"', text)]
    messages = [m.format(*starts) if m.startswith("1:{") else m for m in messages]
    for command in ("curl", "postman"):
        code, out, err = cli(command, str(path))
        prefix = "tolmek: " if commands or "skipped" in messages[-1] else "tolmek: error: "
        assert err.splitlines() == [f"{prefix}{path}:{m}" if m[0].isdigit() and ":" in m[:8] else f"tolmek: {m}"
                                    for m in messages], command
        assert code == (0 if prefix == "tolmek: " else 2) and not pwned.exists()
        if commands and command == "curl":
            assert out.decode().count("\n") == commands[0]


def test_pure_python_loader_gives_the_same_names(cli, tmp_path, monkeypatch):
    """Without libyaml, PyYAML's own loader: nesting deeper than the interpreter's stack is named."""
    import yaml

    from tolmek_cli import yamlload

    monkeypatch.delattr(yaml, "CSafeLoader", raising=False)
    monkeypatch.setattr(yamlload, "_Loader", None)
    deep = tmp_path / "deep.yaml"
    deep.write_text("interactions:\n- request: {body: " + "[" * 5000 + "]" * 5000 + "}\n")
    code, _, err = cli("curl", str(deep))
    assert (code, err) == (2, f"tolmek: error: {deep}:1:1: not valid YAML here: nested deeper than the reader goes\n")
    ok = tmp_path / "ok.yaml"
    ok.write_bytes(VCR_YAML)
    assert cli("curl", str(ok))[:2] == (0, GET.encode())
