"""Postman collections through newman and through `tolmek curl` + bash arrive the same at the loopback
recorder: variables and their scopes, auth and its inheritance, URLs, bodies, and public collections."""

import json
import os
import pathlib
import re

import pytest
from hypothesis import HealthCheck, Phase, given, settings, strategies as st

import postman_diff
from conftest import M, require_newman
from http_matrix import PASSWORD, USER
from test_faithful_newman import newman_requests
from tolmek import Tolmek, TolmekCollection

DATA = pathlib.Path(__file__).parent / "data" / "postman"
SCHEMA = "https://schema.getpostman.com/json/collection/v2.1.0/collection.json"


def req(name, method, url, header=None, body=None, auth=None, **item):
    request = {"method": method, "url": url}
    if header is not None:
        request["header"] = header
    if body is not None:
        request["body"] = body
    if auth is not None:
        request["auth"] = auth
    return {"name": name, "request": request, **item}


def h(*pairs, off=()):
    return [{"key": k, "value": v} for k, v in pairs] + [{"key": k, "value": v, "disabled": True} for k, v in off]


def v21(kind, **params):
    return {"type": kind, kind: [{"key": k, "value": v, "type": "string"} for k, v in params.items()]}


def raw(text, language=None):
    body = {"mode": "raw", "raw": text}
    if language:
        body["options"] = {"raw": {"language": language}}
    return body


B = "{{base}}"
URL_CHARS = "/p a\"<>{}`|^[]'é%41%zz;,=@!$&()*+~\\?q a\"<>{}`|^[]'é%41=\x7f&x=1&=&&y#frag"

FEATURES = {
    "info": {"name": "features", "schema": SCHEMA},
    "variable": [{"key": "base", "value": "http://127.0.0.1:1"}, {"key": "v", "value": "coll"}, {"key": "uibase", "value": "http://é:x@h"},
                 {"key": "n1", "value": "{{n2}}"}, {"key": "n2", "value": "deep"}, {"key": "nm", "value": "v"},
                 {"key": "off", "value": "x", "disabled": True}, {"key": "tok", "value": "T-{{v}}"},
                 {"key": "num", "value": 7}, {"key": "pw", "value": PASSWORD}],
    "auth": v21("bearer", token="{{tok}}"),
    "item": [
        # Variables: every scope and nesting; the scopes' order is set by the options of the run.
        req("scopes", "GET", B + "/vars/{{g}}/{{e}}/{{v}}/{{ge}}?n={{n1}}&nest={{{{nm}}}}&num={{num}}",
            h(("X-{{v}}", "{{e}}"))),
        req("undefined", "GET", B + "/u?x={{undefined}}"),
        req("disabled collection variable", "GET", B + "/o?x={{off}}"),
        req("dynamic", "POST", B + "/d", body=raw("{{$guid}}")),
        # Auth: inherited from the collection and folders, replaced, stopped by noauth.
        req("inherited", "GET", B + "/inherit", h(("A", "1"), ("authorization", "own"))),
        req("null auth inherits", "GET", B + "/null", auth=None),
        req("basic", "GET", B + "/basic", h(("A", "1")), auth=v21("basic", username="us:er", password="pä ss")),
        req("basic v2.0", "GET", B + "/basic20", auth={"type": "basic", "basic": {"username": "u", "password": "p"}}),
        req("noauth", "GET", B + "/noauth", auth={"type": "noauth"}),
        {"name": "folder", "auth": v21("apikey", key="X-Key", value="k {{v}}"), "item": [
            req("apikey header", "GET", B + "/apikey?a=1", h(("A", "1"))),
            req("apikey query", "GET", B + "/apiq?a=1", auth=v21("apikey", key="k k", value="v&v é", **{"in": "query"})),
            {"name": "noauth folder", "auth": {"type": "noauth"}, "item": [
                {"name": "deeper", "item": [req("no auth below", "GET", B + "/nofolder")]}]},
        ]},
        req("oauth2", "GET", B + "/oauth2", auth=v21("oauth2", accessToken="AT", headerPrefix="Tok", addTokenTo="header")),
        req("oauth2 default", "GET", B + "/oauth2d", auth=v21("oauth2", accessToken="AT")),
        req("oauth2 query", "GET", B + "/oauth2q?x=1", auth=v21("oauth2", accessToken="A T", addTokenTo="queryParams")),
        req("oauth2 no token", "GET", B + "/oauth2n", auth=v21("oauth2", addTokenTo="header")),
        req("oauth2 no prefix", "GET", B + "/oauth2p", auth=v21("oauth2", accessToken="AT", headerPrefix="")),
        req("apikey query characters", "GET", B + "/apiqc", auth=v21("apikey", key="k=&#+'!*()~",
                                                                       value="v=&#+'!*()~/?:@", **{"in": "query"})),
        req("bearer v2.0", "GET", B + "/bearer20", auth={"type": "bearer", "bearer": {"token": "{{tok}}"}}),
        req("empty bearer", "GET", B + "/bearerempty", auth=v21("bearer", token="")),
        req("digest", "POST", B + "/digest?x=1", h(("A", "1")), raw("d"), auth=v21("digest", username=USER,
                                                                                     password="{{pw}}")),
        req("digest, no retry", "GET", B + "/digest-once", auth=v21("digest", username="u", disableRetryRequest=True)),
        req("digest, stored nonce", "GET", B + "/digest", auth=v21("digest", username="u", realm="r", nonce="n")),
        req("digest, SHA-256", "GET", B + "/digest", auth=v21("digest", username="u", algorithm="SHA-256")),
        req("awsv4", "POST", B + "/aws/x_y.z~?a=1&b=%2F&b=x", h(("Authorization", "old"), ("B", "2 ")),
            raw('{"é": 1}', "json"), auth=v21("awsv4", accessKey="AK", secretKey=postman_diff.AWS_SECRET,
                                               region="eu-west-1", service="{{v}}", sessionToken="T/k")),
        req("awsv4 defaults, GET body", "GET", B + "/aws2", body=raw("dropped"),
            auth=v21("awsv4", accessKey="AK", secretKey=postman_diff.AWS_SECRET)),
        req("awsv4 form", "PUT", B + "/aws3", body={"mode": "urlencoded", "urlencoded": [{"key": "k", "value": "v w"}]},
            auth=v21("awsv4", accessKey="AK", secretKey=postman_diff.AWS_SECRET, service="s3")),
        req("awsv4 unsorted", "GET", B + "/aws4?b=1&a=2", auth=v21("awsv4", accessKey="AK", secretKey="S")),
        req("awsv4 escaped path", "GET", B + "/aws 5", auth=v21("awsv4", accessKey="AK", secretKey="S")),
        req("awsv4 in query", "GET", B + "/aws6", auth=v21("awsv4", accessKey="AK", secretKey="S",
                                                           addAuthDataToQuery=True)),
        # Methods in any case, headers.
        req("lower case", "post", B + "/lower", body=raw("x")),
        req("mixed case", "Options", B + "/mixed"),
        req("webdav", "propfind", B + "/dav", h(("Depth", "1")), raw("<propfind/>", "xml")),
        req("purge", "PURGE", B + "/purge"),
        req("token characters", "M$!`'|~#", B + "/token"),
        req("header string", "GET", B + "/hstr", "X-A: 1\r\nX-B:2\rX-C: {{v}}\nX-D: x y\n\nX-E: a:b\nno colon\n: no name"),
        req("headers", "GET", B + "/headers", h(("B", ""), ("C", " sp "), ("", "no name"), off=[("Off", "x")])),
        # URLs: parts over raw, path variables, encoding, disabled query parameters.
        req("characters", "GET", B + URL_CHARS),
        req("parts", "GET", {"raw": B + "/query=urn%3Ax", "host": [B], "path": ["get", ":id", ":none", "x:y", ""],
                             "query": [{"key": "q", "value": "urn%3Ax y"}, {"key": "d", "value": "1", "disabled": True},
                                       {"key": "nv", "value": None}, {"key": None, "value": "kv"},
                                       {"key": "h", "value": "x#y&z"}],
                             "variable": [{"key": "id", "value": "7/8 9"}], "hash": "h"}),
        req("string path", "GET", {"host": B, "path": "/str/{{v}}", "query": []}),
        req("dots", "GET", B + "/a/../b/./c/%2e%2E/d"),
        req("url credentials", "GET", {"raw": "http://h/urlauth", "host": ["h"], "path": ["urlauth"],
                                       "auth": {"user": "us er", "password": "p:w é"}}, h(("A", "1")),
            auth={"type": "noauth"}),
        req("url credentials and auth", "GET", {"raw": "http://h/urlauth2", "host": ["h"], "path": ["urlauth2"],
                                                "auth": {"user": "u", "password": "p"}}, auth=v21("bearer", token="T")),
        req("url user only", "GET", {"host": ["h"], "path": ["urlauth3"], "auth": {"user": "u"}},
            auth={"type": "noauth"}),
        req("raw encoding kept", "GET", B + "/raw/\"<>`{}|^%41?q=\"<>'^#{{undefined}}",
            protocolProfileBehavior={"disableUrlEncoding": True}),
        req("undefined in fragment", "GET", B + "/frag?x=1#{{undefined}}"),
        req("url credentials, escapes", "POST", {"host": ["h"], "path": ["urlauth4"], "auth": {
            "user": "%41{{v}}", "password": "%C3%A9:x"}}, h(("A", "1")), {"mode": "urlencoded", "urlencoded": [
                {"key": "a", "value": "1"}]}, auth={"type": "noauth"}),
        req("url password only", "GET", {"host": ["h"], "path": ["urlauth5"], "auth": {"user": "", "password": "p"}},
            auth={"type": "noauth"}),
        req("url credentials, own header", "GET", {"host": ["h"], "path": ["urlauth6"], "auth": {"user": "u"}},
            h(("authorization", "mine"))),
        # User information in an address given as text: newman's Basic header, the address without it.
        req("userinfo", "POST", "http://us%20er:p%3Aw:%C3%A9@h/ui", h(("A", "1")), raw("{}", "json"),
            auth={"type": "noauth"}),
        req("userinfo, at signs", "GET", "http://u@x:p@w@h/uat", auth={"type": "apikey", "apikey": [
            {"key": "key", "value": "K"}, {"key": "value", "value": "v"}]}),
        req("userinfo, user only", "GET", "http://u@h/uu", auth={"type": "noauth"}),
        req("userinfo, own header", "GET", "http://u:p@h/uo", h(("Authorization", "mine")), auth={"type": "noauth"}),
        req("userinfo beside bearer", "GET", "http://u:p@h/ub"),
        req("userinfo by variable", "GET", "{{uibase}}/uv?a=@", auth={"type": "noauth"}),
        {"name": "raw folder", "protocolProfileBehavior": {"disableUrlEncoding": True}, "item": [
            req("raw by folder", "GET", B + "/rawf/%zz\\x?a=|"),
            req("encoded again", "GET", B + "/rawf/a\"b", protocolProfileBehavior={"disableUrlEncoding": False})]},
        req("path variable in text", "GET", B + "/r3/:id"),
        # Bodies.
        req("json", "POST", B + "/json", h(("A", "1")), raw('{"a": "{{v}}"}', "json"), auth=v21("bearer", token="T")),
        *[req(lang, "PUT", B + "/" + lang, body=raw("<x>é</x>\r\n", lang))
          for lang in ("xml", "javascript", "html", "text", "graphql")],
        req("own content type", "POST", B + "/ownct", h(("content-type", "app/x")), raw("x", "json")),
        req("disabled content type", "PATCH", B + "/disct", h(off=[("Content-Type", "app/x")]), raw("x")),
        req("empty raw", "POST", B + "/emptyraw", body=raw("")),
        req("urlencoded", "POST", B + "/ue", body={"mode": "urlencoded", "urlencoded": [
            {"key": "a b", "value": "x&y=z+é~*'()!{{v}}"}, {"key": "d", "value": "1", "disabled": True},
            {"key": "nv"}, {"key": "c", "value": "%41"}]}),
        req("urlencoded as text", "POST", B + "/uestr", body={"mode": "urlencoded", "urlencoded": ""}),
        # A form's own Content-Type gives way to one the body can be read with; others stay.
        req("urlencoded own type", "POST", B + "/uect", h(("A", "1"), ("content-type", "text/x"), ("B", "2")), {"mode": "urlencoded", "urlencoded": [{"key": "a", "value": "1"}]}),
        req("urlencoded own form type", "POST", B + "/uect2", h(("content-type", "application/x-www-form-urlencoded; "
                                                                 "charset=utf-8")), {"mode": "urlencoded", "urlencoded": [{"key": "a", "value": "1"}]}),
        req("formdata own type", "POST", B + "/fdct", h(("Content-Type", "multipart/form-data"), ("B", "2")),
            {"mode": "formdata", "formdata": [{"key": "a", "value": "1"}]}),
        req("graphql own type", "POST", B + "/gqlct", h(("content-type", "text/x")),
            {"mode": "graphql", "graphql": {"query": "{a}"}}),
        req("graphql", "POST", B + "/gql", body={"mode": "graphql", "graphql": {
            "query": "query { a(x: \"{{v}}\") }\n\t", "variables": "{\n \"x\": 1, \"y\": \"é\"\n}"}}),
        req("graphql without variables", "POST", B + "/gql2", body={"mode": "graphql", "graphql": {"query": "{ a }"}}),
        req("graphql bad variables", "POST", B + "/gql3", body={"mode": "graphql", "graphql": {"query": "{ a }",
                                                                                              "variables": "{bad"}}),
        req("formdata", "POST", B + "/fd", h(("A", "1")), {"mode": "formdata", "formdata": [
            {"key": "a", "value": "1 é {{v}}", "type": "text"}, {"key": "d", "value": "x", "disabled": True},
            {"key": "j", "value": "{}", "contentType": "application/json"},
            {"key": "lines", "value": "line1\r\nline2\n"}]}),
        req("formdata file", "POST", B + "/fdfile", body={"mode": "formdata", "formdata": [
            {"key": "f", "type": "file", "src": "/nonexistent"}]}),
        req("file body", "POST", B + "/file", body={"mode": "file", "file": {"src": "/nonexistent"}}),
        req("get body pruned", "GET", B + "/getbody", body=raw("x")),
        req("head body pruned", "HEAD", B + "/headbody", body=raw("x")),
        req("get body kept", "GET", B + "/getkeep", body=raw("x"), protocolProfileBehavior={"disableBodyPruning": True}),
        {"name": "keeping folder", "protocolProfileBehavior": {"disableBodyPruning": True}, "item": [
            req("get body kept by folder", "GET", B + "/getkeep2", body=raw("x"))]},
        req("delete body", "delete", B + "/delbody", body=raw("x")),
        req("disabled body", "POST", B + "/disbody", body={**raw("x"), "disabled": True}),
    ],
}

# What tolmek skips on purpose, each with its reason (newman sends these requests anyway).
SKIPS = {
    "undefined": "the variable {{undefined}} is not defined (-e, --env-var, -g and --global-var define variables; "
                 "--keep-variables prints it as written)",
    "disabled collection variable": "the variable {{off}} is not defined (-e, --env-var, -g and --global-var define "
                                    "variables; --keep-variables prints it as written)",
    "oauth2 no token": "the oauth2 auth has no stored access token (Postman gets one before sending)",
    "digest, stored nonce": "the digest auth has a stored nonce and realm, which newman answers from before any "
                            "challenge (curl answers only the server's)",
    "digest, SHA-256": "the digest auth's algorithm 'SHA-256' is not the MD5 curl answers with",
    "awsv4 unsorted": "the awsv4 auth's query 'b=1&a=2' is not sorted and escaped as AWS signs it, which curl 7 "
                      "does not do",
    "awsv4 escaped path": "the awsv4 auth's path '/aws%205' has escapes or dot segments, which curl 7 signs unlike AWS",
    "awsv4 in query": "the awsv4 auth signs the query (addAuthDataToQuery), which curl's --aws-sigv4 cannot",
    "formdata file": "the formdata field 'f': curl would read the file '/nonexistent' on this machine, which only "
                     "--working-dir allows (the directory files may come from)",
    "file body": "the file body: curl would read the file '/nonexistent' on this machine, which only --working-dir "
                 "allows (the directory files may come from)",
}


@pytest.fixture(scope="module")
def newman():
    require_newman()


def _environment(tmp_path, values, scope):
    path = tmp_path / f"{scope}.json"
    path.write_text(json.dumps({"id": scope, "name": scope, "_postman_variable_scope": scope, "values": [
        {"key": k, "value": v, "enabled": on} for k, v, on in values]}))
    return str(path)


def test_features_arrive_as_newman_sends_them(newman, tmp_path):
    globals_file = _environment(tmp_path, [("g", "glob", True), ("v", "glob", True), ("ge", "glob", True),
                                           ("e", "glob", True)], "globals")
    env = [("e", "env", True), ("ge", "env", True)]
    env_file = _environment(tmp_path, env + [("off", "on in newman", False)], "environment")
    # newman uses an environment value marked disabled; Postman's app and tolmek do not.
    newman_env = _environment(tmp_path / "..", env, "environment")
    base = ["-g", globals_file, "--global-var", "g=from option", "--env-var", "ge=env option"]
    got = postman_diff.run(FEATURES, tmp_path, base + ["-e", env_file], base + ["-e", newman_env])
    names = dict(got.cases)
    # Each skip line ends in: item[...] "NAME": REASON
    skipped = dict(line.split(' "', 1)[1].split('": ', 1) for line in got.skipped)
    assert skipped == SKIPS
    assert not got.differences, postman_diff.describe(got)
    # newman sent every request, and tolmek every one it does not skip.
    assert len(got.newman) == len(got.cases)
    assert sorted(names[c] for c in got.newman.keys() - got.tolmek.keys()) == sorted(SKIPS)


# Every dynamic variable tolmek draws, each on a line of its own, in the form newman writes it.
BYTE = "(?:[0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5])"
FORMS = {"$guid": postman_diff.GUID, "$randomUUID": postman_diff.GUID, "$timestamp": "1[0-9]{9}",
         "$isoTimestamp": r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z",
         "$randomInt": "[0-9]|[1-9][0-9]{1,2}|1000", "$randomBoolean": "true|false", "$randomAlphaNumeric": "[0-9a-z]",
         "$randomHexColor": "#(?:[0-7][0-9a-f]|80){3}", "$randomIP": rf"{BYTE}(?:\.{BYTE}){{3}}",
         "$randomIPV6": "[0-9a-f]{4}(?::[0-9a-f]{4}){7}", "$randomMACAddress": "[0-9a-f]{2}(?::[0-9a-f]{2}){5}",
         "$randomBankAccount": "[0-9]{8}", "$randomSemver": r"[0-9]\.[0-9]\.[0-9]"}
KEPT = {"info": {"name": "kept", "schema": SCHEMA}, "variable": [{"key": "base", "value": "http://127.0.0.1:1"}], "item": [
    req("drawn", "POST", B + "/drawn", body=raw("\n".join("{{%s}}" % n for n in FORMS))),
    req("path and query", "GET", B + "/k/{{x}}/a b?q={{x}}&{{x}}=1", h(("H", "v{{x}}"))),
    req("parts", "GET", {"host": ["h"], "path": ["kp", "{{x}}"], "query": [{"key": "q", "value": "{{x}} {{$nope}}"}]}),
    req("raw", "POST", B + "/kr", body=raw("a{{x}}b")),
    req("urlencoded", "POST", B + "/ku", body={"mode": "urlencoded", "urlencoded": [{"key": "k{{x}}", "value": "v{{x}}"}]}),
    req("header name", "GET", B + "/kh", h(("H{{x}}", "1")))]}


def test_kept_and_dynamic_variables_are_sent_as_newman_sends_them(newman, tmp_path):
    from tolmek_cli.variables import DRAWN

    got = postman_diff.run(KEPT, tmp_path, ["--keep-variables"], [])
    # Dynamic variables are drawn in newman's forms, the command's named in a note.
    assert FORMS.keys() == DRAWN.keys() and list(got.differences) == [0]
    for sent in (got.newman[0], got.tolmek[0]):
        lines = sent.body.decode().split("\n")
        assert len(lines) == len(FORMS) and all(re.fullmatch(f, v) for f, v in zip(FORMS.values(), lines)), lines
    assert re.findall(r"\{\{(\$\w+)\}\} as '([^']*)'", got.stderr) == list(zip(FORMS, lines))[:4]
    # newman refuses braces in a header name and sends nothing; tolmek names it.
    assert [line.split('": ', 1)[1] for line in got.skipped] == [
        "the header name 'H{{x}}' keeps a variable as written, which newman refuses (a header name is an HTTP token)"]
    assert len(got.newman) == len(got.tolmek) == len(got.cases) - 1
    assert got.newman[1].target.startswith(b"/k/%7B%7Bx%7D%7D/a%20b?q={{x}}")


FILES = {"info": {"name": "files", "schema": SCHEMA}, "variable": [{"key": "base", "value": "http://127.0.0.1:1"},
          {"key": "v", "value": "coll"}], "auth": v21("bearer", token="T-{{v}}"), "item": [
    # Files curl reads itself, found from the working directory as newman finds them.
    req("formdata files", "POST", B + "/fdfiles", h(("A", "1")), {
        "mode": "formdata", "formdata": [
            {"key": "t", "value": "@not a file;type=x", "type": "text"},
            {"key": "f", "type": "file", "src": "data.bin"},
            {"key": "g é", "type": "file", "src": ["odd;name,\\q.txt"], "contentType": "app/x"},
            {"key": "off", "type": "file", "src": "data.bin", "disabled": True}]}, auth={"type": "noauth"}),
    req("formdata file, own type", "POST", B + "/fdown", h(("Content-Type", "multipart/form-data"), ("A", "1")), {
        "mode": "formdata", "formdata": [{"key": "f", "type": "file", "src": "data.bin"}]}),
    req("formdata file, own type last", "POST", B + "/fdlast", h(("A", "1"), ("Content-Type", "multipart/form-data")), {
        "mode": "formdata", "formdata": [{"key": "f", "type": "file", "src": "data.bin"}]}, auth={"type": "noauth"}),
    req("formdata file, quoted name", "POST", B + "/fdq", body={"mode": "formdata", "formdata": [
        {"key": "f", "type": "file", "src": "odd;name,\"q\".txt"}]}),
    req("formdata file by variable", "PUT", B + "/fdvar", body={"mode": "formdata", "formdata": [
        {"key": "f", "type": "file", "src": "{{v}}.json"}]}),
    req("file body found", "POST", B + "/filebody", h(("B", "2")), {"mode": "file", "file": {"src": "data.bin"}}),
    req("file body typed", "PATCH", B + "/filetyped", h(("Content-Type", "app/y")),
        {"mode": "file", "file": {"src": "odd;name,\"q\".txt"}}),
    # A collection handed over must not make the command send the reader's own files.
    req("file outside", "POST", B + "/out", body={"mode": "file", "file": {"src": "../outside.txt"}}),
    req("link outside", "POST", B + "/link", body={"mode": "formdata", "formdata": [
        {"key": "f", "type": "file", "src": "link.txt"}]}),
    req("file missing", "POST", B + "/missing", body={"mode": "file", "file": {"src": "missing.bin"}}),
]}
FILE_SKIPS = {
    "formdata file, own type": "the request's own Content-Type comes before other headers, where curl cannot put its "
                               "form's type",
    "formdata file, quoted name": "the formdata field 'f': the file name 'odd;name,\"q\".txt' has a double quote",
    "file outside": "the file body: the file '{tmp}/outside.txt' is outside the working directory "
                    "(--insecure-file-read allows it)",
    "link outside": "the formdata field 'f': the file '{tmp}/files/link.txt' is outside the working directory "
                    "(--insecure-file-read allows it)",
    "file missing": "the file body: the file '{tmp}/files/missing.bin' does not exist",
}


def test_files_arrive_as_newman_sends_them(newman, tmp_path):
    # Files curl reads when the command runs, found from the working directory as newman finds them.
    files = tmp_path / "files"
    files.mkdir()
    (files / "data.bin").write_bytes(bytes(range(256)) + b"\r\n--x")
    (files / 'odd;name,"q".txt').write_text("é\n")
    (files / "odd;name,\\q.txt").write_text("x")
    (files / "coll.json").write_text("{}")
    (tmp_path / "outside.txt").write_text("private")
    (files / "link.txt").symlink_to(tmp_path / "outside.txt")
    got = postman_diff.run(FILES, tmp_path, ["--working-dir", str(files)])
    skipped = dict(line.split(' "', 1)[1].split('": ', 1) for line in got.skipped)
    assert skipped == {k: v.replace("{tmp}", str(tmp_path)) for k, v in FILE_SKIPS.items()}
    assert not got.differences, postman_diff.describe(got)
    assert len(got.tolmek) + len(FILE_SKIPS) == len(got.newman) == len(got.cases)


# Collections nobody here wrote (tests/data/postman/README.md names their sources), with the
# variables their authors leave to an environment.
WISE = ["-e", str(DATA / "wise.postman_environment.json"), "--env-var", "host={base}"]
CORPUS = {
    "wise-groups-api.postman_collection.json": WISE,
    "wise-activity-api.postman_collection.json": WISE,
    "wise-tw-api-excerpt.postman_collection.json": WISE,
    "newman-sample-collection.json": [],
    "newman-overrides-pmcollection.json": ["--env-var", "dummyVar=bar2"],
    "newman-report-test.json": [],
    "newman-protocol-version.json": ["--env-var", "url={base}/protocol"],
    "newman-nested-requests-report-test.json": [],
    "newman-postman-reporter.postman_collection.json": [],
    "newman-inherited-entities.postman_collection.json": ["-e", str(DATA / "newman-inherited-entities.postman_environment.json")],
    "newman-esc-formdata.postman_collection.json": ["--env-var", "msg=hello\\kworld", "--env-var", "msg1=hello"],
    "newman-protocol-profile-behavior.postman_collection.json": [],
    "newman-disabled-and-duplicates.postman_collection.json": [
        "-e", str(DATA / "newman-disabled-and-duplicates.postman_environment.json")],
    "newman-request-body-with-get.postman_collection.json": [],
    "newman-slashed-variable-names.postman_collection.json": [
        "-e", str(DATA / "newman-slashed-variable-names.postman_environment.json")],
}


def test_public_collections_arrive_as_newman_sends_them(newman, tmp_path):
    sent = converted = identical = 0
    report, unnamed = [], []
    for name, options in CORPUS.items():
        scratch = tmp_path / name
        scratch.mkdir()
        got = postman_diff.run(json.loads((DATA / name).read_text("utf-8")), scratch, options)
        both = got.newman.keys() & got.tolmek.keys()
        sent += len(got.newman)
        converted += len(both)
        identical += len(got.identical)
        report.append(f"{name}: newman sent {len(got.newman)}, tolmek converted {len(both)} of them, "
                      f"{len(got.identical)} identical")
        report.extend(f"  skipped: {line.split(': skipped ', 1)[1]}" for line in got.skipped)
        report.extend(postman_diff.describe(got).splitlines())
        # Every request newman sent that tolmek did not is named on standard error.
        if len(got.newman.keys() - got.tolmek.keys()) > len(got.skipped):
            unnamed.append(name)
    print("\n".join(report) + f"\ntotal: newman sent {sent}, tolmek converted {converted}, {identical} identical")
    assert not unnamed
    assert identical >= 0.98 * converted, "\n".join(report)


def test_a_v1_collection_is_named_with_the_way_to_v21():
    import subprocess
    import sys

    path = DATA / "newman-v1.postman_collection.json"
    done = subprocess.run([sys.executable, "-m", "tolmek_cli", "curl", str(path)], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == (f'tolmek: error: {path}:1:1: a Postman v1 collection ("requests", no "item"): tolmek reads '
                           "v2.0 and v2.1: import it into Postman and export it again as Collection v2.1 (the "
                           "collection's ... menu, Export)\n")


# One newman run (about a second) per example.
EXPORT_EXAMPLES = max(3, int(os.environ.get("TOLMEK_FAITHFUL_EXAMPLES", "120")) // 30)


@settings(max_examples=EXPORT_EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture],
          phases=[Phase.explicit, Phase.generate])  # a shrink step is a newman run: minutes
@given(st.lists(newman_requests(), min_size=1, max_size=12))
def test_any_export_arrives_as_newman_sends_it(newman, tmp_path_factory, reqs):
    # The module's own export read back: what newman sends for it, variables kept as written as
    # newman keeps an undefined one.
    doc = json.loads(TolmekCollection([Tolmek(r.url("http://127.0.0.1:1"), list(r.headers), getattr(M, r.method),
                                              r.body) for r in reqs]).export_collection())
    got = postman_diff.run(doc, tmp_path_factory.mktemp("export"), ["--keep-variables"], ())
    assert not got.differences, postman_diff.describe(got)
    # Only what no command line can carry (a NUL in a body) is skipped, each named.
    assert all("no curl command can carry this request" in line for line in got.skipped), got.stderr
    assert len(got.tolmek) + len(got.skipped) == len(got.newman) == len(reqs), got.stderr


def test_the_commands_collection_keeps_a_get_body_for_newman(newman, tmp_path):
    # newman drops the body of a GET unless the item says otherwise; the command's export says so
    # for each GET that has one, and only for those.
    import subprocess
    import sys

    lines = [{"url": "http://127.0.0.1:1/a", "method": "POST", "headers": [], "body": '{"x": ["]", "}"]}'},
             {"url": "http://127.0.0.1:1/b", "method": "GET", "headers": [], "body": "{[\"\\\""},
             {"url": "http://127.0.0.1:1/c", "method": "GET", "headers": []},
             {"url": "http://127.0.0.1:1/d?{x}", "method": "GET", "headers": [["K", "}]"]], "body": "d"}]
    done = subprocess.run([sys.executable, "-m", "tolmek_cli", "postman"], capture_output=True, check=True,
                          input="\n".join(json.dumps(line) for line in lines).encode())
    doc = json.loads(done.stdout)
    kept = [item["name"] for item in doc["item"] if "protocolProfileBehavior" in item]
    assert kept == ["http://127.0.0.1:1/b", "http://127.0.0.1:1/d?{x}"]
    assert all(item["protocolProfileBehavior"] == {"disableBodyPruning": True} for item in doc["item"]
               if "protocolProfileBehavior" in item)
    got = postman_diff.run(doc, tmp_path)
    assert not got.differences and not got.skipped, postman_diff.describe(got)
    assert [got.newman[i].body for i in range(4)] == [b'{"x": ["]", "}"]}', b'{["\\"', b"", b"d"]
