"""Benchmarks: tolmek against plain-Python ways of doing the same work.

    python bench/run.py            # full run (`make bench` builds a Release module and runs this)
    python bench/run.py --quick    # smaller N and fewer repeats, about five seconds

Options:
    --quick        N = 10,000, memory N = 20,000, scaling at 1k/10k/100k, 3 repeats
    --n N          requests for the timing figures (default 100,000)
    --repeats R    repeats per timing; the median is reported (default 7)

Every input string is built before timing (bench/workload.py). Each timing runs with the
garbage collector off, and results are freed outside the timed region. Absolute times on a
shared machine are noise, so each figure is a ratio against a plain-Python baseline measured
in the same run, or a per-request cost; the timings being compared take turns. Memory
figures come from fresh child processes (VmRSS growth while filling a collection, and VmHWM,
reset through /proc/self/clear_refs, around the export). Scaling rows also give the user-CPU
and bytes.decode ratios, which separate the module's own work from the kernel's cost of
handing out fresh pages for large outputs.
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


def bench_speed(n, repeats, rows):
    reqs = workload.requests(n)
    plain = [(url, headers, name, body) for url, headers, _, name, body in reqs]
    objs = build(reqs)
    coll = fill(objs)
    Py = workload.PyRequest

    py, tk = timed(lambda: [Py(u, h, m, b) for u, h, m, _, b in reqs],
                   lambda: [Tolmek(u, h, m, b) for u, h, m, _, b in reqs], repeats=repeats)
    ratio(rows, "construct: Python __slots__ / Tolmek", py, tk, n, 1.0)

    naive = workload.naive_command
    py, tk = timed(lambda: [naive(u, h, m, b) for u, h, m, b in plain],
                   lambda: [t.get_request_command() for t in objs], repeats=repeats)
    ratio(rows, "curl command: f-string / get_request_command", py, tk, n, 5.0)

    per_request(rows, "add_request", timed(lambda: fill(objs), repeats=repeats), n)
    per_request(rows, "get_collection", timed(coll.get_collection, repeats=repeats), n)

    text = coll.export_collection()
    assert text == workload.reference_text(plain), "export differs from json.dumps of the same document"
    doc = workload.reference_document(plain)
    data = text.encode()
    tk, py, oj, floor = timed(coll.export_collection,
                              lambda: workload.reference_text(plain),
                              lambda: orjson.dumps(doc, option=orjson.OPT_SORT_KEYS).decode(),
                              data.decode, repeats=repeats)
    ratio(rows, "export: dict tree + json.dumps / export", py, tk, n, 10.0)
    ratio(rows, "export: orjson (prebuilt doc) / export", oj, tk, n, 2.0)
    rows.append(("export / floor (bytes.decode of its UTF-8)", f"{tk / floor:.2f}", "<= 2.0", tk / floor <= 2.0))


def ratio(rows, figure, py_ns, tk_ns, n, target):
    r = py_ns / tk_ns
    measured = f"{r:.2f}x  ({py_ns / n:.0f} vs {tk_ns / n:.0f} ns/req)"
    rows.append((figure, measured, f">= {target:g}x", r >= target))


def per_request(rows, figure, ns, n):
    rows.append((f"{figure} per request", f"{ns / n:.0f} ns", "-", None))


def proc_status(key):
    """A kB figure from /proc/self/status, in bytes."""
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{key}:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024


def memory_child(n, keep_inputs):
    """Runs in a fresh process: RSS growth of a filled collection, then the export's peak.

    With keep_inputs the input strings are all built first and stay alive, so the growth also
    holds the UTF-8 copies that CPython caches on non-ASCII str objects when asked for their
    UTF-8 form; otherwise each request's inputs are made in the loop and dropped with it.
    """
    reqs = workload.requests(n) if keep_inputs else None
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


def bench_memory(n, rows):
    m = memory_figures(n, False)
    r = m["stored"] / m["text"]
    rows.append((f"memory: stored / text bytes (N={n:,})",
                 f"{r:.2f}  ({m['stored'] / n:.0f} vs {m['text'] / n:.0f} B/req)", "<= 1.5", r <= 1.5))
    extra = m["peak"] - m["base"]
    r = extra / m["output"]
    rows.append(("memory: export peak extra / output text",
                 f"{r:.2f}  ({extra / 2**20:.0f} vs {m['output'] / 2**20:.0f} MiB)", "<= 2.0", r <= 2.0))
    r = (m["peak"] - m["start"]) / (m["stored"] + m["output"])
    rows.append(("memory: export peak / (stored + output)", f"{r:.2f}", "-", None))
    kept = memory_figures(n, True)
    rows.append(("memory: growth / text bytes, inputs kept alive",
                 f"{kept['stored'] / kept['text']:.2f}  ({kept['stored'] / n:.0f} B/req)", "-", None))


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
        rows.append((f"add_request + export, N={n:,}", f"{ns / n:.0f} ns/req", "-", None))
        # Context: large outputs cost fresh pages (kernel time) and memory bandwidth whatever
        # makes them, so the same ratio for merely decoding the output, and for user CPU time.
        data = add_and_export(objs)[1].encode()
        floor.append(timed(data.decode, repeats=reps) / n)
        del objs, data
    r = wall[-1] / wall[0]
    rows.append((f"scaling: per request N={sizes[-1]:,} / N={sizes[0]:,}", f"{r:.2f}", "<= 1.3", r <= 1.3))
    rows.append(("  same ratio, user CPU time only", f"{user[-1] / user[0]:.2f}", "-", None))
    rows.append(("  same ratio for bytes.decode of the output", f"{floor[-1] / floor[0]:.2f}", "-", None))


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M).group(1).strip()
    except (OSError, AttributeError):
        pass
    return f"{model}, {os.cpu_count()} cores, {platform.python_implementation()} {platform.python_version()}"


def print_table(rows):
    head = ("figure", "measured", "target", "met?")
    cells = [head] + [(f, m, t, "-" if ok is None else ("yes" if ok else "NO")) for f, m, t, ok in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(4)]
    for k, row in enumerate(cells):
        print(" | ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())
        if k == 0:
            print("-+-".join("-" * w for w in widths))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller N, fewer repeats")
    parser.add_argument("--n", type=int, help="requests for the timing figures (default 100,000)")
    parser.add_argument("--repeats", type=int, help="repeats per timing (default 7)")
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--keep-inputs", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        return memory_child(args.memory_child, args.keep_inputs)
    n = args.n or (10_000 if args.quick else 100_000)
    repeats = args.repeats or (3 if args.quick else 7)
    mem_n = 20_000 if args.quick else 200_000
    sizes = (1_000, 10_000, 100_000) if args.quick else (10_000, 100_000, 1_000_000)

    print(f"machine: {machine()}")
    print(f"N = {n:,}, median of {repeats} repeats\n", flush=True)
    rows = []
    bench_speed(n, repeats, rows)
    bench_memory(mem_n, rows)
    bench_scaling(sizes, max(3, repeats // 2), rows)
    print_table(rows)


if __name__ == "__main__":
    main()
