"""Recording's cost to a test suite's requests: recording on and off in turns, clocked, and counted by callgrind.

A suite-like loop (tests of five requests, each set as the running test as the plugin does) sends
to a loopback server in another process with requests and httpx: not captured, captured by hand
without and with responses read (what capture costs on its own), and recorded (tolmek_http.record,
pytest --tolmek-record). CPU time of this process, medians of blocks taken in turns; instructions
counted by callgrind with bench/mark.c's _mark module (built by scripts/bench.sh), each arm a
process of its own.

    python bench/recording.py                 # 10,000 requests per arm and client, 3 rounds
    python bench/recording.py --quick         # 2,000
"""

import argparse
import gc
import os
import statistics
import sys
import time

from clients import _marked_counts, _server, _valgrind  # noqa: E402 - the loopback server and callgrind's counts, as there
from tolmek_http import recording  # noqa: E402

PER_TEST = 5  # requests per test of the suite-like loop
BLOCK = 10  # tests per turn: the arms take turns every BLOCK * PER_TEST requests
CLIENTS = ("requests", "httpx")


def sender(name, base):
    """(the client, send(i) with it): a client of `name` made now (so captured when a recording is active)."""
    if name == "requests":
        import requests

        s = requests.Session()
        s.trust_env = False
        return s, lambda i: s.post(f"{base}/r/{i}", data=b'{"n": 1}', headers={"Content-Type": "application/json"}).content
    import httpx

    c = httpx.Client(trust_env=False)
    return c, lambda i: c.post(f"{base}/r/{i}", content=b'{"n": 1}', headers={"Content-Type": "application/json"}).content


def tests(send, first, count):
    """`count` tests of PER_TEST requests each, numbered from `first`, each set as the running test
    around its requests as the plugin does (which does nothing while no recording is active)."""
    for t in range(first, first + count):
        recording.set_test((f"tests/test_api.py::test_{t}", ("tests/test_api.py", f"test_{t}"), t + 1))
        for i in range(t * PER_TEST, (t + 1) * PER_TEST):
            send(i)
        recording.set_test(None)


ARMS = ("not captured", "captured, a callback keeping nothing", "captured with responses, a callback keeping nothing",
        "recorded")


def nothing(request):
    pass


def arms(name, base):
    """The four arms' senders and the recording: a client made with no recording active; one
    captured by hand, without and with its responses read (what capture costs on its own); one
    made while the recording is active. The recording is made current only while the last one
    sends (_current set directly, so that the turns cost nothing of their own)."""
    from importlib import import_module

    made = []
    for k in range(3):
        client, send = sender(name, base)
        if k:
            import_module(f"tolmek_http.client_{name}").capture(client, nothing, responses=k == 2)
        made.append(send)
    rec = recording.start()
    made.append(sender(name, base)[1])
    recording.stop(rec)
    return made, rec


def clocked(name, base, n, rounds):
    senders, rec = arms(name, base)
    for k, send in enumerate(senders):
        recording._current = rec if k == 3 else None
        send(-1)
    recording._current = None
    blocks = [[] for _ in senders]
    for _ in range(rounds):
        rec.exchanges.clear()  # what a recording keeps is kept by each round afresh
        for first in range(0, n // PER_TEST, BLOCK):
            for k, send in enumerate(senders):
                recording._current = rec if k == 3 else None
                t = time.process_time()
                tests(send, first, BLOCK)
                blocks[k].append((time.process_time() - t) / (BLOCK * PER_TEST))
        recording._current = None
    assert len(rec.exchanges) == n, (len(rec.exchanges), n)
    plain = statistics.median(blocks[0])
    for k in range(1, len(senders)):
        ratio = statistics.median(r / p for p, r in zip(blocks[0], blocks[k]))
        print(f"| {name}: CPU time per request, {n:,} requests in tests of {PER_TEST}, {ARMS[k]} / not (median of "
              f"{rounds} rounds in turns of {BLOCK * PER_TEST}) | {statistics.median(blocks[k]) * 1e6:.0f} us vs "
              f"{plain * 1e6:.0f} us | {(ratio - 1) * 100:+.1f}% | {'< 5%' if k == 3 else ''} |")


def instructions_child(base, name, arm, n, rounds):
    """Under callgrind: one client, one arm; each round of n requests a marked call of its own."""
    import _mark

    senders, rec = arms(name, base)
    send = senders[arm]
    recording._current = rec if arm == 3 else None
    send(-1)
    for r in range(rounds):
        gc.collect()
        rec.exchanges.clear()
        _mark.marked_call(lambda: tests(send, r * n // PER_TEST, n // PER_TEST))
    assert len(rec.exchanges) == (n if arm == 3 else 0)


def instructions(base, names, n, rounds):
    valgrind = _valgrind()
    if valgrind is None:
        return
    for name in names:
        per = []
        for arm in range(len(ARMS)):
            counts = _marked_counts(valgrind, os.path.abspath(__file__), rounds, "--instructions-child", base,
                                    "--clients", name, "--arm", str(arm), "--n", str(n), "--rounds", str(rounds))
            per.append(statistics.median(c / n for c in counts))
        for k in range(1, len(ARMS)):
            print(f"| {name}: instructions per request, {ARMS[k]} / not (callgrind, median of {rounds} rounds of {n:,}, "
                  f"each arm a process of its own) | {per[k]:,.0f} vs {per[0]:,.0f} | {(per[k] / per[0] - 1) * 100:+.2f}% "
                  f"| {'< 5%' if k == 3 else ''} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--n", type=int, default=None, help="requests per arm and round (clock)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--callgrind-n", type=int, default=None, help="requests per arm and round under callgrind")
    parser.add_argument("--clients", default=",".join(CLIENTS))
    parser.add_argument("--only", choices=("clock", "instructions"))
    parser.add_argument("--instructions-child", metavar="BASE", help=argparse.SUPPRESS)
    parser.add_argument("--arm", type=int, help=argparse.SUPPRESS)
    args, _ = parser.parse_known_args()  # scripts/bench.sh hands every script the same arguments
    if args.instructions_child:
        return instructions_child(args.instructions_child, args.clients, args.arm, args.n, args.rounds)
    names = args.clients.split(",")
    server = _server()
    try:
        base = server.stdout.readline().strip()
        print(f"recording's cost, CPython {sys.version.split()[0]}")
        print("| figure | measured | ratio | target |")
        print("|---|---|---|---|")
        if args.only != "instructions":
            for name in names:
                clocked(name, base, args.n or (2_000 if args.quick else 10_000), args.rounds)
        if args.only != "clock":
            instructions(base, names, args.callgrind_n or (100 if args.quick else 500), args.rounds)
    finally:
        server.kill()
        server.wait()


if __name__ == "__main__":
    main()
