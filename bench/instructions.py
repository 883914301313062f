"""Instructions per request, counted by callgrind, which a loaded machine cannot disturb.

    python bench/instructions.py           # N = 20,000 (`make bench`)
    python bench/instructions.py --quick   # N = 5,000
    python bench/instructions.py --n N

The script runs itself under `valgrind --tool=callgrind`, with collection off except inside
_mark.marked_call (bench/mark.c, built by scripts/bench.sh beside the floors), and each workload
is one such call, dumped on its own: start-up and the making of the inputs are not counted.
Each construction workload builds the list of N objects twice, freeing it each time, so that
allocation, the list and deallocation are all counted, with the garbage collector on (its
collections triggered by the allocations count too) and off. Counts are per request.
"""

import argparse
import gc
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import workload  # bench/ is sys.path[0] when this file is run as a script
from tolmek import Tolmek, TolmekCollection

try:  # the floors (bench/floor.c) and the mark (bench/mark.c), built by scripts/bench.sh
    import _floor
except ImportError:
    _floor = None

TARGET = 1.1  # __slots__ / Tolmek, collector on


def constructions(n):
    """(label, make(inputs) -> list) for each class that is constructed."""
    Py = workload.PyRequest
    classes = [("__slots__ class", Py), ("Tolmek", Tolmek)]
    if _floor:
        classes += [("C type keeping references", _floor.Keep), ("C type copying the texts", _floor.Copy)]
    return [(label, lambda reqs, C=C: [C(u, h, m, b) for u, h, m, _, b in reqs]) for label, C in classes]


def renewed(reqs):
    """The same requests as new str objects (url, header texts, body), as a parser hands them over."""
    fresh = workload.fresh
    return [(fresh(u), [(fresh(k), fresh(v)) for k, v in h], m, name, b if b is None else fresh(b))
            for u, h, m, name, b in reqs]


def child(n):
    """Runs under callgrind: every workload in turn, each as one marked call; prints their labels."""
    import _mark

    labels = []

    def measure(label, fn, collector):
        gc.collect()
        if collector == "off":
            gc.disable()
        try:
            _mark.marked_call(fn)
        finally:
            gc.enable()
        labels.append([label, collector])

    reused = workload.requests(n)
    for label, make in constructions(n):
        for collector in ("on", "off"):
            def twice():
                for _ in range(2):
                    objs = make(reused)
                    del objs

            measure(f"construct, reused inputs: {label}", twice, collector)
            fresh = [renewed(reused) for _ in range(2)]

            def twice_fresh():
                for reqs in fresh:
                    objs = make(reqs)
                    del objs

            measure(f"construct, fresh inputs: {label}", twice_fresh, collector)
            del fresh

    objs = [Tolmek(u, h, m, b) for u, h, m, _, b in reused]
    for collector in ("on", "off"):
        def add_twice():
            for _ in range(2):
                coll = TolmekCollection()
                add = coll.add_request
                for obj in objs:
                    add(obj)
                del coll

        measure("add_request", add_twice, collector)
        measure("get_request_command", lambda: [[t.get_request_command() for t in objs] for _ in range(2)],
                collector)
    coll = TolmekCollection(objs)
    measure("export_collection", lambda: [coll.export_collection() for _ in range(2)], "on")
    print(json.dumps(labels))


def totals(prefix):
    """The Ir total of each dump file `prefix`.1, .2, ... in order."""
    files = sorted(glob.glob(prefix + ".*"), key=lambda f: int(f.rsplit(".", 1)[1]))
    counts = []
    for name in files:
        with open(name) as f:
            text = f.read()
        found = re.search(r"^(?:totals|summary):\s*(\d+)", text, re.M)
        counts.append(int(found.group(1)) if found else 0)
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, help="requests per workload (default 20,000)")
    parser.add_argument("--quick", action="store_true", help="N = 5,000")
    parser.add_argument("--title", help="a line printed above the table")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    # Options meant for bench/run.py (as `make bench` passes them on) are left alone.
    args, _ = parser.parse_known_args()
    args.n = args.n or (5_000 if args.quick else 20_000)
    if args.child:
        return child(args.n)
    if args.title:
        print(args.title)
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        print("instructions per request: valgrind is not installed, the counts are left out")
        return
    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        run = subprocess.run(
            [valgrind, "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=tolmek_bench_marked_call",
             "--dump-after=tolmek_bench_marked_call", f"--callgrind-out-file={prefix}",
             sys.executable, os.path.abspath(__file__), "--child", "--n", str(args.n)],
            check=True, capture_output=True, text=True, env=env)
        labels = json.loads(run.stdout)
        counts = totals(prefix)[: len(labels)]
    if len(counts) != len(labels):
        sys.exit(f"callgrind wrote {len(counts)} dumps for {len(labels)} workloads")
    per = {}
    for (label, collector), count in zip(labels, counts):
        per.setdefault(label, {})[collector] = count / (2 * args.n)
    print(f"instructions per request (callgrind, N = {args.n:,}, each list built twice; Python "
          f"{sys.version.split()[0]})")
    rows = [("figure", "collector on", "off", "target", "met?")]
    for label, values in per.items():
        rows.append((label, f"{values['on']:.0f}", f"{values['off']:.0f}" if "off" in values else "", "-", "-"))
    for inputs in ("reused", "fresh"):
        base, own = per[f"construct, {inputs} inputs: __slots__ class"], per[f"construct, {inputs} inputs: Tolmek"]
        ratio = {c: base[c] / own[c] for c in base}
        rows.append((f"construct, {inputs} inputs: __slots__ / Tolmek", f"{ratio['on']:.2f}x", f"{ratio['off']:.2f}x",
                     f">= {TARGET:g}", "yes" if ratio["on"] >= TARGET else "NO"))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for k, row in enumerate(rows):
        print(" | ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())
        if k == 0:
            print("-+-".join("-" * w for w in widths))


if __name__ == "__main__":
    main()
