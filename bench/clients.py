"""tolmek_http's speed: rendering the shared workload's requests as requests.PreparedRequest objects
beside curlify's `to_curl` for the same objects, and what capture adds to a client's own cost of
sending a request to a loopback server: CPU time, medians of repeats taken in turns in one run, and
instructions counted by callgrind (which the machine's load cannot disturb) when valgrind and
bench/mark.c's _mark module (built by scripts/bench.sh) are there."""

import argparse
import asyncio
import gc
import glob
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")
sys.path.insert(0, TESTS)

import workload  # noqa: E402

import tolmek_http  # noqa: E402
from tolmek_http import wire  # noqa: E402
from tolmek_http.callbacks import Callbacks  # noqa: E402


def prepared(n):
    import requests

    out = []
    for url, headers, _, name, body in workload.requests(n):
        out.append(requests.Request(name, url, headers=dict(headers),
                                    data=None if body is None else body.encode()).prepare())
    return out


def seconds(render, objs):
    t = time.process_time()
    for o in objs:
        render(o)
    return time.process_time() - t


def rendering(n, repeats):
    import curlify

    objs = prepared(n)
    assert all(tolmek_http.to_curl(o) for o in objs[:9])
    ours, theirs = [], []
    for _ in range(repeats):
        # The two take turns every 1,000 requests, so that the machine's load (a shared machine)
        # reaches both alike; each repeat renders all n with each.
        a = b = 0.0
        for start in range(0, n, 1000):
            part = objs[start:start + 1000]
            a += seconds(tolmek_http.to_curl, part)
            b += seconds(curlify.to_curl, part)
        ours.append(a / n)
        theirs.append(b / n)
    a, b = statistics.median(ours), statistics.median(theirs)
    print(f"| rendering {n:,} prepared requests (CPU time): tolmek_http.to_curl vs curlify.to_curl | "
          f"{a * 1e6:.2f} us vs {b * 1e6:.2f} us | {b / a:.1f}x | >= 3x |")


# --- capture overhead ------------------------------------------------------------------------

def _requests_sender(base, captured, sink):
    import requests

    s = requests.Session()
    if captured:
        _capture(s, sink, captured == "responses")
    return lambda i: s.post(f"{base}/r/{i}", data=b'{"n": 1}', headers={"Content-Type": "application/json"}).content


def _httpx_sender(base, captured, sink):
    import httpx

    c = httpx.Client(trust_env=False)
    if captured:
        _capture(c, sink, captured == "responses")
    return lambda i: c.post(f"{base}/r/{i}", content=b'{"n": 1}', headers={"Content-Type": "application/json"}).content


def _urllib3_sender(base, captured, sink):
    import urllib3

    pm = urllib3.PoolManager()
    if captured:
        _capture(pm, sink, captured == "responses")
    return lambda i: pm.request("POST", f"{base}/r/{i}", body=b'{"n": 1}', headers={"Content-Type": "application/json"}).data


def _capture(client, sink, responses):
    """The client captured as tolmek_http.capture does; with `responses`, its responses read too."""
    if not responses:
        return tolmek_http.capture(client, sink)
    from importlib import import_module

    module = import_module("tolmek_http." + tolmek_http._CLIENTS[type(client).__module__.partition(".")[0]])
    module.capture(client, sink, responses=True)
    return client


_SYNC = {"requests": _requests_sender, "httpx": _httpx_sender, "urllib3": _urllib3_sender}
CLIENTS = (*_SYNC, "aiohttp")


# The client's own cost is the CPU time of this process: the server runs in another one, so that
# neither its work nor the machine's other load (a shared machine) counts.
clock = time.process_time
BLOCK = 50  # the arms take turns every this many requests, so that a change in load reaches each alike


REPORTED = [0]


def keep_nothing(wire):
    REPORTED[0] += 1


def _arms(make, base):
    """Senders without capture, with capture (a callback that keeps nothing: what a program keeps is
    its own cost), and with the command made in the callback; each with its connection open."""
    arms = [make(base, False, None), make(base, True, keep_nothing), make(base, True, lambda w: w.curl)]
    for send in arms:
        send(-1)
    return arms


def alternate(arms, n, repeats):
    """Per arm: the median CPU time per request over all blocks, and the median over the blocks of
    its time / the first arm's time in the same turn (what is robust to the load changing)."""
    blocks = [[] for _ in arms]
    for _ in range(repeats):
        for start in range(0, n, BLOCK):
            for k, send in enumerate(arms):
                t = clock()
                for i in range(start, start + BLOCK):
                    send(i)
                blocks[k].append((clock() - t) / BLOCK)
    return _summary(blocks)


def _summary(blocks):
    return [(statistics.median(b), statistics.median(x / p for x, p in zip(b, blocks[0]))) for b in blocks]


def _aiohttp_sessions(base):
    """Three sessions (not captured, captured, captured with the command made) and a sender for each."""
    import aiohttp

    sessions = [aiohttp.ClientSession() for _ in range(3)]
    tolmek_http.capture(sessions[1], keep_nothing)
    tolmek_http.capture(sessions[2], lambda w: w.curl)

    def sender(s):
        async def send(i):
            async with s.post(f"{base}/r/{i}", data=b'{"n": 1}', headers={"Content-Type": "application/json"}) as r:
                await r.read()
        return send

    return sessions, [sender(s) for s in sessions]


def alternate_aiohttp(base, n, repeats):
    async def run():
        sessions, arms = _aiohttp_sessions(base)
        for send in arms:
            await send(-1)
        blocks = [[] for _ in arms]
        for _ in range(repeats):
            for start in range(0, n, BLOCK):
                for k, send in enumerate(arms):
                    t = clock()
                    for i in range(start, start + BLOCK):
                        await send(i)
                    blocks[k].append((clock() - t) / BLOCK)
        for s in sessions:
            await s.close()
        return _summary(blocks)

    return asyncio.run(run())


def overhead(n, repeats, names):
    clients = {name: lambda base, make=make: alternate(_arms(make, base), n, repeats) for name, make in _SYNC.items()}
    clients["aiohttp"] = lambda base: alternate_aiohttp(base, n, repeats)
    clients = {name: clients[name] for name in names}
    server = _server()
    # On a loaded machine the difference of two CPU times swings by more than capture costs, so
    # its own cost is also clocked from inside: every byte a captured connection writes goes
    # through Tap.feed, which finds the request's end and calls back.
    feed = wire.Tap.feed
    inside = [0.0]

    def clocked(tap, data):
        first = tap.callback.funcs[0]
        while isinstance(first, Callbacks):  # a session's callbacks, given to its pool manager
            first = first.funcs[0]
        if first is not keep_nothing:
            return feed(tap, data)
        t = clock()
        feed(tap, data)
        inside[0] += clock() - t

    wire.Tap.feed = clocked
    try:
        base = server.stdout.readline().strip()
        for name, timed in clients.items():
            inside[0] = 0.0
            REPORTED[0] = 0
            (p, _), (c, c_ratio), (lg, lg_ratio) = timed(base)
            per_request = inside[0] / REPORTED[0]
            print(f"| {name}: CPU time in capture per request (reading the writes, the callback) / the client's own "
                  f"| {per_request * 1e6:.1f} us / {p * 1e6:.0f} us | {per_request / p * 100:.1f}% | < 5% |")
            print(f"| {name}: CPU time to send a request to a loopback server, captured / not | {c * 1e6:.0f} us vs "
                  f"{p * 1e6:.0f} us | {(c_ratio - 1) * 100:+.1f}% | < 5% |")
            print(f"| {name}: the same, with the command made for each request | {lg * 1e6:.0f} us | "
                  f"{(lg_ratio - 1) * 100:+.1f}% | |")
    finally:
        wire.Tap.feed = feed
        server.kill()
        server.wait()


# A loopback server in a process of its own: the recorder, its arrivals dropped as they come.
_SERVER = """
import sys, time
from recorder import Recorder
with Recorder() as rec:
    print(rec.base, flush=True)
    while True:
        time.sleep(1)
        rec.take()
"""


def _server():
    """The loopback server's process; its first line of output is its base URL."""
    return subprocess.Popen([sys.executable, "-c", _SERVER], stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONPATH=TESTS))


# --- capture overhead in instructions --------------------------------------------------------

ARMS = ("not captured", "captured", "captured, the command made", "captured, responses read")
SINKS = (None, keep_nothing, lambda w: w.curl, keep_nothing)
CAPTURED = (False, True, True, "responses")


def _runner(name, base, k):
    """(run(start, stop) sending requests start..stop-1 with arm k of the client, close)."""
    if name != "aiohttp":
        send = _SYNC[name](base, CAPTURED[k], SINKS[k])

        def run(start, stop):
            for i in range(start, stop):
                send(i)

        return run, lambda: None
    import aiohttp

    loop = asyncio.new_event_loop()

    async def made():
        return aiohttp.ClientSession()

    session = loop.run_until_complete(made())
    if k:
        _capture(session, SINKS[k], CAPTURED[k] == "responses")

    async def block(start, stop):
        for i in range(start, stop):
            async with session.post(f"{base}/r/{i}", data=b'{"n": 1}', headers={"Content-Type": "application/json"}) as r:
                await r.read()

    def close():
        loop.run_until_complete(session.close())
        loop.close()

    return lambda start, stop: loop.run_until_complete(block(start, stop)), close


def instructions_child(base, name, k, n, repeats):
    """Runs under callgrind, one client and one arm per process (arms taking turns in one process
    disturb each other: the interpreter's specializations of the client's code, made for one arm's
    objects, miss for the next one's); each round of n requests is a marked call of its own."""
    import _mark

    run, close = _runner(name, base, k)
    run(-20, 0)  # the connection made and the code warmed up, not counted
    for r in range(repeats):
        gc.collect()
        _mark.marked_call(lambda: run(r * n, (r + 1) * n))
    close()


def _dump_totals(prefix):
    """The Ir total of each dump file `prefix`.1, .2, ... in order (as bench/instructions.py reads them)."""
    files = sorted(glob.glob(prefix + ".*"), key=lambda f: int(f.rsplit(".", 1)[1]))
    counts = []
    for name in files:
        with open(name) as f:
            found = re.search(r"^(?:totals|summary):\s*(\d+)", f.read(), re.M)
        counts.append(int(found.group(1)) if found else 0)
    return counts


def _valgrind():
    """valgrind's path when it and the callgrind mark (bench/mark.c) are here; else None, said in the table."""
    valgrind = shutil.which("valgrind")
    try:
        import _mark  # noqa: F401
    except ImportError:
        _mark = None
    if valgrind is None or _mark is None:
        print("| instructions per request (callgrind) | left out: " +
              ("valgrind is not installed" if valgrind is None else "no _mark module (bench/mark.c)") + " | | |")
        return None
    return valgrind


def _marked_counts(valgrind, script, calls, *args):
    """The instructions of each marked call of `script args` run under callgrind (`calls` of them)."""
    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            [valgrind, "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=tolmek_bench_marked_call",
             "--dump-after=tolmek_bench_marked_call", f"--callgrind-out-file={prefix}", sys.executable, script,
             *args], check=True, capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        counts = _dump_totals(prefix)
    if len(counts) != calls:
        sys.exit(f"callgrind wrote {len(counts)} dumps for {calls} marked calls")
    return counts


def instructions(n, repeats, names):
    """Capture's cost in instructions: for each client and arm this script under callgrind, sending
    `repeats` rounds of n requests to the loopback server (another process, not counted)."""
    valgrind = _valgrind()
    if valgrind is None:
        return
    server = _server()
    try:
        base = server.stdout.readline().strip()
        for name in names:
            per = []
            for k in range(len(ARMS)):
                counts = _marked_counts(valgrind, os.path.abspath(__file__), repeats,
                                        "--instructions-child", base, "--clients", name, "--arm", str(k), "--n",
                                        str(n), "--repeats", str(repeats))
                per.append([c / n for c in counts])
            if os.environ.get("TOLMEK_BENCH_ROUNDS"):
                print(name, [[round(x) for x in a] for a in per], file=sys.stderr)
            plain, captured, made, read = (statistics.median(a) for a in per)
            print(f"| {name}: instructions to send a request to a loopback server, captured / not (callgrind, "
                  f"median of {repeats} rounds of {n}, each arm a process of its own) | "
                  f"{captured:,.0f} vs {plain:,.0f} | {(captured / plain - 1) * 100:+.2f}% | < 5% |")
            print(f"| {name}: the same, with the command made for each request | {made:,.0f} | "
                  f"{(made / plain - 1) * 100:+.2f}% | |")
            print(f"| {name}: the same, captured with its responses read (responses=True) | {read:,.0f} | "
                  f"{(read / plain - 1) * 100:+.2f}% | |")
    finally:
        server.kill()
        server.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer requests and repeats")
    parser.add_argument("--repeats", type=int, default=None)
    parser.add_argument("--n", type=int, default=None, help="requests per arm and round under callgrind")
    parser.add_argument("--only", choices=("clock", "instructions"), help="one of the two ways of measuring")
    parser.add_argument("--clients", default=",".join(CLIENTS), help="the clients measured (comma-separated)")
    parser.add_argument("--instructions-child", metavar="BASE", help=argparse.SUPPRESS)
    parser.add_argument("--arm", type=int, help=argparse.SUPPRESS)
    args, _ = parser.parse_known_args()
    if args.instructions_child:
        return instructions_child(args.instructions_child, args.clients, args.arm, args.n, args.repeats)
    repeats = args.repeats or (3 if args.quick else 7)
    gc.collect()
    print(f"tolmek_http, CPython {sys.version.split()[0]}, medians of {repeats} repeats taken in turns; capture's"
          f" cost: the median over blocks of {BLOCK} requests of captured / not captured in the same turn")
    print("| figure | measured | ratio | target |")
    print("|---|---|---|---|")
    if args.only != "instructions":
        rendering(10_000, repeats)
        overhead(300 if args.quick else 1000, repeats, args.clients.split(","))
    if args.only != "clock":
        instructions(args.n or (50 if args.quick else 200), 3, args.clients.split(","))


if __name__ == "__main__":
    main()
