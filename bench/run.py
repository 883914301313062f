"""Benchmarks: tolmek against plain-Python ways of doing the same work, and against floors.

    python bench/run.py            # full run: 3 runs in fresh processes, medians (`make bench`)
    python bench/run.py --quick    # smaller N, fewer repeats, one run, about ten seconds

Options:
    --quick        N = 10,000, memory N = 20,000, scaling at 1k/10k/100k, 3 repeats, 1 run
    --n N          requests for the timing figures (default 100,000)
    --repeats R    repeats per timing; the median is reported (default 7)
    --runs K       whole runs, each in a fresh process; the table gives the median of each
                   figure (default 3, or 1 with --quick)
    --sections S   only these parts (construction,command,collection,memory,scaling)

Every input string is built before timing (bench/workload.py); "fresh inputs" are new str
objects made for each timed run, as a parser would hand them over. Each timing runs with the
garbage collector off, and results are freed outside the timed region. Absolute times on a
shared machine are noise, so each figure is a ratio against a plain-Python baseline measured
in the same run, or a per-request cost; the timings being compared take turns.

Floors are what no implementation can beat (bench/floor.c, built by scripts/bench.sh): a C
type whose construction only keeps references, one that copies every text's storage as it
is into a block of its own (what owning the texts costs at the least), and a new str of the
command's size filled with one memcpy. Memory figures come from fresh child processes (VmRSS growth while filling
a collection, and VmHWM, reset through /proc/self/clear_refs, around the export). Scaling
compares user CPU time per request, which is the module's own work; wall time beside it also
holds the kernel's cost of handing out fresh pages for large outputs.
"""

import argparse
import gc
import json
import os
import platform
import re
import resource
import statistics
import subprocess
import sys
import time

import orjson
import workload  # bench/ is sys.path[0] when this file is run as a script
from tolmek import Tolmek, TolmekCollection

try:  # the floors (bench/floor.c), built by scripts/bench.sh
    import _floor
except ImportError:
    _floor = None


def once(fn):
    """Wall time of one fn() call in ns, collector off; the result is dropped after the clock stops."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        result = fn()
        elapsed = time.perf_counter_ns() - start
    finally:
        gc.enable()
    del result
    return elapsed


def timed(*fns, repeats):
    """Median ns of each fn; the fns take turns so that a drift in machine load hits all alike."""
    samples = [[once(fn) for fn in fns] for _ in range(repeats)]
    medians = [statistics.median(column) for column in zip(*samples)]
    return medians if len(fns) > 1 else medians[0]


def timed_fresh(*fns, prepare, repeats):
    """Median ns of each fn(inputs), every call on inputs that prepare() made just before it
    (outside the clock), so that no call finds what an earlier one left in its inputs."""
    samples = []
    for _ in range(repeats):
        row = []
        for fn in fns:
            inputs = prepare()
            row.append(once(lambda: fn(inputs)))
            del inputs
        samples.append(row)
    return [statistics.median(column) for column in zip(*samples)]


class Rows:
    """The table: (figure, value, format, target, note) per row; target is (op, bound) or None."""

    def __init__(self):
        self.rows = []

    def add(self, figure, value, fmt="{:.2f}", target=None, note=""):
        self.rows.append((figure, value, fmt, target, note))

    def ratio(self, figure, base_ns, ns, n, target):
        self.add(figure, base_ns / ns, "{:.2f}x", (">=", target), f"{base_ns / n:.0f} vs {ns / n:.0f} ns/req")

    def per_request(self, figure, ns, n):
        self.add(f"{figure} per request", ns / n, "{:.0f} ns")


def build(reqs):
    return [Tolmek(url, headers, method, body) for url, headers, method, _, body in reqs]


def fill(objs):
    coll = TolmekCollection()
    add = coll.add_request
    for obj in objs:
        add(obj)
    return coll


def add_and_export(objs):
    coll = fill(objs)
    return coll, coll.export_collection()


def bench_construction(n, repeats, rows):
    reqs = workload.requests(n)
    Py = workload.PyRequest
    Keep = _floor.Keep if _floor else None
    Copy = _floor.Copy if _floor else None

    def slots(inputs):
        return [Py(u, h, m, b) for u, h, m, _, b in inputs]

    def tolmek(inputs):
        return [Tolmek(u, h, m, b) for u, h, m, _, b in inputs]

    def keep(inputs):
        return [Keep(u, h, m, b) for u, h, m, _, b in inputs]

    def copy(inputs):
        return [Copy(u, h, m, b) for u, h, m, _, b in inputs]

    contenders = (slots, tolmek, keep, copy) if Keep else (slots, tolmek)
    got = timed_fresh(*contenders, prepare=lambda: workload.requests(n, fresh_texts=True), repeats=repeats)
    rows.ratio("construct, fresh inputs: __slots__ / Tolmek", got[0], got[1], n, 1.1)
    if Keep:
        rows.add("  floor: __slots__ / C type keeping references", got[0] / got[2], "{:.2f}x")
        # Reading every text out of fresh, cache-cold input objects is what owning them costs.
        rows.add("  floor: __slots__ / C type copying the texts' storage", got[0] / got[3], "{:.2f}x")
        rows.add("  Tolmek / C type copying the texts' storage", got[1] / got[3], "{:.2f}")
    # The same inputs again: their str objects were already seen by earlier runs.
    got = timed(*(lambda f=f: f(reqs) for f in contenders), repeats=repeats)
    rows.ratio("construct, inputs reused: __slots__ / Tolmek", got[0], got[1], n, 1.1)
    if Keep:
        rows.add("  floor: __slots__ / C type copying the texts' storage (reused)", got[0] / got[3], "{:.2f}x")


def prepared(n):
    """The workload's requests as (url, headers, method name, body), and as Tolmek objects."""
    reqs = workload.requests(n)
    return [(url, headers, name, body) for url, headers, _, name, body in reqs], build(reqs)


def bench_command(n, repeats, rows):
    plain, objs = prepared(n)
    naive = workload.naive_command
    fns = [lambda: [naive(u, h, m, b) for u, h, m, b in plain], lambda: [t.get_request_command() for t in objs]]
    commands = [t.get_request_command() for t in objs]
    if _floor:
        copy = _floor.copy
        fns.append(lambda: [copy(c) for c in commands])
    got = timed(*fns, repeats=repeats)
    rows.ratio("curl command: f-string / get_request_command", got[0], got[1], n, 6.0)
    if _floor:
        rows.add("  floor: f-string / new str + memcpy of the command", got[0] / got[2], "{:.2f}x")
        rows.add("  get_request_command / floor", got[1] / got[2], "{:.2f}")


def bench_collection(n, repeats, rows):
    plain, objs = prepared(n)
    coll = fill(objs)
    rows.per_request("add_request", timed(lambda: fill(objs), repeats=repeats), n)
    rows.per_request("get_collection", timed(coll.get_collection, repeats=repeats), n)

    text = coll.export_collection()
    assert text == workload.reference_text(plain), "export differs from json.dumps of the same document"
    doc = workload.reference_document(plain)
    data = text.encode()
    tk, py, oj, floor = timed(coll.export_collection,
                              lambda: workload.reference_text(plain),
                              lambda: orjson.dumps(doc, option=orjson.OPT_SORT_KEYS).decode(),
                              data.decode, repeats=repeats)
    rows.ratio("export: dict tree + json.dumps / export", py, tk, n, 10.0)
    rows.ratio("export: orjson (prebuilt doc) / export", oj, tk, n, 2.0)
    rows.add("export / floor (bytes.decode of its UTF-8)", tk / floor, "{:.2f}", ("<=", 1.25))


def proc_status(key):
    """A kB figure from /proc/self/status, in bytes."""
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{key}:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024


def memory_child(n, keep_inputs):
    """Runs in a fresh process: RSS growth of a filled collection, then the export's peak.

    With keep_inputs the input strings are all built first and stay alive, so the growth also
    holds anything construction leaves inside the caller's str objects (such as a cached UTF-8
    copy); otherwise each request's inputs are made in the loop and dropped with it.
    """
    reqs = workload.requests(n, fresh_texts=True) if keep_inputs else None
    gc.collect()
    gc.disable()
    before = proc_status("VmRSS")
    coll = TolmekCollection()
    for i in range(n):
        url, headers, method, _, body = reqs[i] if keep_inputs else workload.request(i)
        coll.add_request(Tolmek(url, headers, method, body))
    stored = proc_status("VmRSS") - before
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # VmHWM := VmRSS
    except OSError:
        pass  # then VmHWM keeps the peak of filling, and the extra peak may read low
    base = proc_status("VmHWM")
    text = coll.export_collection()
    peak = proc_status("VmHWM")
    result = {"stored": stored, "base": base, "peak": peak, "start": before, "output": len(text.encode())}
    result["text"] = workload.text_bytes(reqs or map(workload.request, range(n)))
    print(json.dumps(result))


def memory_figures(n, keep_inputs):
    args = [sys.executable, os.path.abspath(__file__), "--memory-child", str(n)]
    child = subprocess.run(args + ["--keep-inputs"] * keep_inputs, check=True, capture_output=True, text=True)
    return json.loads(child.stdout)


def inputs_grown():
    """How many of the input strs (non-ASCII ones included) report a larger size after
    Tolmek was built from them: a UTF-8 copy cached inside the caller's str shows here."""
    reqs = workload.requests(1000, fresh_texts=True)
    texts = [t for url, headers, _, _, body in reqs for t in (url, body, *(x for h in headers for x in h)) if t]
    before = [sys.getsizeof(t) for t in texts]
    objs = build(reqs)
    grown = sum(sys.getsizeof(t) != size for t, size in zip(texts, before))
    del objs
    return grown


def bench_memory(n, rows):
    m = memory_figures(n, False)
    rows.add(f"memory: stored / text bytes (N={n:,})", m["stored"] / m["text"], "{:.2f}", ("<=", 1.5),
             f"{m['stored'] / n:.0f} vs {m['text'] / n:.0f} B/req")
    extra = m["peak"] - m["base"]
    rows.add("memory: export peak extra / output text", extra / m["output"], "{:.2f}", ("<=", 2.0),
             f"{extra / 2**20:.0f} vs {m['output'] / 2**20:.0f} MiB")
    rows.add("memory: export peak / (stored + output)", (m["peak"] - m["start"]) / (m["stored"] + m["output"]))
    kept = memory_figures(n, True)
    rows.add("memory: growth / text bytes, inputs kept alive", kept["stored"] / kept["text"], "{:.2f}",
             ("<=", 1.45), f"{kept['stored'] / n:.0f} B/req")
    rows.add("caller's str objects grown by construction (sys.getsizeof)", inputs_grown(), "{:.0f}", ("<=", 0))


def user_seconds():
    return resource.getrusage(resource.RUSAGE_SELF).ru_utime


def bench_scaling(sizes, repeats, rows):
    """Per-request cost as N grows; small N get more repeats, as their runs are short."""
    wall, user, floor = [], [], []
    for n in sizes:
        objs = build(workload.requests(n))
        reps = repeats * max(1, 100_000 // n)
        cpu = []

        def run():
            start = user_seconds()
            result = add_and_export(objs)
            cpu.append(user_seconds() - start)
            return result

        ns = timed(run, repeats=reps)
        wall.append(ns / n)
        user.append(statistics.median(cpu) / n)
        rows.add(f"add_request + export, N={n:,}", ns / n, "{:.0f} ns/req")
        # Context: large outputs cost fresh pages (kernel time) and memory bandwidth whatever
        # makes them, so the same wall-time ratio for merely decoding the output.
        data = add_and_export(objs)[1].encode()
        floor.append(timed(data.decode, repeats=reps) / n)
        del objs, data
    rows.add(f"scaling: user CPU per request N={sizes[-1]:,} / N={sizes[0]:,}", user[-1] / user[0], "{:.2f}",
             ("<=", 1.1))
    rows.add("  same ratio in wall time", wall[-1] / wall[0])
    rows.add("  wall-time ratio for bytes.decode of the output", floor[-1] / floor[0])


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M).group(1).strip()
    except (OSError, AttributeError):
        pass
    return f"{model}, {os.cpu_count()} cores, {platform.python_implementation()} {platform.python_version()}"


def met(value, target):
    if target is None:
        return None
    op, bound = target
    return value >= bound if op == ">=" else value <= bound


def print_table(runs):
    """One line per figure: the median over the runs, each run's value, the target and whether
    the median meets it."""
    head = ("figure", "median", "runs", "target", "met?", "note (median run)")
    cells = [head]
    for column in zip(*runs):
        figure, _, fmt, target, _ = column[0]
        values = [row[1] for row in column]
        median = statistics.median(values)
        note = min(column, key=lambda row: abs(row[1] - median))[4]
        ok = met(median, target)
        cells.append((figure, fmt.format(median), " ".join(fmt.format(v) for v in values) if len(values) > 1 else "",
                      "-" if target is None else f"{target[0]} {target[1]:g}",
                      "-" if ok is None else ("yes" if ok else "NO"), note))
    widths = [max(len(row[i]) for row in cells) for i in range(len(head))]
    for k, row in enumerate(cells):
        print(" | ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())
        if k == 0:
            print("-+-".join("-" * w for w in widths))


SECTIONS = ("construction", "command", "collection", "memory", "scaling")


def one_run(args):
    n = args.n or (10_000 if args.quick else 100_000)
    repeats = args.repeats or (3 if args.quick else 7)
    mem_n = 20_000 if args.quick else 200_000
    sizes = (1_000, 10_000, 100_000) if args.quick else (10_000, 100_000, 1_000_000)
    sections = args.sections.split(",")
    rows = Rows()
    if "construction" in sections:
        bench_construction(n, repeats, rows)
    if "command" in sections:
        bench_command(n, repeats, rows)
    if "collection" in sections:
        bench_collection(n, repeats, rows)
    if "memory" in sections:
        bench_memory(mem_n, rows)
    if "scaling" in sections:
        bench_scaling(sizes, max(3, repeats // 2), rows)
    return rows.rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller N, fewer repeats, one run")
    parser.add_argument("--n", type=int, help="requests for the timing figures (default 100,000)")
    parser.add_argument("--repeats", type=int, help="repeats per timing (default 7)")
    parser.add_argument("--runs", type=int, help="whole runs in fresh processes (default 3, --quick 1)")
    parser.add_argument("--sections", default=",".join(SECTIONS),
                        help="comma-separated parts to run (default: all of " + ", ".join(SECTIONS) + ")")
    parser.add_argument("--title", help="a line printed above the table")
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--keep-inputs", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--single-run", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        return memory_child(args.memory_child, args.keep_inputs)
    if args.single_run:
        print(json.dumps(one_run(args)))
        return
    runs = args.runs or (1 if args.quick else 3)
    n = args.n or (10_000 if args.quick else 100_000)
    if args.title:
        print(args.title)
    print(f"machine: {machine()}")
    print(f"N = {n:,}; {runs} run(s) in fresh processes, each figure the median of its repeats"
          + ("" if _floor else "; floors not built (bench/floor.c)"), flush=True)
    results = []
    for k in range(runs):
        # A single run reads only --quick, --n, --repeats and --sections of these.
        child = subprocess.run([sys.executable, os.path.abspath(__file__), "--single-run", *sys.argv[1:]],
                               check=True, capture_output=True, text=True)
        results.append(json.loads(child.stdout))
        print(f"run {k + 1} of {runs} done", flush=True)
    print()
    print_table(results)


if __name__ == "__main__":
    main()
