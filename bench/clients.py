"""tolmek_http's speed: rendering the shared workload's requests as requests.PreparedRequest objects
beside curlify's `to_curl` for the same objects, and what capture adds to a client's own cost of
sending a request to a loopback server. Medians of repeats taken in turns, in one run."""

import argparse
import asyncio
import gc
import os
import statistics
import subprocess
import sys
import time

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")
sys.path.insert(0, TESTS)

import workload  # noqa: E402

import tolmek_http  # noqa: E402


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
        tolmek_http.capture(s, sink)
    return lambda i: s.post(f"{base}/r/{i}", data=b'{"n": 1}', headers={"Content-Type": "application/json"}).content


def _httpx_sender(base, captured, sink):
    import httpx

    c = httpx.Client(trust_env=False)
    if captured:
        tolmek_http.capture(c, sink)
    return lambda i: c.post(f"{base}/r/{i}", content=b'{"n": 1}', headers={"Content-Type": "application/json"}).content


def _urllib3_sender(base, captured, sink):
    import urllib3

    pm = urllib3.PoolManager()
    if captured:
        tolmek_http.capture(pm, sink)
    return lambda i: pm.request("POST", f"{base}/r/{i}", body=b'{"n": 1}', headers={"Content-Type": "application/json"}).data


# The client's own cost is the CPU time of this process: the server runs in another one, so that
# neither its work nor the machine's other load (a shared machine) counts.
clock = time.process_time


def time_sync(make, base, captured, sink, n):
    send = make(base, captured, sink)
    send(-1)  # the connection is opened before the clock starts
    t = clock()
    for i in range(n):
        send(i)
    return (clock() - t) / n


def time_aiohttp(base, captured, sink, n):
    import aiohttp

    async def run():
        async with aiohttp.ClientSession() as s:
            if captured:
                tolmek_http.capture(s, sink)

            async def send(i):
                async with s.post(f"{base}/r/{i}", data=b'{"n": 1}', headers={"Content-Type": "application/json"}) as r:
                    await r.read()

            await send(-1)
            t = clock()
            for i in range(n):
                await send(i)
            return (clock() - t) / n

    return asyncio.run(run())


def overhead(n, repeats):
    clients = {"requests": lambda *a: time_sync(_requests_sender, *a), "httpx": lambda *a: time_sync(_httpx_sender, *a),
               "urllib3": lambda *a: time_sync(_urllib3_sender, *a), "aiohttp": time_aiohttp}
    server = subprocess.Popen([sys.executable, "-c", _SERVER], stdout=subprocess.PIPE, text=True,
                              env=dict(os.environ, PYTHONPATH=TESTS))
    try:
        base = server.stdout.readline().strip()
        for name, timed in clients.items():
            plain, captured, logged = [], [], []
            for _ in range(repeats):
                # Taking turns, so that a change in the machine's load reaches every arm alike. The
                # callbacks keep nothing: what a program keeps is its own cost, not capture's.
                plain.append(timed(base, False, None, n))
                captured.append(timed(base, True, lambda w: None, n))
                logged.append(timed(base, True, lambda w: w.curl, n))
            p, c, lg = (statistics.median(x) for x in (plain, captured, logged))
            print(f"| {name}: CPU time to send a request to a loopback server, captured / not | {c * 1e6:.0f} us vs {p * 1e6:.0f} us | "
                  f"{(c / p - 1) * 100:+.1f}% | < 5% |")
            print(f"| {name}: the same, with the command made for each request | {lg * 1e6:.0f} us | "
                  f"{(lg / p - 1) * 100:+.1f}% | |")
    finally:
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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer requests and repeats")
    parser.add_argument("--repeats", type=int, default=None)
    args, _ = parser.parse_known_args()
    repeats = args.repeats or (3 if args.quick else 7)
    gc.collect()
    print(f"tolmek_http, CPython {sys.version.split()[0]}, medians of {repeats} repeats taken in turns")
    print("| figure | measured | ratio | target |")
    print("|---|---|---|---|")
    rendering(10_000, repeats)
    overhead(300 if args.quick else 1000, repeats)


if __name__ == "__main__":
    main()
