"""The curl command line: exact text, and the words a POSIX shell (shlex, bash) and curl itself see."""

import http.server
import json
import os
import re
import shlex
import shutil
import subprocess
import threading

import pytest
from hypothesis import given, settings, strategies as st

import tolmek
from conftest import M
from faithful import METHODS, P, Req, refusal


def command(url, headers=(), method="GET", body=None):
    return tolmek.Tolmek(url, list(headers), getattr(M, method), body).get_request_command()


def argv(url, headers, method, body):
    """The argument list the command must put in front of curl (for a request it can carry)."""
    path = url.split("?")[0].split("#")[0]
    return (["curl", "-X", method] + (["-I"] if method == "HEAD" and body is None else [])
            + (["-g"] if any(c in url for c in "[]{}") else [])
            + (["--path-as-is"] if {".", ".."} & {re.sub("%2[eE]", ".", s) for s in path.split("/")} else [])
            + (["--url"] if url.startswith("-") else []) + [url.replace(" ", "%20")]
            + [word for n, v in headers for word in ("-H", f"{n};" if v.strip(" \t") == "" else f"{n}: {v}")]
            + ([("--data-raw" if body.startswith("@") else "-d"), body] if body is not None else []))


def refused(url, headers, method, body):
    """True when no command line can carry the request (faithful's rule, which reads the URL as Req's path)."""
    return refusal(Req(url, tuple(headers), method, body)) is not None


Q = "'\\''"  # a quote inside single quotes
SHELL_ENV = {"LC_ALL": "C.UTF-8", "PATH": os.environ.get("PATH", os.defpath)}


@pytest.mark.parametrize("args, expected", [
    (("/api/items?id=7", [("Content-Type", "application/x-www-form-urlencoded"), ("X-Mode", "test")],
      "POST", "name=box&count=2"),
     "curl -X POST '/api/items?id=7' -H \"Content-Type: application/x-www-form-urlencoded\""
     " -H \"X-Mode: test\" -d 'name=box&count=2'"),
    (("/api/items?id=7", [], "POST"), "curl -X POST '/api/items?id=7'"),
    (("/status",), "curl -X GET /status"),
    (("/s", [], "PUT", ""), "curl -X PUT /s -d ''"),
    (("",), "curl -X GET ''"),
    (("", [("A", "1")]), "curl -X GET '' -H \"A: 1\""),
    (("/", [("A", "2"), ("B", "x"), ("A", "1")]), 'curl -X GET / -H "A: 2" -H "B: x" -H "A: 1"'),
    (("/", [], "POST", "a\nb\r\n"), "curl -X POST / -d 'a\nb'\"$(printf '\\015')\"'\n'"),
    (("/", [], "POST", "it's"), f"curl -X POST / -d 'it{Q}s'"),
    (("/", [], "POST", "'$x' \"`!\\"), f"curl -X POST / -d '{Q}$x{Q} \"`!\\'"),
    # Double quotes are kept as long as nothing in them is special to the shell there.
    (("/", [("X", "it's & ; ~ <é>")]), "curl -X GET / -H \"X: it's & ; ~ <é>\""),
    (("/", [("X$", "it's")]), f"curl -X GET / -H 'X$: it{Q}s'"),
    (("/", [("A", "1"), ("B", "$"), ("C", "3")]), "curl -X GET / -H \"A: 1\" -H 'B: $' -H \"C: 3\""),
    # Empty and blank values: curl's own form for an empty header, "Name;".
    (("/", [("X-Empty", ""), ("Accept", " \t "), ("A$", "")]), "curl -X GET / -H \"X-Empty;\" -H \"Accept;\" -H 'A$;'"),
    (("/", [("X", " v ")]), 'curl -X GET / -H "X:  v "'),
    # URL words: bare only from a small set, never starting with "=" (zsh expands "=cmd").
    (("azAZ09_@%+=:,./-",), "curl -X GET azAZ09_@%+=:,./-"),
    (("/a?b",), "curl -X GET '/a?b'"),
    (("=ls",), "curl -X GET '=ls'"),
    (("/a=b",), "curl -X GET /a=b"),
    (("/it's",), f"curl -X GET '/it{Q}s'"),
    (("'",), f"curl -X GET '{Q}'"),
    (("http://h/a b?c d",), "curl -X GET 'http://h/a%20b?c%20d'"),
    # curl's URL globbing and dot-segment removal are switched off where they would apply.
    (("http://h/{a,b}",), "curl -X GET -g 'http://h/{a,b}'"),
    (("http://h/item[1-3]",), "curl -X GET -g 'http://h/item[1-3]'"),
    (("http://h/a/../b/./c",), "curl -X GET --path-as-is http://h/a/../b/./c"),
    (("http://h/..",), "curl -X GET --path-as-is http://h/.."),
    (("http://h/a..b/.c/?x=/../#/./",), "curl -X GET 'http://h/a..b/.c/?x=/../#/./'"),
    (("-[x]/./y",), "curl -X GET -g --path-as-is --url '-[x]/./y'"),
    # curl 8 decodes %2e and %2E before it removes dot segments.
    (("http://h/%2e",), "curl -X GET --path-as-is http://h/%2e"),
    (("http://h/a/.%2E/b/%2e%2E?x",), "curl -X GET --path-as-is 'http://h/a/.%2E/b/%2e%2E?x'"),
    (("%2e/x",), "curl -X GET --path-as-is %2e/x"),
    (("http://h/%2e%2e%2e/%2f/%2ex/.%2/%2e%/?/%2e",), "curl -X GET 'http://h/%2e%2e%2e/%2f/%2ex/.%2/%2e%/?/%2e'"),
    # HEAD asks for the headers only, unless it carries data (curl refuses -I with data).
    (("/h", [], "HEAD"), "curl -X HEAD -I /h"),
    (("/h/[1]/..", [("A", "")], "HEAD"), "curl -X HEAD -I -g --path-as-is '/h/[1]/..' -H \"A;\""),
    (("/h", [], "HEAD", ""), "curl -X HEAD /h -d ''"),
    # Words curl would take as instructions: an option-like URL, a body naming a file to send.
    (("-o/tmp/x",), "curl -X GET --url -o/tmp/x"),
    (("-K x",), "curl -X GET --url '-K%20x'"),
    (("/", [], "POST", "@/etc/passwd"), "curl -X POST / --data-raw '@/etc/passwd'"),
    (("/", [], "POST", "a@b"), "curl -X POST / -d 'a@b'"),
    # Long commands take another path (measured, then written straight into the str).
    (("/é", [("X", "✓" * 3000)], "POST", "it's " * 2000),
     f"curl -X POST '/é' -H \"X: {'✓' * 3000}\" -d '{f'it{Q}s ' * 2000}'"),
])
def test_exact_text(args, expected):
    assert command(*args) == expected


@pytest.mark.parametrize("args, message", [
    (("/a\0",), P + "the URL holds a NUL character, which no command-line argument can carry"),
    (("/a\tb",), P + "the URL holds a control character, which curl refuses in a URL"),
    (("/a\x7f",), P + "the URL holds a control character, which curl refuses in a URL"),
    (("/", [("A", "1"), ("X-A", "1\r\nX-Inj: 2")]),
     P + "header 2 ('X-A') holds a line break (CR or LF) in its value, which would start another header line"),
    (("/", [("X\nY", "1")]),
     P + "header 1 ('X\\nY') holds a line break (CR or LF) in its name, which would start another header line"),
    (("/", [("X", "a\0")]), P + "header 1 ('X') holds a NUL character in its value, which no command-line argument can carry"),
    (("/", [("X\0", "a")]), P + "header 1 ('X\\x00') holds a NUL character in its name, which no command-line argument can carry"),
    (("/", [("", "v")]), P + "header 1 ('') has an empty name, which curl drops"),
    (("/", [("", "")]), P + "header 1 ('') has an empty name, which curl drops"),
    (("/", [("a:b", "v")]), P + "header 1 ('a:b') has ':' in its name, where curl would split it"),
    (("/", [("@/etc/passwd", "v")]),
     P + "header 1 ('@/etc/passwd') has a name that starts with '@', which makes curl read headers from a file"),
    (("/", [("A", "1"), (" X", "")]),
     P + "header 2 (' X') has a name that starts with a space or a tab, which HTTP/1.1 reads as the continuation"
     " of the line before"),
    (("/", [("\tX:", "1")]), P + "header 1 ('\\tX:') has ':' in its name, where curl would split it"),
    (("/", [("\tX", "1")]),
     P + "header 1 ('\\tX') has a name that starts with a space or a tab, which HTTP/1.1 reads as the continuation"
     " of the line before"),
    (("/", [("a;b", " ")]),
     P + "header 1 ('a;b') has an empty value and ';' in its name, which curl cannot send as an empty header"),
    (("/", [("X ", "v"), ("X\t", " ")]),
     P + "header 2 ('X\\t') has an empty value and a name that ends with a space or a tab, which curl cannot send"
     " as an empty header"),
    (("/", [("Host", "a"), ("X", ""), ("hOST", "b")]), P + "header 3 ('hOST') is a second Host header, which curl drops"),
    (("/", [], "POST", "a\0b"), P + "the body holds a NUL character, which no command-line argument can carry"),
    # The first problem in command order is the one named.
    (("/\0", [("", "")], "POST", "\0"), P + "the URL holds a NUL character, which no command-line argument can carry"),
])
def test_refused_requests_name_the_piece_and_reason(args, message):
    t = tolmek.Tolmek(args[0], list(args[1]) if len(args) > 1 else [], getattr(M, args[2] if len(args) > 2 else "GET"),
                      args[3] if len(args) > 3 else None)
    with pytest.raises(ValueError) as info:
        t.get_request_command()
    assert str(info.value) == message
    # Construction and export carry every text exactly; only the command is refused.
    [item] = json.loads(tolmek.TolmekCollection([t]).export_collection())["item"]
    assert item["name"] == args[0]
    assert [(h["key"], h["value"]) for h in item["request"]["header"]] == (list(args[1]) if len(args) > 1 else [])


def test_names_allowed_where_curl_takes_them_as_written():
    assert command("/", [("a;b", "v"), ("X Y", "1"), ("X ", "v")]) == 'curl -X GET / -H "a;b: v" -H "X Y: 1" -H "X : v"'


@pytest.mark.parametrize("ch", '"\\$`!')
def test_header_with_shell_special_is_single_quoted(ch):
    assert command("/", [("X", f"a{ch}b")]) == f"curl -X GET / -H 'X: a{ch}b'"


@pytest.mark.parametrize("ch", "&~;é٣*?#()<>|^\"$`!\\")  # ٣: a digit, but not an ASCII one
def test_url_with_any_other_character_is_single_quoted(ch):
    assert command(f"/a{ch}b") == f"curl -X GET '/a{ch}b'"


@pytest.mark.parametrize("method", METHODS)
def test_method_name_follows_dash_x(method):
    assert command("/x", method=method) == f"curl -X {method}{' -I' if method == 'HEAD' else ''} /x"


def test_each_call_gives_a_new_equal_string():
    t = tolmek.Tolmek("/x", [("A", "b")], M.PUT, "b")
    first, second = t.get_request_command(), t.get_request_command()
    assert first == second and first is not second


TEXT = st.text(alphabet=st.characters(blacklist_categories=("Cs",)))
REQUESTS = st.tuples(TEXT, st.lists(st.tuples(TEXT, TEXT), max_size=4), st.sampled_from(METHODS), st.none() | TEXT)


@settings(max_examples=300, deadline=None)
@given(REQUESTS)
def test_shlex_recovers_every_argument(req):
    if refused(*req):
        with pytest.raises(ValueError):
            command(*req)
    else:
        assert [spliced_in(word) for word in shlex.split(command(*req))] == argv(*req)


def spliced_in(word):
    """The word as the shell makes it: each "$(printf '\\ooo...')" (left in the word by shlex)
    replaced by the bytes it prints."""
    return re.sub(rb"\$\(printf '((?:\\[0-7]{3})+)'\)",
                  lambda m: bytes(int(m[1][i + 1:i + 4], 8) for i in range(0, len(m[1]), 4)),
                  word.encode()).decode()


@pytest.mark.skipif(shutil.which("bash") is None, reason="bash not installed")
@settings(max_examples=60, deadline=None)
@given(st.lists(REQUESTS, min_size=1, max_size=8))
def test_bash_passes_every_argument(reqs):
    reqs = [r for r in reqs if not refused(*r)]
    # A shell function stands in for curl and prints its argument count and arguments, NUL-terminated.
    script = "curl() { printf '%s\\0' \"$#\" \"$@\"; }\n" + "\n".join(command(*r) for r in reqs) + "\n"
    out = subprocess.run(["bash", "-c", script.encode()], capture_output=True, check=True, timeout=20, env=SHELL_ENV)
    fields, seen = [f.decode() for f in out.stdout.split(b"\0")[:-1]], []
    while fields:
        n = int(fields[0])
        seen.append(["curl"] + fields[1:n + 1])
        fields = fields[n + 1:]
    assert seen == [argv(*r) for r in reqs]


class Recorder(http.server.BaseHTTPRequestHandler):
    def record(self):
        length = self.headers.get("Content-Length")
        body = self.rfile.read(int(length)) if length is not None else None
        self.server.seen.append((self.command, self.path, self.headers.items(), body))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


for _name in METHODS:
    setattr(Recorder, "do_" + _name, Recorder.record)

# Header values are sent as UTF-8 bytes; http.server hands them back decoded as latin-1.
HEADERS = [("X-Plain", "box & co; ~tilde <é>"), ("X-Apos", "it's"), ("X-Quote", 'say "hi"'),
           ("X-Shell", "$HOME `id` !! \\n 'x'"), ("X-It's$`!", "ünïcode ✓ 日本")]
BODIES = [None, "", "it's \"$HOME\" `id` !! & ; \\ ~ é ✓\nsecond line\r\nthird\n", "@/etc/hostname"]


# A fixed request with every shell-special character through bash and the real curl, for each
# method; test_faithful.py drives generated requests through every shell.
@pytest.mark.skipif(shutil.which("curl") is None or shutil.which("bash") is None, reason="curl or bash missing")
@pytest.mark.parametrize("body", BODIES, ids=["no-body", "empty-body", "body", "file-like-body"])
@pytest.mark.parametrize("method", METHODS)
def test_real_curl_sends_the_request_intact(method, body):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    server.seen = []
    thread = threading.Thread(target=server.serve_forever, args=(0.01,), daemon=True)
    thread.start()
    try:
        path = "/it's/$HOME/`id`/!!?a=1&b='2'$x;c=~*()"
        cmd = command(f"http://127.0.0.1:{server.server_address[1]}{path}", HEADERS, method, body)
        subprocess.run(["bash", "-c", cmd.encode()], capture_output=True, check=True, timeout=20, env=SHELL_ENV)
    finally:
        server.shutdown()
        server.server_close()
        thread.join(5)
    [(got_method, got_path, got_headers, got_body)] = server.seen
    assert (got_method, got_path) == (method, path)
    sent = [(n, v.encode("latin-1")) for n, v in got_headers if n in dict(HEADERS)]
    assert sent == [(n, v.encode()) for n, v in HEADERS]
    assert got_body == (None if body is None else body.encode())
