"""vcrpy and betamax cassettes to curl scripts and collections: cassettes recorded at test time from
real clients (cassette_matrix.py) replayed by bash, dash and zsh with the real curl and by newman,
each request arriving as sent or its loss named; and the readers against hostile cassettes."""

import base64
import collections
import json
import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

import cassette_matrix
import http_matrix
import postman_diff
from cassette_matrix import RECORDED_CASES, RECORDINGS
from conftest import NEWMAN, cli_runner, missing, require_newman
from http_matrix import SHELLS, NotApplicable
from test_http_clients import private_home, recorders  # noqa: F401 - the matrix's fixtures

_PACKAGE = {"httpx-async": "httpx", "urllib.request": "urllib.request"}

# (recorder, client, runner) -> Counter of verdicts ("exact", "named", "skipped", "fault");
# betamax stamps its cassettes with datetime.utcnow(), which Python 3.12 deprecates.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning:betamax.*")

# (recorder, client, "not recorded") -> ["case: why"].
TALLY = {}


@pytest.fixture(scope="module")
def cassettes(recorders, private_home, tmp_path_factory):  # noqa: F811
    """(recorder, client) -> the Recorded cases, one cassette each, recorded on first use."""
    made = {}

    def get(recorder, client):
        pytest.importorskip(_PACKAGE.get(client, client))
        pytest.importorskip("betamax" if recorder.startswith("betamax") else "vcr")
        if (recorder, client) not in made:
            folder, out = tmp_path_factory.mktemp(f"{recorder}-{client}"), []
            not_recorded = TALLY[(recorder, client, "not recorded")] = []
            for i, name in enumerate(RECORDED_CASES):
                ext = "yaml" if recorder == "vcrpy" else "json"
                try:
                    rec = cassette_matrix.record(recorder, client, name, recorders, folder / f"{recorder}-{i:02d}.{ext}")
                except NotApplicable:
                    continue
                out.append(rec) if type(rec) is not str else not_recorded.append(f"{name}: {rec}")
            made[(recorder, client)] = out
        return made[(recorder, client)]

    return get


def _tolmek(command, *paths):
    done = subprocess.run([sys.executable, "-m", "tolmek_cli", command, *map(str, paths)], capture_output=True,
                          timeout=120, stdin=subprocess.DEVNULL)
    err = done.stderr.decode()
    assert done.returncode == (1 if "no request converted" in err else 0) and "Traceback" not in err, err
    return done.stdout, err


def _tally(key, verdicts):
    """Count the verdicts; the faults, each with where it happened, for the assertion."""
    count = TALLY[key] = collections.Counter(v if type(v) is str else "fault" for _, v in verdicts)
    return [f"{where}:\n  " + "\n  ".join(v) for where, v in verdicts if type(v) is not str] if count["fault"] else []


@pytest.mark.parametrize(("recorder", "client"), RECORDINGS)
def test_curl_replays_what_the_client_sent(recorder, client, cassettes, recorders, tmp_path):  # noqa: F811
    """Each cassette (one a case) through `tolmek curl`, its script run by each shell: every
    request the client sent arrives as sent (headers as the cassette carries them), or its loss or
    skip is named on stderr."""
    if absent := [t for t in (*SHELLS, "curl", "timeout") if not http_matrix.shutil.which(t)]:
        missing(f"not installed: {', '.join(absent)}")
    recorded = cassettes(recorder, client)
    scripts, stderrs = zip(*(_tolmek("curl", rec.path) for rec in recorded))
    problems = []
    for shell in SHELLS:
        by_index, shell_err = http_matrix.run_commands(shell, [s.decode() for s in scripts], tmp_path, recorders)
        verdicts = []
        for i, rec in enumerate(recorded):
            arrivals = iter(by_index.get(i, []))
            for j, sent in enumerate(rec.sent):
                label = cassette_matrix.label(rec.path, j)
                arrived = None if f": skipped {label}: " in stderrs[i] else next(arrivals, None)
                verdicts.append((f"{shell}, {rec.name}, {label}", cassette_matrix.judge(
                    sent, arrived, label, stderrs[i], recorder, client, rec.names[j])))
            problems += [f"{shell}, {rec.name}: more requests arrived than were converted"] * bool(list(arrivals))
        problems += _tally((recorder, client, shell), verdicts) + [f"{shell} wrote: {shell_err[:1000]}"] * bool(shell_err.strip())
    assert recorded and not problems, "\n".join(problems)


@pytest.mark.parametrize(("recorder", "client"), RECORDINGS)
def test_postman_replays_what_the_client_sent(recorder, client, cassettes, recorders, tmp_path):  # noqa: F811
    """All the cassettes of a client through one `tolmek postman` run, the collection run by
    newman: the same verdicts (a binary body, which a collection cannot hold, is skipped by name)."""
    require_newman()
    recorded = cassettes(recorder, client)
    out, err = _tolmek("postman", *(rec.path for rec in recorded))
    by_item, item, verdicts = cassette_matrix.run_newman(out, tmp_path, recorders[0]), 0, []
    for rec in recorded:
        lines = "\n".join(line for line in err.splitlines() if f"{rec.path}:" in line)
        for j, sent in enumerate(rec.sent):
            label = cassette_matrix.label(rec.path, j)
            arrived = None
            if f": skipped {label}: " not in lines:  # the collection holds the others, in order
                arrived, item = by_item.get(item), item + 1
            verdicts.append((f"newman, {rec.name}, {label}", cassette_matrix.judge(
                sent, arrived, label, lines, recorder, client, rec.names[j], newman=True)))
    problems = _tally((recorder, client, "newman"), verdicts)
    assert recorded and not problems, "\n".join(problems)


# --- the readers on their own: losses, detection, PyYAML, hostile cassettes ---------------------------

DATA = pathlib.Path(__file__).parent / "data" / "cassettes"


@pytest.fixture
def cli(capsysbinary, monkeypatch):
    return cli_runner(capsysbinary, monkeypatch)


def _expected(name):
    """The stderr a data file's run must give, word for word ({dir}: the data folder)."""
    return (DATA / f"{name}.err").read_text().replace("{dir}", f"{DATA}/")


def test_losses_are_named_and_bodies_carried_as_recorded(cli):
    """What a cassette did not keep is named (once a request, and once a file for what no vcrpy
    cassette keeps); the request still goes, its body as recorded; notes are no skips for --strict.
    The commands are the composer's for the recorded fields, curl's own headers held back."""
    from tolmek_http.compose import command

    def want(url, headers, method, body, held="User-Agent Accept"):
        return command(url, headers, method, body) + "".join(f" -H '{n}:'" for n in f"Content-Type {held} Expect".split())

    code, out, err = cli("curl", "--strict", str(DATA / "lossy.yaml"))
    assert (code, err) == (0, _expected("lossy.yaml"))
    # The data's keys in the cassette's order (vcrpy's YAML sorts them; aiohttp sent the dict's).
    assert out.decode().splitlines() == [
        want("http://h/json", [], "POST", '{"b": [1, 2.5, null], "a": "\\u00e9"}'),
        want("http://h/chunks", [("Transfer-Encoding", "chunked"), ("User-Agent", "Python-urllib/3.12")], "PUT",
             b"\x00\xfftail", "Accept"),
        want("http://h/file", [("User-Agent", "x"), ("Content-Length", "2")], "PATCH", "hi", "Accept")]
    code, out, err = cli("curl", str(DATA / "lossy.json"), str(DATA / "lossy-betamax.json"))
    assert (code, err) == (0, _expected("lossy.json"))
    assert out.decode().splitlines() == [
        want("http://h/", [("User-Agent", "u"), ("A", "1")], "POST", "x", "Accept"),
        want("http://h/2", [("User-Agent", "u"), ("Content-Length", "4")], "POST", "a\ufffd", "Accept"),
        want("http://h/3", [("User-Agent", "u")], "PUT", b"\xe9", "Accept"), want("http://h/4", [], "PUT", b"\x00\xff"),
        want("http://h/5", [("Content-Length", "0")], "DELETE", "")]


# What the filtered cassettes' placeholders stand for: each variable's value, shell and URL text.
FILTERED = {"<REFRESH_TOKEN>": ("TOLMEK_REFRESH_TOKEN", "r'$(x)`y`\\"), "FILTERED": ("TOLMEK_AUTHORIZATION", "abc$HOME"),
            "<USERNAME>": ("TOLMEK_USERNAME", "bob'o"), "**********": ("TOLMEK_PASSWORD", 'p"w'),
            "<AUTH_TOKEN>": ("TOLMEK_AUTH_TOKEN", "gh'1")}


@pytest.mark.parametrize("name", ["filtered.yaml", "filtered-betamax.json"])
def test_filtered_cassettes_ask_for_what_their_placeholders_stand_for(name, recorders, tmp_path):  # noqa: F811
    """A body a filter edited after recording goes with curl's length; each placeholder is a
    variable the script stops without, and with them set bash, dash, zsh and newman send the values
    in its place; Host and Expect go as the notes say (curl: Host first, newman: no Expect)."""
    path = tmp_path / name
    text = (DATA / name).read_text().replace("{base}", recorders[0].base)
    path.write_text(text)
    recorded = cassette_matrix._vcr_yaml().deserialize(text)["interactions"][0]["request"] if name.endswith(".yaml") \
        else json.loads(text)["http_interactions"][0]["request"]
    body = recorded["body"] if type(recorded["body"]) is str else recorded["body"]["string"]
    for placeholder, (_, value) in FILTERED.items():
        body = body.replace(placeholder, value)
        recorded["uri"] = recorded["uri"].replace(placeholder, value)
    script, err = _tolmek("curl", path)
    assert "Content-Length differs" not in err and "a filter changed it after recording" in err
    stopped, shell_err = http_matrix.run_commands("sh", [script.decode()], tmp_path, recorders)
    assert not stopped and "is not set" in shell_err
    exports = "".join(f"{n}={shlex.quote(v)}; export {n}\n" for n, v in FILTERED.values())
    runs = {shell: http_matrix.run_commands(shell, [exports + script.decode()], tmp_path, recorders)[0][0] for shell in SHELLS}
    collection, err = _tolmek("postman", path)
    doc = json.loads(collection)
    doc["variable"] = [{"key": n, "value": v} for n, v in FILTERED.values()]
    require_newman()
    runs["newman"] = [cassette_matrix.run_newman(json.dumps(doc).encode(), tmp_path, recorders[0])[0]]
    for runner, (arrival,) in runs.items():
        headers = {n.decode().lower(): v.decode() for n, v in arrival.headers}
        assert (arrival.target.decode(), arrival.body.decode(), headers["content-length"]) == (
            recorded["uri"].split(str(recorders[0].port), 1)[1], body, str(len(body.encode()))), runner
        assert FILTERED["FILTERED" if "FILTERED" in text else "<AUTH_TOKEN>"][1] in headers["authorization"]
        assert ("expect" in headers) == (runner != "newman" and "Expect" in text), runner
        names = [n for n, _ in arrival.headers if n.lower() != postman_diff.CASE.lower().encode()]
        assert names[0] == (b"Host" if runner != "newman" else b"User-Agent" if "betamax" in name else b"Authorization")


VCR_YAML = b"interactions:\n- request: {method: GET, uri: 'http://h/', headers: {User-Agent: [u]}, body: null}\nversion: 1\n"
VCR_JSON = b'{"interactions": [{"request": {"method": "GET", "uri": "http://h/", "headers": {"User-Agent": ["u"]}}}]}'
BETAMAX = b'{"http_interactions": [{"request": {"method": "GET", "uri": "http://h/", "headers": {"User-Agent": ["u"]}, ' \
          b'"body": {"encoding": "utf-8", "string": ""}}}], "recorded_with": "betamax/0.9.0"}'
GET = "curl -X GET http://h/ -H \"User-Agent: u\" -H 'Accept:'\n"


@pytest.mark.parametrize(("text", "args"), [
    (VCR_YAML, ()), (b"\xef\xbb\xbf# a comment\n%YAML 1.1\n---\n" + VCR_YAML, ()), (b"version: 1\n" + VCR_YAML[:-11], ()),
    (VCR_JSON, ()), (BETAMAX, ()), (b'{"recorded_with": "betamax/0.9.0", ' + BETAMAX[1:], ()),
    (b"metadata: {}\n" + VCR_YAML, ("--from", "vcr")), (BETAMAX, ("--from", "betamax")), (VCR_JSON, ("--from", "vcr"))])
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
    sys.stderr.write("imported: " + " ".join(sorted(set(sys.modules) - before)))
raise SystemExit(code)
"""


def test_yaml_is_imported_only_for_a_cassette_in_yaml_and_its_absence_named(tmp_path):
    files = {name: tmp_path / name for name in ("c.yaml", "c.json", "b.json")}
    for (name, path), text in zip(files.items(), (VCR_YAML, VCR_JSON, BETAMAX)):
        path.write_bytes(text)
        done = subprocess.run([sys.executable, "-c", IMPORTED, "yaml", "curl", path], capture_output=True, timeout=60)
        imported = set(done.stderr.decode().rpartition("imported: ")[2].split())
        assert done.stdout.decode() == GET and ("yaml" in imported) == name.endswith(".yaml")
        assert name.endswith(".yaml") or not {"tolmek_cli.yamlload", "json", "re", "base64"} & imported
    # Without PyYAML: one line for the YAML file; the others are converted, the exit status is 2.
    done = subprocess.run([sys.executable, "-c", IMPORTED, "no-yaml", "postman", *files.values()], capture_output=True,
                          timeout=60)
    assert done.returncode == 2 and done.stdout.count(b'"method":"GET"') == 2
    assert [line for line in done.stderr.decode().splitlines()[:-1] if ": note: " not in line] == [
        f"tolmek: error: {files['c.yaml']}:1:1: reading a vcrpy cassette in YAML needs PyYAML, which is not installed: "
        "pip install 'tolmek[yaml]'", "tolmek: 1 of 3 files not converted"]


@pytest.mark.parametrize("path", sorted(DATA.glob("hostile-*[ln]")), ids=lambda p: p.stem)
def test_hostile_cassettes_get_a_named_error_or_skip(cli, path, tmp_path, monkeypatch):
    """Truncated, of wrong types, nested deep, repeating through aliases, with tags naming Python
    objects (one would `touch pwned`): a named error or skip each, never a traceback or an object."""
    monkeypatch.chdir(tmp_path)
    expected = _expected(path.name).replace("{file}", str(path))
    skipped = re.search(r"(\d+) of (\d+) requests skipped", expected)
    for command in ("curl", "postman"):
        code, out, err = cli(command, str(path))
        assert err == expected and code == (2 if "tolmek: error: " in expected else
                                            1 if "no request converted" in expected else 0), command
        assert not (tmp_path / "pwned").exists()
        if command == "curl":
            assert out.count(b"\n") == (int(skipped[2]) - int(skipped[1]) if skipped else 0)


def test_pure_python_loader_names_deep_nesting(cli, tmp_path, monkeypatch):
    """Without libyaml, PyYAML's own loader, which recurses: nesting past the stack is named."""
    import yaml

    from tolmek_cli import yamlload

    monkeypatch.delattr(yaml, "CSafeLoader", raising=False)
    monkeypatch.setattr(yamlload, "_Loader", None)
    deep = tmp_path / "deep.yaml"
    deep.write_text("interactions:\n- request: {body: " + "[" * 5000 + "]" * 5000 + "}\n")
    assert cli("curl", str(deep))[::2] == (2, f"tolmek: error: {deep}:1:1: not valid YAML here: nested deeper than the "
                                              "reader goes\n")
    assert cli("curl", "-", stdin=VCR_YAML)[:2] == (0, GET.encode())


def test_huge_cassettes_are_read_whole(cli, tmp_path):
    """A 12 MiB body kept as base64 by betamax, read through the JSON reader's chunks, and 3000
    interactions of YAML: every request converted, the body's bytes piped to curl whole."""
    body = bytes(range(256)) * (12 << 12)
    betamax = tmp_path / "big.json"
    betamax.write_text('{"http_interactions": [{"request": {"method": "PUT", "uri": "http://h/", "headers": {}, "body": '
                       f'{{"encoding": "utf-8", "base64_string": "{base64.b64encode(body).decode()}"}}}}}}]}}')
    many = tmp_path / "many.yaml"
    many.write_text("interactions:\n" + "- request: {method: GET, uri: 'http://h/', headers: {User-Agent: [u]}}\n" * 3000)
    code, out, err = cli("curl", str(betamax), str(many))
    assert code == 0 and "skipped" not in err and out.count(GET.encode()) == 3000
    (tmp_path / "printf.sh").write_bytes(out.split(b" | curl ", 1)[0])
    assert subprocess.run(["sh", str(tmp_path / "printf.sh")], capture_output=True, timeout=120).stdout == body


def test_sample_suite_recorded_by_vcrpy_replays(tmp_path):
    """The sample suite (tests/sample_suite, over the sample app) run with every test recorded by
    vcrpy into a cassette of its own; each cassette through `tolmek curl` and bash, and all through
    one `tolmek postman` run by newman: every request a test sent arrives again as sent or with its
    loss or skip named (requests of threads and tasks matched within their test)."""
    import sample_app

    out = tmp_path / "cassettes"
    out.mkdir()
    with sample_app.start() as app:
        app.tag_file = out / ".tag"
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower() and not k.startswith("PYTEST_")}
        env.update(TOLMEK_SAMPLE_BASE=app.base, HOME=str(tmp_path), TOLMEK_CASSETTES=str(out),
                   PYTHONPATH=os.pathsep.join([str(pathlib.Path(__file__).parent), env.get("PYTHONPATH", "")]))
        subprocess.run([sys.executable, "-m", "pytest", "-q", "-c", "pytest.ini", "--rootdir", ".", "-p", "cassette_plugin",
                        "."], cwd=pathlib.Path(__file__).parent / "sample_suite", env=env, capture_output=True,
                       stdin=subprocess.DEVNULL, timeout=600)
        sent = collections.defaultdict(list)
        for arrival in app.take():
            sent[arrival.tag].append(arrival)
        app.tag_file = None
        files = sorted(out.glob("*.yaml"))
        scripts, stderrs = zip(*(_tolmek("curl", path) for path in files))
        by_index, shell_err = http_matrix.run_commands("bash", [s.decode() for s in scripts], tmp_path, [app])
        collection, err = _tolmek("postman", *files)
        by_item = cassette_matrix.run_newman(collection, tmp_path, app) if NEWMAN.exists() else None
    not_recorded = sum(len(a) for tag, a in sent.items() if not (out / f"{tag}.yaml").exists())
    problems, item = [], 0
    for runner in ("bash", "newman") if by_item is not None else ("bash",):
        verdicts = []
        for i, path in enumerate(files):
            names = [{str(n).lower().encode() for n in it["request"].get("headers") or {}}
                     for it in cassette_matrix._vcr_yaml().deserialize(path.read_text())["interactions"]]
            unused, arrivals = list(sent[path.stem]), iter(by_index.get(i, []))
            lines = stderrs[i] if runner == "bash" else "\n".join(x for x in err.splitlines() if f"{path}:" in x)
            if len(names) != len(unused):
                not_recorded += len(unused) * (runner == "bash")
                item += len([j for j in range(len(names)) if f": skipped interactions[{j}]: " not in lines])
                continue
            for j in range(len(names)):
                label = f"interactions[{j}]"
                arrived = None
                if f": skipped {label}: " not in lines:
                    arrived = next(arrivals, None) if runner == "bash" else by_item.get(item)
                    item += runner == "newman"
                client = "httpx" if "httpx" in path.stem else ""  # vcrpy records httpx's names in lower case
                found = [cassette_matrix.judge(s, arrived, label, lines, "vcrpy", client, names[j], runner == "newman")
                         for s in unused]
                best = next((k for v in ("exact", "named", "skipped") for k, f in enumerate(found) if f == v), 0)
                verdicts.append((f"{runner}, {path.stem}, {label}", found[best]))
                unused.pop(best)
        problems += _tally(("vcrpy", "sample suite", runner), verdicts)
    TALLY[("vcrpy", "sample suite", "not recorded")] = [f"{not_recorded} requests of tests vcrpy did not record "
                                                        "whole"] * bool(not_recorded)
    assert len(sent) >= 50 and not problems and not shell_err.strip(), "\n".join(problems) + shell_err
