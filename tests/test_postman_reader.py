"""The Postman reader where newman is no judge: header strings, folder depth, variable loops and
sources, schema addresses; each against the module's own command for the expected request."""

import io
import json
import sys

import pytest

import tolmek_cli
from conftest import M
from tolmek import Tolmek
from tolmek_cli import postman

SCHEMA = "https://schema.getpostman.com/json/collection/v2.1.0/collection.json"


@pytest.fixture
def cli(capsysbinary, monkeypatch):
    def run(doc, *args):
        text = doc if isinstance(doc, bytes) else json.dumps(doc).encode()
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(text)))
        code = tolmek_cli.main(["curl", *args])
        out, err = capsysbinary.readouterr()
        return code, out.decode(), err.decode()

    return run


def command(url, headers=(), method="GET", body=None):
    return Tolmek(url, list(headers), getattr(M, method), body).get_request_command() + "\n"


def collection(*items, **top):
    return {"info": {"name": "t", "schema": SCHEMA}, "item": list(items), **top}


def test_a_header_string_splits_only_at_line_ends(cli):
    # U+2028, U+0085, vertical tab, form feed and U+001C to U+001E end lines for str.splitlines, not for Postman.
    odd = "\u2028\u0085\v\f\x1c\x1d\x1e"
    doc = collection({"name": "h", "request": {"url": "http://h/", "header": f"X-Note: caf\u00e9{odd}Evil: 1\r\nB: 2\rC: 3"}})
    assert cli(doc) == (0, command("http://h/", [("X-Note", f"caf\u00e9{odd}Evil: 1"), ("B", "2"), ("C", "3")]), "")


def test_folders_nest_as_deep_as_memory_allows(cli):
    # As deep as the JSON decoder of 3.12 takes (two levels a folder; the decoder's own limit is
    # the input reader's concern); below, the walk at a depth no recursion reaches.
    depth = 400
    text = ('{"item": [' + '{"name": "f", "item": [' * depth + '{"name": "leaf", "request": "http://h/deep"}, '
            '{"name": "bad", "request": 7}' + "]}" * depth + "]}").encode()
    code, out, err = cli(text)
    assert (code, out) == (0, command("http://h/deep"))
    assert err.endswith('.item[1] "bad": request: expected an object or a string, got a number\n'
                        "tolmek: 1 of 2 requests skipped\n") and err.count("item[0]") == depth
    item = {"name": "leaf", "request": "http://h/deeper"}
    for _ in range(100_000):
        item = {"item": [item]}
    got = list(postman._walk(item, 0, 0, postman._Context(None, False), postman.Scope(None)))
    assert [g[0] for g in got] == ["http://h/deeper"]


def test_variables_loops_sources_and_keeping(cli, tmp_path):
    loop = collection({"name": "l", "request": "http://h/{{a}}"},
                      variable=[{"key": "a", "value": "{{b}}"}, {"key": "b", "value": "x{{a}}"}])
    code, out, err = cli(loop)
    assert (code, out) == (1, "")
    assert err.endswith('skipped item[0] "l": the variables refer to each other in a loop ({{a}}, {{b}})\n'
                        "tolmek: no request converted (1 of 1 request skipped); nothing written\n")
    words = collection({"name": "w", "request": "http://h/{{$randomFirstName}}"})
    assert cli(words)[2].endswith("\"w\": {{$randomFirstName}} is a dynamic variable newman draws from faker's word "
                                  "lists, which tolmek does not hold; --keep-variables prints it as written\n"
                                  "tolmek: no request converted (1 of 1 request skipped); nothing written\n")
    kept = collection({"name": "k", "request": "http://h/{{a}}/{{$nope}}/{{none}}"}, variable=[{"key": "a", "value": "1"}])
    assert cli(kept, "--keep-variables") == (0, command("http://h/1/%7B%7B$nope%7D%7D/%7B%7Bnone%7D%7D"), "")
    # A later --env-var wins; an environment value marked disabled is no value (newman, which
    # uses it, is no judge here).
    env = tmp_path / "env.json"
    env.write_text(json.dumps({"values": [{"key": "a", "value": "env"}, {"key": "off", "value": "x", "enabled": False}]}))
    scoped = collection({"name": "s", "request": "http://h/{{a}}"})
    assert cli(scoped, "-e", str(env), "--env-var", "a=1", "--env-var", "a=2") == (0, command("http://h/2"), "")
    assert cli(collection({"name": "o", "request": "http://h/{{off}}"}), "-e", str(env))[1] == ""
    # Read like any input: UTF-16 and UTF-32 by their byte order mark or their zero bytes.
    values = json.dumps({"values": [{"key": "a", "value": "é"}]}, ensure_ascii=False)
    for encoding in ("utf-16", "utf-16-be", "utf-32", "utf-32-le", "utf-8-sig"):
        env.write_bytes(values.encode(encoding))
        assert cli(scoped, "-e", str(env)) == (0, command("http://h/%C3%A9"), ""), encoding
    env.write_bytes(values.encode("utf-16")[:-1])
    assert cli(scoped, "-g", str(env)) == (2, "", f"tolmek: error: {env}: not UTF-16 text\n")
    # A variables file that cannot be used stops the run before anything is written.
    bad = tmp_path / "bad.json"
    bad.write_text('{"values": {}}')
    for args, message in [(["-e", str(tmp_path / "none.json")], f"cannot read {tmp_path / 'none.json'}: No such file or directory"),
                          (["-g", str(bad)], f'{bad}: not a Postman globals export (an object with a "values" array)'),
                          (["--env-var", "novalue"], "--env-var 'novalue': expected NAME=VALUE")]:
        assert cli(scoped, *args) == (2, "", f"tolmek: error: {message}\n")


@pytest.mark.parametrize("schema", [
    "https://schema.getpostman.com/json/collection/v2.1.0/collection.json",
    "https://schema.getpostman.com/json/collection/v2.0.0/collection.json",
    "https://schema.getpostman.com/json/collection/v2/collection.json",
    "https://schema.postman.com/json/collection/v2.1.0/collection.json",
    "https://schema.postman.com/collection/json/v2.1.0/draft-07/collection.json",
    "http://schema.getpostman.com/json/collection/v2.0.0/",
])
def test_every_v2_schema_address_is_read(cli, schema):
    doc = {"info": {"schema": schema}, "item": [{"request": {"url": "http://h/", "method": "post",
                                                             "body": {"mode": "urlencoded", "urlencoded": ""}}}]}
    assert cli(doc) == (0, command("http://h/", method="POST"), "")
