"""Files an attacker hands over for conversion: what the command refuses to carry, and faults that
must cost one entry, not the run. Grouped by fault."""

import json

import pytest
from hypothesis import given, settings, strategies as st

from conftest import cli_runner

DEPTH = 10_000


@pytest.fixture
def cli(capsysbinary, monkeypatch):
    """Run the command in this process: (exit status, standard output text, standard error text)."""
    run = cli_runner(capsysbinary, monkeypatch)

    def as_text(*args, stdin=b""):
        code, out, err = run(*args, stdin=stdin)
        return code, out.decode(), err

    return as_text


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
    assert code == (0 if out else 1) and "internal error" not in err, err
    assert skips(err) == ([reason] if reason else [])
    if shown:
        assert shown in out


def test_variables_files_are_read_as_the_input_is(cli, tmp_path):
    env = tmp_path / "env.json"
    env.write_text('{"values": [{"key": "v", "value": ' + deep() + '}], "n": ' + "9" * 5000 + "}")
    code, out, err = cli("curl", "-e", str(env), stdin=b'{"item": [{"name": "x", "request": {"method": "GET", '
                                                       b'"url": "http://h/{{v}}"}}]}')
    assert (code, err) == (0, "") and deep() in out


# -- budgets: a small file must not make a huge output ---------------------------------------------

def doubling(count, uses=1):
    """A collection whose variables each name the one before twice: the last is 2**count values long."""
    v = [{"key": "v0", "value": "0123456789"}] + [
        {"key": f"v{i}", "value": "{{v%d}}{{v%d}}" % (i - 1, i - 1)} for i in range(1, count + 1)]
    items = [{"name": f"r{j}", "request": {"method": "POST", "url": "http://h/", "body": {"mode": "raw",
                                                                                          "raw": "{{v%d}}" % count}}}
             for j in range(uses)]
    return {"item": items, "variable": v}


def test_expansion_is_bounded_per_request(cli):
    code, out, err = cli("curl", stdin=json.dumps(doubling(13, uses=3)).encode())
    assert out == "" and len(skips(err)) == 3
    assert skips(err)[0].startswith("the variables expand the request to more than 64 times its own text and the "
                                    "values in scope (")
    # A long value used many times is no bomb: 64 times the texts and the values in scope.
    long = {"item": [{"name": "x", "request": {"method": "POST", "url": "http://h/", "body": {
        "mode": "raw", "raw": "{{token}}" * 60}}}], "variable": [{"key": "token", "value": "t" * 4096}]}
    code, out, err = cli("curl", stdin=json.dumps(long).encode())
    # (A body this long goes through printf in pieces: the pieces joined again, it is all there.)
    assert (code, err) == (0, "") and out.replace("'; printf '", "").count("t" * 4096) == 60


def test_expansion_is_bounded_per_run(cli, monkeypatch, tmp_path):
    from tolmek_cli import variables
    monkeypatch.setattr(variables, "RUN_GROWTH", 6000)  # room for two requests of 2,560 characters
    code, out, err = cli("curl", stdin=json.dumps(doubling(8, uses=5)).encode())
    assert out.count("curl ") == 2 and skips(err)[0].startswith("the variables expand the run's requests by more than")
    # Over several files too: the budget is the run's, not each file's.
    path = tmp_path / "doubling.json"
    path.write_text(json.dumps(doubling(8, uses=5)))
    code, out, err = cli("curl", str(path), str(path))
    assert out.count("curl ") == 2 and len(skips(err)) == 2 * len(skips(cli("curl", str(path))[2])) + 2


# -- values that are not texts, written as Postman writes them ---------------------------------------

def test_numbers_and_other_values_are_written_as_javascript_does(cli):
    values = {"tiny": 0.00001, "small": 1e-7, "big": 1e21, "huge": "HUGE", "whole": 2.0, "yes": True,
              "obj": {"a": 0.00001, "b": [None, False]}}
    collection = {"item": [{"name": "x", "request": {"method": "GET", "url": "http://h/?" + "&".join(
        f"{k}={{{{{k}}}}}" for k in values), "auth": {"type": "bearer", "bearer": [{"key": "token", "value": True}]}}}],
        "variable": [{"key": k, "value": 0} for k in values]}
    text = json.dumps(collection)
    for k, v in values.items():
        text = text.replace(f'{{"key": "{k}", "value": 0}}', f'{{"key": "{k}", "value": {json.dumps(v)}}}')
    code, out, err = cli("curl", stdin=text.replace('"HUGE"', "9" * 5000).encode())
    assert (code, err) == (0, "")
    assert "tiny=0.00001&small=1e-7&big=1e+21&huge=Infinity&whole=2&yes=true&obj={%22a%22:0.00001,%22b%22:[null,false]}" in out
    assert '"Authorization: Bearer true"' in out


# -- smaller faults: each as the README says ---------------------------------------------------------

def test_smaller_faults(cli, tmp_path):
    # An empty URL is no request (curl -X GET '' fails when run).
    assert skips(cli("curl", stdin=jsonl(line("")))[2]) == ["the URL is empty"]
    # MIME base64 (line breaks, spaces) is base64.
    body = {"text": "aGVs bG8=\r\n", "encoding": "base64"}
    assert cli("curl", stdin=har({"url": "http://h/", "method": "POST", "postData": body}))[1].endswith("-d 'hello' -H 'Content-Type:'\n")
    # A leading NUL is named as what it is, not as a UTF-16 character.
    assert cli("curl", stdin=b'\0{"u')[2] == "tolmek: error: <stdin>:1:1: not valid JSON: Expecting value (found U+0000)\n"
    # A file name is shown on one line, its controls escaped.
    name = tmp_path / "a\x1b[2J\nb"
    name.write_bytes(b"{")
    assert cli("curl", str(name))[2] == f"tolmek: error: {tmp_path}/a\\x1b[2J\\x0ab:1:2: not valid JSON: Expecting property name enclosed in double quotes\n"
    # A header whose name resolves to nothing is left out, not the request.
    collection = {"item": [{"name": "x", "request": {"method": "GET", "url": "http://h/", "header": [
        {"key": "{{empty}}", "value": "v"}, {"key": "A", "value": "b"}]}}], "variable": [{"key": "empty", "value": ""}]}
    assert cli("curl", stdin=json.dumps(collection).encode())[1:] == ('curl -X GET http://h/ -H "A: b"\n', "")


def test_multipart_part_headers_hold_only_their_field(cli):
    def form(**field):
        return json.dumps({"item": [item({"body": {"mode": "formdata", "formdata": [
            {"key": "k", "value": "v", "type": "text", **field}]}})]}).encode()

    code, out, err = cli("curl", stdin=form(key='a"\r\nX-Injected: 1'))
    assert 'name="a%22%0D%0AX-Injected: 1"' in out
    assert skips(cli("curl", stdin=form(contentType="text/plain\r\nX-Injected: 1"))[2]) == [
        "the formdata field 'k' has a line break in its contentType, which would add part headers"]


def test_kept_references_stay_readable_in_the_path(cli):
    # In a collection written, for newman to read again; a command sends the path as newman does.
    collection = {"item": [{"name": "x", "request": {"method": "GET", "url": "http://h/items/{{id}}/a b?q={{q}}"}}]}
    assert cli("curl", "--keep-variables", stdin=json.dumps(collection).encode())[1] == (
        "curl -X GET -g 'http://h/items/%7B%7Bid%7D%7D/a%20b?q={{q}}'\n")
    written = json.loads(cli("postman", "--keep-variables", stdin=json.dumps(collection).encode())[1])
    assert written["item"][0]["request"]["url"]["raw"] == "http://h/items/{{id}}/a%20b?q={{q}}"


# -- deep input: decoded by the C decoder wherever it can, by the explicit stack elsewhere --------

JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=3),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=2), inner, max_size=3),
    max_leaves=30)


def nesting(value):
    if isinstance(value, list):
        return 1 + max(map(nesting, value), default=0)
    if isinstance(value, dict):
        return 1 + max(map(nesting, value.values()), default=0)
    return 0


@settings(max_examples=200, deadline=None)
@given(JSON_VALUES, st.integers(1, 4))
def test_deep_values_decode_as_json_load_reads_them(value, limit):
    from tolmek_cli import deep

    def fast(text, pos, real=json.JSONDecoder().raw_decode):
        # The C decoder as it would be with its stack `limit` containers deep.
        got, end = real(text, pos)
        if nesting(got) > limit:
            raise RecursionError("maximum recursion depth exceeded while decoding a JSON array from a unicode string")
        return got, end

    text = json.dumps(value, indent=1)
    original, deep._FAST = deep._FAST, fast
    try:
        assert deep.decode(text, 0) == (json.loads(text), len(text))
    finally:
        deep._FAST = original
