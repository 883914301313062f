"""A HAR written by a real proxy: curl sends requests through mitmdump to a loopback recorder,
`tolmek curl` turns mitmdump's HAR into a script, and sh runs the script against the recorder;
the same requests must arrive."""

import pathlib
import re
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from conftest import loopback_env, missing

BIN = pathlib.Path(sys.executable).parent
MITMDUMP, TOLMEK = BIN / "mitmdump", BIN / "tolmek"
CURL_BODY = "{\"note\": \"it's \\\"q\\\" $HOME `id` !x\",\n \"text\": \"é ✓ 😀\"}\nlast line\r\n"

# (path, curl arguments[, None]). None marks the request that mitmdump records without its body (it
# keeps bodies of POST, PUT and PATCH only): it is skipped. curl sends a header with an empty value
# only when it is written `-H 'Name;'`, which the replayed script must do too.
CASES = [
    ("/search?q=a%20b&x=1&x=2&e=%C3%A9", ["-H", "X-Apos: it's", "-H", "X-Shell: $HOME `id` !x \"q\" \\",
                                          "-H", "A: 1", "-H", "A: 2", "-H", "X-U: é ✓", "-H", "X-Empty;"]),
    ("/glob/{a,b}/[1-2]/../x", ["-g", "--path-as-is", "-H", "Accept;"]),
    ("/items", ["-X", "POST", "-H", "Content-Type: application/json", "--data-binary", CURL_BODY]),
    ("/empty", ["-X", "PUT", "-d", ""]),
    ("/file-like", ["-X", "PATCH", "--data-raw", "@/etc/hostname"]),
    ("/form", ["--data-urlencode", "name=a b&c='d'", "--data-urlencode", "x=é"]),
    ("/no-body", ["-X", "POST"]),
    ("/items/7", ["-X", "DELETE"]),
    ("/o", ["-X", "OPTIONS", "-H", "Origin: http://example.com"]),
    ("/t", ["-X", "TRACE"]),
    ("/h", ["-I"]),
    ("/delete-with-body", ["-X", "DELETE", "-d", "gone"], None),
]


class Recorder(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def record(self):
        length = self.headers.get("Content-Length")
        body = self.rfile.read(int(length)) if length is not None else None
        # The request line keeps the target as sent; header values as bytes (sent as UTF-8).
        self.server.got.append((self.command, self.requestline.split(" ")[1],
                                [(k, v.encode("latin-1")) for k, v in self.headers.raw_items()], body))
        self.send_response(200)
        self.send_header("Content-Length", "0")  # nothing to wait for, HEAD or not
        self.end_headers()

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_HEAD = do_TRACE = record

    def log_message(self, *args):
        pass


def start_mitmdump(har, confdir, env):
    proc = subprocess.Popen([str(MITMDUMP), "--listen-host", "127.0.0.1", "--listen-port", "0",
                             "--set", f"hardump={har}", "--set", f"confdir={confdir}"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            # Its output is a pipe here: unbuffered, or the line would wait for exit.
                            env={**env, "PYTHONUNBUFFERED": "1"})
    seen = []
    port = []
    ready = threading.Event()

    def watch():  # it says where it listens once it is ready; the pipe is drained after that
        for line in proc.stdout:
            if not ready.is_set():
                seen.append(line)
                m = re.search(r"proxy listening at 127\.0\.0\.1:(\d+)", line)
                if m:
                    port.append(int(m.group(1)))
                    ready.set()
        ready.set()

    threading.Thread(target=watch, daemon=True).start()
    # A mitmdump that never says so must not hang the suite: the wait has its own deadline.
    if ready.wait(60) and port:
        return proc, port[0]
    proc.kill()
    pytest.fail("mitmdump did not start within 60 s:\n" + "".join(seen))


def without_content_length(headers):
    """Headers in order without Content-Length, which curl computes and places itself; and its value."""
    return [h for h in headers if h[0].lower() != "content-length"], [v for k, v in headers if k.lower() == "content-length"]


def test_mitmdump_har_replays_the_same_requests(tmp_path):
    if not MITMDUMP.exists():
        missing(f"mitmdump ({MITMDUMP}) is required: pip install -r requirements-test.txt")
    if not TOLMEK.exists():
        missing(f"the tolmek command ({TOLMEK}) is required: pip install .")
    env = loopback_env()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    server.got = []
    threading.Thread(target=server.serve_forever, args=(0.01,), daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    har = tmp_path / "capture.har"
    proxy, port = start_mitmdump(har, tmp_path / "mitmproxy", env)
    try:
        try:
            for path, args, *_ in CASES:
                subprocess.run(["curl", "-sS", "-o", "/dev/null", "-x", f"http://127.0.0.1:{port}", base + path, *args],
                               check=True, timeout=30, env=env)
        finally:
            proxy.terminate()  # mitmdump writes the HAR as it shuts down
            proxy.wait(30)
        through_proxy, server.got = server.got, []

        converted = subprocess.run([str(TOLMEK), "curl", "--script", str(har)], capture_output=True, timeout=60)
        assert converted.returncode == 0, converted.stderr.decode()
        skipped = [i for i, case in enumerate(CASES) if len(case) > 2]
        assert [re.sub(r":\d+:\d+:", ":L:C:", line) for line in converted.stderr.decode().splitlines()] == [
            f"tolmek: {har}:L:C: skipped log.entries[{i}]: the body was not recorded (Content-Length: 4)"
            for i in skipped] + [f"tolmek: {len(skipped)} of {len(CASES)} requests skipped"]

        replay = tmp_path / "replay.sh"
        replay.write_bytes(converted.stdout)
        subprocess.run(["sh", str(replay)], check=True, capture_output=True, timeout=60, env=env)
        replayed = server.got
    finally:
        server.shutdown()
        server.server_close()

    expected = [got for i, got in enumerate(through_proxy) if i not in skipped]
    assert len(through_proxy) == len(CASES) and len(replayed) == len(expected)
    for (method, target, headers, body), (r_method, r_target, r_headers, r_body) in zip(expected, replayed):
        assert (r_method, r_target, r_body) == (method, target, body)
        assert without_content_length(r_headers) == without_content_length(headers)
