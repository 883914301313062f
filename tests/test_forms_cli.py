"""`tolmek FORM FILE...`: where a form's files go, what it says of a request it cannot carry exactly,
and what --strict makes of that."""

import json
import os

import pytest

from conftest import cli_runner

LINES = [{"url": "http://h/a", "method": "GET", "headers": [["Accept", "*/*"], ["Host", "h"]]},
         {"url": "http://h/b", "method": "PUT", "headers": [], "body": "x"}]


@pytest.fixture
def cli(capsysbinary, monkeypatch):
    return cli_runner(capsysbinary, monkeypatch)


@pytest.fixture
def jsonl(tmp_path):
    path = tmp_path / "in.jsonl"
    path.write_text("".join(json.dumps(line) + "\n" for line in LINES))
    return path


def test_loss_named_on_stderr_and_in_the_output(cli, jsonl):
    code, out, err = cli("python", str(jsonl))
    assert code == 0
    assert err == f"tolmek: {jsonl}:1:1: not exact in httpx: httpx sends Host first, not in its recorded place\n"
    assert b"# not exact: httpx sends Host first" in out and out.count(b"\n    send(client, ") == 2


def test_strict_skips_what_a_form_would_change(cli, jsonl):
    code, out, err = cli("python", "--strict", str(jsonl))
    assert (code, out) == (1, b"")
    assert err.splitlines()[-1] == "tolmek: 1 of 2 requests skipped; nothing written (--strict)"


def test_a_folder_form_needs_a_directory(cli, jsonl, tmp_path):
    code, out, err = cli("bruno", str(jsonl))
    assert (code, out) == (2, b"")
    assert err == "tolmek: error: tolmek bruno writes a folder of files: name it with -o DIR\n"


def test_unknown_form_is_an_argument_error(cli, jsonl):
    with pytest.raises(SystemExit) as e:
        cli("perl", str(jsonl))
    assert e.value.code == 2


def test_side_files_go_beside_the_output(cli, tmp_path):
    """A body with a NUL byte: forms whose source holds bytes escaped write it inline; a form that
    needs a file beside the output puts it under bodies/, or skips the request on standard output."""
    from tolmek_forms import FORMS, writer

    source = tmp_path / "copied.sh"
    source.write_text("curl --data-binary @b.bin http://h/\n")
    (tmp_path / "b.bin").write_bytes(b"\0\1\2")
    for form in FORMS:
        if writer(form).FOLDER:
            continue
        out_dir = tmp_path / form
        out_dir.mkdir()
        code, _, err = cli(form, str(source), "--working-dir", str(tmp_path), "-o", str(out_dir / "out"))
        assert code == 0, err
        side = out_dir / "bodies" / "001.bin"
        if side.exists():
            assert side.read_bytes() == b"\0\1\2"
            code, out, err = cli(form, str(source), "--working-dir", str(tmp_path))
            assert code == 1 and "(write with -o FILE)" in err
        assert sorted(os.listdir(out_dir)) in (["out"], ["bodies", "out"])


def test_an_unknown_form_is_refused_where_it_is_named(tmp_path):
    import tolmek_http

    with pytest.raises(ValueError, match="unknown form 'perl': one of python, httpx, requests"):
        tolmek_http.record(tmp_path, forms=["perl"])
    with pytest.raises(TypeError):
        tolmek_http.record(tmp_path, forms="python")
    with pytest.raises(ValueError, match="unknown form"):
        tolmek_http.to_form(tolmek_http.from_curl("curl http://h/"), "perl")


def test_a_read_command_goes_back_to_curl_as_it_was_read():
    """to_curl takes a from_curl value: the digest credentials as given (not the method's name in
    place of the user), and a redacted command keeps a host that also stands in its scheme."""
    import tolmek_http

    digest = tolmek_http.from_curl("curl --digest -u 'dee:pw' http://h/x")
    assert tolmek_http.to_curl(digest).endswith(" --digest --user 'dee:pw'")
    bearer = tolmek_http.from_curl('curl -H "Authorization: Bearer sekrit" http://h/')
    assert tolmek_http.to_curl(bearer, redact=True) == (
        'curl -X GET http://h/ -H "User-Agent: curl/7.88.1" -H "Accept: */*" '
        '-H "Authorization: Bearer ${TOLMEK_AUTHORIZATION}"')
