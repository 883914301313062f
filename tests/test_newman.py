"""Exported collections run in Postman's own runner (newman) against a loopback server."""

import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from conftest import M, newman_run, require_newman
from tolmek import Tolmek, TolmekCollection

BODY = "line 1\n\"double\" 'single'\r\nnon-ASCII é ✓ 😀 {{var}} $HOME `x` \\"
JSON = '{"k":"\\n\\u00fc ü"}'

# (method, target, headers, body[, what arrives instead: {"target": ..., "body": ...}]).
# CONNECT is left out: newman silently ends the whole run, exit code 0, after a CONNECT request.
CASES = [
    ("POST", "/a//b/c?x=1&y=%20z&q=a/b&&=3", [("X-Q", "\"hi\", it's"), ("X-B", "\\ $HOME `x` !y")], BODY),
    ("GET", "//lead", [], None),
    ("PUT", "/trail/?a=1&a=2&b", [("Content-Type", "application/json")], JSON),
    ("PUT", "/empty", [], ""),
    ("DELETE", "/d", [("A", "1"), ("A", "2")], "x\x00\x1f\x7f\t"),
    ("PATCH", "/users/:id/enc%2Fx?k=%26v", [], "p"),
    ("OPTIONS", "/o?x=a/b?c;d", [("X-O", "")], "o"),
    ("HEAD", "/h", [("X-H", "1")], None),
    ("TRACE", "/t", [], None),
    # newman percent-encodes what a request target cannot carry and never sends the fragment.
    ("GET", "/it's/\"q\"/é ?q='x'&r=\"<y>\"#f", [], None,
     {"target": "/it's/%22q%22/%C3%A9%20?q=%27x%27&r=%22%3Cy%3E%22"}),
    # newman drops the body of GET and HEAD requests (Postman's body pruning).
    ("GET", "/get-with-body", [], "dropped", {"body": ""}),
]


@pytest.fixture(scope="module")
def received(tmp_path_factory):
    require_newman()
    got = []

    class Recorder(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def record(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            # The request line keeps the target as sent (self.path folds a leading "//").
            got.append((self.command, self.requestline.split(" ")[1], list(self.headers.raw_items()), body))
            self.send_response(200)
            self.send_header("Content-Length", "2")
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(b"ok")

        do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_HEAD = do_TRACE = record

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    c = TolmekCollection([Tolmek(base + t, h, getattr(M, m), b) for m, t, h, b, *_ in CASES])
    path = tmp_path_factory.mktemp("newman") / "collection.json"
    path.write_text(c.export_collection(), encoding="utf-8")
    try:
        run = newman_run(path, 10000)
    finally:
        server.shutdown()
        server.server_close()
    assert run.returncode == 0, run.stdout + run.stderr
    assert len(got) == len(CASES), run.stdout
    return got


@pytest.mark.parametrize("i", range(len(CASES)), ids=[f"{c[0]} {c[1]}" for c in CASES])
def test_request_arrives_intact(received, i):
    method, target, headers, body, *instead = CASES[i]
    expected = {"target": target, "body": body or ""} | (instead[0] if instead else {})
    got_method, got_target, got_headers, got_body = received[i]
    assert (got_method, got_target) == (method, expected["target"])
    assert got_headers[: len(headers)] == headers  # ours first, in order; newman adds its own after them
    assert got_body == expected["body"].encode("utf-8")
