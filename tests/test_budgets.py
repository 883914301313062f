"""Bombs of every kind where input is expanded, each in a child process: its growth bounded, its skip or message word for word."""

import collections
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import SANITIZED
from test_cli_hostile import skips
from tolmek_http.content import SHOWN_LIMIT

pytestmark = pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime's own memory hides the process's")

HERE = pathlib.Path(__file__).parent
BOMBS = json.loads((HERE / "data" / "budgets.json").read_text())
# What the rows' texts hold many of: an 8 KiB scalar, aliases of it and of interactions, long texts, CJK.
SPELLED = {"$S": "s" * 8192, "$A": "*s, " * 20000 + "*s", "$B": "*s, " * 100 + "*s", "$I": "- *i\n" * 20000,
           "$L": "x" * 140000, "$W": " " * 50000, "$C": "".join(map(chr, range(0x4e00, 0x4e00 + 5000)))}
# The peak resident memory (KiB) the child reaches past what it had with the command imported.
GROWN = "print(__import__('resource').getrusage(__import__('resource').RUSAGE_SELF).ru_maxrss - before)"
CLI = "import resource, sys; from tolmek_cli import main, variables; variables.RUN_GROWTH = int(sys.argv[1]); " \
      "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss; code = main(sys.argv[2:]); " + GROWN


@pytest.mark.parametrize("bomb", BOMBS, ids=[b["kind"] for b in BOMBS])
def test_expansion_is_a_named_skip_in_bounded_memory(bomb, tmp_path):
    """Each row makes 160 MiB or an argument no exec takes (merge keys: 10**10 entries in an older
    PyYAML) without the budgets; with them, named skips, and little growth past the run's budget."""
    path, growth = tmp_path / "bomb", bomb.get("run_growth", 1 << 30)
    path.write_text(re.sub(r"\$[A-Z]", lambda m: SPELLED[m.group()], bomb["input"]))
    done = subprocess.run([sys.executable, "-c", CLI, str(growth), "curl", str(path)], capture_output=True, text=True)
    *commands, grown = done.stdout.splitlines() or [""]
    reasons, (lo, hi) = collections.Counter(skips(done.stderr)), bomb.get("converted", [0, 0])
    assert done.returncode == 0 and lo <= len(commands) <= hi, done.stderr[-2000:]
    assert reasons == {r: n or reasons[r] for r, n in bomb["skipped"].items()}
    assert int(grown) < (16 << 10) + (growth >> 9) * ("run_growth" in bomb)


RECORD = """
import resource, sys, urllib3, zlib
import tolmek_http
from recorder import Recorder

coding, zeros = sys.argv[2], bytes(16 << 20)
packer = __import__("brotli").Compressor(quality=1) if coding == "br" \\
    else zlib.compressobj(9, zlib.DEFLATED, 31 if coding == "gzip" else 15)
step, end = (packer.process, packer.finish) if coding == "br" else (packer.compress, packer.flush)
body = b"".join(step(zeros) for _ in range(32)) + end()
head = b"HTTP/1.1 200 OK\\r\\nContent-Encoding: %s\\r\\nContent-Length: %d\\r\\n\\r\\n" % (coding.encode(), len(body))
with Recorder(answer=lambda arrival: head + body) as rec, tolmek_http.record(sys.argv[1]):
    pool = urllib3.PoolManager()
    pool.request("GET", rec.base + "/bomb", decode_content=False)
    pool.request("GET", rec.base + "/long", headers={"X-Big": "b" * 140000}, decode_content=False)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(len(body))
""" + GROWN


@pytest.mark.parametrize("coding", ["gzip", "deflate", "br"])
def test_recorded_compression_bomb_is_decoded_to_the_shown_limit_only(coding, tmp_path):
    """512 MiB compressed, left so by the client: named, the writer growing the process by a few MiB
    past the limit (and brotli's window, 4 MiB here); a header no exec takes leaves its request out."""
    if coding == "br":
        pytest.importorskip("brotli")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")])))
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", RECORD, tmp_path, coding], capture_output=True,
                          env=env)
    assert done.returncode == 0, done.stderr
    size, grown = map(int, done.stdout.split())
    assert grown < (SHOWN_LIMIT >> 10) + ((12 if coding == "br" else 4) << 10)
    example = json.loads((tmp_path / "tolmek.postman_collection.json").read_text())["item"][0]["response"][0]
    assert example["name"] == f"200 OK ({coding}-encoded body of {size} bytes decoding to more than {SHOWN_LIMIT} " \
                              "bytes (no Content-Type), too large to show)"
    assert "# request 2 left out: no curl command can carry this request: the header 'X-Big' is an argument of " \
           "140007 bytes, more than the 131071 the kernel takes in one\n" in (tmp_path / "requests.sh").read_text()
