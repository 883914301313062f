"""Files an attacker hands over for conversion: what the command refuses to carry, and faults that
must cost one entry, not the run. Grouped by fault."""

import io
import json
import sys

import pytest

import tolmek_cli

DEPTH = 10_000


@pytest.fixture
def cli(capsysbinary, monkeypatch):
    """Run the command in this process: (exit status, standard output text, standard error text)."""

    def run(*args, stdin=b""):
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
        code = tolmek_cli.main(list(args))
        out, err = capsysbinary.readouterr()
        return code, out.decode(), err.decode()

    return run


def jsonl(*objs):
    return "".join(json.dumps(o) + "\n" for o in objs).encode()


def line(url, headers=()):
    return {"url": url, "method": "GET", "headers": [list(h) for h in headers]}


def har(*requests):
    entries = [{"request": {"method": "GET", "headers": [], **r}} for r in requests]
    return json.dumps({"log": {"entries": entries}}).encode()


def skips(err):
    return [x.split(": skipped", 1)[1].split(": ", 1)[1] for x in err.splitlines() if ": skipped" in x]


# -- other protocols: curl would send raw bytes to any port (gopher, dict) or read local files -----

@pytest.mark.parametrize("url, reason", [
    ("gopher://127.0.0.1:6379/_SET%20pwned%201%0D%0AQUIT%0D%0A", "the URL's scheme 'gopher' is not http or https"),
    ("file:///etc/hostname", "the URL's scheme 'file' is not http or https"),
    ("FILE:/etc/hostname", "the URL's scheme 'FILE' is not http or https"),
    ("dict://127.0.0.1:11211/stat", "the URL's scheme 'dict' is not http or https"),
    ("ftp.example.com/x", "the URL has no scheme, and curl would guess 'ftp' from its host (only http and https are converted)"),
    ("DICT.example.com:2628/", "the URL has no scheme, and curl would guess 'dict' from its host (only http and https are converted)"),
])
@pytest.mark.parametrize("output", ["curl", "postman"])
def test_other_schemes_are_skipped(cli, url, reason, output):
    kept = ["http://h/", "HTTPS://h/", "h:8080/p", "example.com/ftp.x"]
    code, out, err = cli(output, stdin=jsonl(line(url), *map(line, kept)))
    assert code == 0 and skips(err) == [reason]
    assert out.count("curl -X GET") == 4 if output == "curl" else len(json.loads(out)["item"]) == 4
    assert "gopher" not in out and "file:" not in out.lower()
    har_code, _, har_err = cli(output, "--strict", stdin=har({"url": url}))
    assert har_code == 1 and skips(har_err) == [reason]
    collection = {"item": [{"name": "x", "request": {"method": "GET", "url": url}}]}
    assert skips(cli(output, stdin=json.dumps(collection).encode())[2]) == [reason]


def test_url_credentials_need_the_records_own_authorization(cli):
    # curl turns user:password in the URL into an Authorization header the record never had.
    code, out, err = cli("curl", stdin=jsonl(line("http://u:p@h/"), line("http://u@h/x"),
                                              line("http://u:p@h/", [("Authorization", "Basic dTpw")]),
                                              line("http://h/a@b"), line("http://h/?to=a@b")))
    assert skips(err) == ["the URL holds credentials (user@host) but the record has no Authorization header, and "
                          "curl would add one"] * 2
    assert out.splitlines() == ["curl -X GET http://u:p@h/ -H \"Authorization: Basic dTpw\"",
                                "curl -X GET http://h/a@b", "curl -X GET 'http://h/?to=a@b'"]


# -- a fault inside one entry costs that entry alone ------------------------------------------------

def deep(n=DEPTH):
    return "[" * n + "]" * n


def item(request, **extra):
    return {"name": "x", "request": {"method": "POST", "url": "http://h/", **request}, **extra}


ENTRY_FAULTS = [
    # A language that is not a text (unhashable): Postman's editor reads it as plain text.
    (json.dumps({"item": [item({"body": {"mode": "raw", "raw": "x", "options": {"raw": {"language": [1]}}}})]}),
     None, "Content-Type: text/plain"),
    (har({"url": "http://h/", "queryString": [{"name": "\ud800", "value": "x"}]}).decode(),
     "the text holds a lone surrogate (U+D800), which UTF-8 cannot carry", None),
    # An IPv6 host without its "]": curl's to refuse when run; the query is still appended.
    (har({"url": "http://[::1?x=1", "queryString": [{"name": "y", "value": "z"}]}).decode(),
     None, "'http://[::1?x=1&y=z'"),
    # Nested as deep as memory allows, as the README promises, and written back as deep.
    ('{"item": [{"name": "x", "request": {"method": "GET", "url": "http://h/{{v}}"}}], '
     '"variable": [{"key": "v", "value": ' + deep() + "}]}", None, deep()),
    (json.dumps({"item": [item({"body": {"mode": "graphql", "graphql": {"query": "q", "variables": 0}}})]})
     .replace('"variables": 0', '"variables": ' + deep()), None, '"variables":' + deep()),
]


@pytest.mark.parametrize("text, reason, shown", ENTRY_FAULTS)
def test_a_fault_inside_an_entry_costs_that_entry(cli, text, reason, shown):
    code, out, err = cli("curl", stdin=text.encode())
    assert code == 0 and "internal error" not in err, err
    assert skips(err) == ([reason] if reason else [])
    if shown:
        assert shown in out


def test_variables_files_are_read_as_the_input_is(cli, tmp_path):
    env = tmp_path / "env.json"
    env.write_text('{"values": [{"key": "v", "value": ' + deep() + '}], "n": ' + "9" * 5000 + "}")
    code, out, err = cli("curl", "-e", str(env), stdin=b'{"item": [{"name": "x", "request": {"method": "GET", '
                                                       b'"url": "http://h/{{v}}"}}]}')
    assert (code, err) == (0, "") and deep() in out
