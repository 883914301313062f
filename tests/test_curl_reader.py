"""Copied curl commands read by tolmek: the real curl runs each against the recorder, then the
command `tolmek curl` writes from it; both must arrive alike. Cmd copies read to the request of
their bash twin; commands that depend on the shell are skipped, naming why, and run nothing."""

import pathlib
import re

import pytest
from hypothesis import HealthCheck, given, settings

import faithful
from conftest import cli_runner
from http_matrix import CURL, differences, run_commands
from recorder import Recorder

CASES = pathlib.Path(__file__).parent / "data" / "curl_commands.txt"


def _cases():
    """{name: (the command text, None | ("same", other) | ("skip", words))} in the table's order."""
    cases = {}
    for block in re.split(r"^## ", CASES.read_text(encoding="utf-8"), flags=re.M)[1:]:
        head, _, body = block.partition("\n")
        name, kind, rest = re.match(r"(\S+)\s*([=!]?)\s*(.*)", head).groups()
        cases[name] = (body.strip("\n") + "\n", {"=": ("same", rest), "!": ("skip", rest)}.get(kind))
    return cases


CASE = _cases()
RUN = [name for name, (_, kind) in CASE.items() if kind is None]
FILES = {"data.json": b'{"k": "v", "n": [1, 2]}\n', "crlf.txt": b"a=1\r\nb=2\n", "logo.png": b"\x89PNG\r\n\x1a\n\x00",
         "notes.txt": "it's ✓ & 100%\n".encode(), "raw.bin": bytes(range(256))}
_BOUNDARY = re.compile(rb"boundary=(-*[0-9A-Za-z]{16,22})")


@pytest.fixture(scope="module")
def place(tmp_path_factory):
    """(the recorder, the working directory holding the files the commands name)."""
    if CURL is None:
        pytest.skip("curl is not installed")
    work = tmp_path_factory.mktemp("curl-reader") / "work"
    work.mkdir()
    for name, data in FILES.items():
        (work / name).write_bytes(data)
    (work.parent / "outside.txt").write_text("secret")
    with Recorder() as recorder:
        yield recorder, work


@pytest.fixture
def cli(capsysbinary, monkeypatch):
    return cli_runner(capsysbinary, monkeypatch)


def _text(name, recorder):
    return CASE[name][0].replace("ORIGIN", recorder.base).replace("PORT", str(recorder.port))


def _convert(cli, work, text, *args):
    source = work / "case.sh"
    source.write_text(text, encoding="utf-8")
    # The curl that runs the commands here sends its own version.
    return cli("curl", str(source), "--working-dir", str(work), "--curl-version", faithful.curl_version().decode(), *args)


def _same_boundary(original, written):
    """The written arrival's multipart boundary replaced by the original's (curl draws a new one
    each run)."""
    if (a := _BOUNDARY.search(b"".join(v for _, v in original.headers))) and \
            (b := _BOUNDARY.search(b"".join(v for _, v in written.headers))):
        written.headers = [(n, v.replace(b.group(1), a.group(1))) for n, v in written.headers]
        written.body = written.body.replace(b.group(1), a.group(1))


@pytest.mark.parametrize("name", RUN)
def test_copied_command_arrives_as_curl_sent_it(name, place, cli):
    recorder, work = place
    text = _text(name, recorder)
    code, out, err = _convert(cli, work, text)
    assert code == 0 and "skipped" not in err, err
    # The command tolmek writes is its own fixed point: read again, it is written the same.
    (work / "again.sh").write_bytes(out)
    assert cli("curl", str(work / "again.sh"))[1] == out
    arrivals = {}
    for kind, script in (("original", text), ("written", out.decode())):
        got, stderr = run_commands("bash", [script], work, [recorder])
        arrivals[kind] = got.get(0, [])
        assert arrivals[kind], f"{kind}: nothing arrived; {stderr}"
    problems = []
    for original, written in zip(arrivals["original"], arrivals["written"], strict=True):
        _same_boundary(original, written)
        problems += differences(original, written)
    assert not problems, f"{out.decode()}\n" + "\n".join(problems)


@pytest.mark.parametrize("name", [name for name, (_, kind) in CASE.items() if kind and kind[0] == "same"])
def test_cmd_copy_reads_as_its_bash_twin(name, place, cli):
    recorder, work = place
    twin = _convert(cli, work, _text(CASE[name][1][1], recorder))
    assert _convert(cli, work, _text(name, recorder)) == twin


@pytest.mark.parametrize("name", [name for name, (_, kind) in CASE.items() if kind and kind[0] == "skip"])
def test_command_the_shell_decides_is_skipped(name, place, cli):
    recorder, work = place
    code, out, err = _convert(cli, work, _text(name, recorder), "--from", "curl")
    assert (code, out) == (1, b"")
    assert "case.sh:1:1: skipped command 1: " in err and CASE[name][1][1] in err, err
    assert not (work / "CANARY").exists()


def test_recognised_by_content_from_stdin(cli):
    code, out, err = cli("curl", stdin=b"\n# copied\ncurl -s http://h/x\n")
    assert (code, out) == (0, b'curl -X GET http://h/x -H "User-Agent: curl/7.88.1" -H "Accept: */*"\n'), err
    code, out, err = cli("postman", "--from", "curl", stdin=b"curl -F a=@x.bin http://h/\n")
    assert code == 1 and "only --working-dir allows" in err


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(faithful.requests())
def test_tolmek_commands_read_back_to_themselves(req):
    """Every command tolmek writes for the random requests reads back to a request written alike."""
    import io

    from tolmek_cli import convert
    from tolmek_cli.curl_in import read
    from tolmek_cli.source import Source

    try:
        written = faithful.render(req.url("http://127.0.0.1:9"), req.headers, req.method, req.body)
    except ValueError:
        return
    def round_trip(command):
        src = Source(io.BytesIO(command.encode() + b"\n"), "<written>")
        report = convert.Report(src)
        out = convert.commands(read(src), report)
        assert not report.lines and len(out) == 1, (command, report.lines)
        return out[0]

    # Read back, curl's own headers become explicit; from then on the command is a fixed point.
    once = round_trip(written)
    assert round_trip(once) == once
