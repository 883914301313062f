"""Benchmarks: tolmek against plain-Python ways of doing the same work, and against floors.

    python bench/run.py            # full run: 3 runs in fresh processes, medians (`make bench`)
    python bench/run.py --quick    # smaller N, fewer repeats, one run, about ten seconds

Options:
    --quick        N = 10,000, memory N = 20,000, scaling at 1k/10k/100k, 3 repeats, 1 run
    --n N          requests for the timing figures (default 100,000)
    --repeats R    repeats per timing; the median is reported (default 7)
    --runs K       whole runs, each in a fresh process; the table gives the median of each
                   figure (default 3, or 1 with --quick)
    --sections S   only these parts (construction,command,collection,export,memory,scaling)

Every input string is built before timing (bench/workload.py); "fresh inputs" are new str
objects made for each timed run, as a parser would hand them over. Every timing is taken with
the garbage collector on, as programs run (a full collection before each timed call, then
collections happen as the call's allocations trigger them), and with it off, beside it; targets
are judged with it on. Results are freed outside the timed region. Absolute times on a shared
machine are noise, so each figure is a ratio against a plain-Python baseline measured in the
same run, or a per-request cost; the timings being compared, and the two collector settings,
take turns.

Floors are what no implementation can beat (bench/floor.c, built by scripts/bench.sh): a C
type whose construction only keeps references, one that copies every text's storage as it
is into a block of its own (what owning the texts costs at the least), and a new str of the
command's size filled with one memcpy; for the export, bytes.decode of the export's own UTF-8.
Memory figures come from fresh child processes with the collector on (VmRSS growth while
filling a collection, and VmHWM, reset through /proc/self/clear_refs, around the export).
Scaling compares user CPU time per request, which is the module's own work; wall time beside
it also holds the kernel's cost of handing out fresh pages for large outputs.
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

import workload  # bench/ is sys.path[0] when this file is run as a script
from tolmek import Tolmek, TolmekCollection

try:  # orjson may have no wheel yet for a new Python; its comparison is then left out
    import orjson
except ImportError:
    orjson = None

try:  # the floors (bench/floor.c), built by scripts/bench.sh
    import _floor
except ImportError:
    _floor = None

# The collector settings every timing is taken with: on (as programs run; targets are judged
# on it) and off.
COLLECTOR = ("on", "off")


def user_seconds():
    return resource.getrusage(resource.RUSAGE_SELF).ru_utime


def once(fn, collector="on", cpu=None):
    """Wall time of one fn() call in ns, after a full collection, with the collector on or off;
    the result is dropped after the clock stops. With a list as `cpu`, the call's user CPU
    seconds are appended to it."""
    gc.collect()
    if collector == "off":
        gc.disable()
    try:
        user = user_seconds()
        start = time.perf_counter_ns()
        result = fn()
        elapsed = time.perf_counter_ns() - start
        if cpu is not None:
            cpu.append(user_seconds() - user)
    finally:
        gc.enable()
    del result
    return elapsed


def by_collector(samples):
    """{setting: [median of each fn]} from rows of {setting: [one sample per fn]}."""
    return {c: [statistics.median(column) for column in zip(*(row[c] for row in samples))] for c in COLLECTOR}


def timed(*fns, repeats):
    """{setting: median ns of each fn} for both collector settings; the fns and the settings
    take turns so that a drift in machine load hits all alike."""
    return by_collector([{c: [once(fn, c) for fn in fns] for c in COLLECTOR} for _ in range(repeats)])


def timed_fresh(*fns, prepare, repeats):
    """As timed(), for fn(inputs), every call on inputs that prepare() made just before it
    (outside the clock), so that no call finds what an earlier one left in its inputs."""
    def sample(fn, collector):
        inputs = prepare()
        return once(lambda: fn(inputs), collector)

    return by_collector([{c: [sample(fn, c) for fn in fns] for c in COLLECTOR} for _ in range(repeats)])


class Rows:
    """The table: (figure, {setting: value}, format, target, note) per row; target is (op, bound)
    or None and is judged with the collector on. A figure that does not depend on the setting
    has only "on"."""

    def __init__(self):
        self.rows = []

    def add(self, figure, values, fmt="{:.2f}", target=None, note=""):
        if not isinstance(values, dict):
            values = {"on": values}
        self.rows.append((figure, values, fmt, target, note))

    def each(self, figure, got, value, fmt="{:.2f}", target=None, note=None):
        """A row of value(medians) for each setting of `got` (timed()'s result); note(medians)
        is taken with the collector on."""
        self.add(figure, {c: value(got[c]) for c in got}, fmt, target, note(got["on"]) if note else "")

    def ratio(self, figure, got, base, i, n, target=None):
        """got[base] / got[i], as "x" faster, with both per-request times as the note."""
        self.each(figure, got, lambda m: m[base] / m[i], "{:.2f}x", target and (">=", target),
                  lambda m: f"{m[base] / n:.0f} vs {m[i] / n:.0f} ns/req")

    def per_request(self, figure, got, i, n):
        self.each(f"{figure} per request", got, lambda m: m[i] / n, "{:.0f} ns")


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
    rows.ratio("construct, fresh inputs: __slots__ / Tolmek", got, 0, 1, n, 1.1)
    if Keep:
        rows.ratio("  floor: __slots__ / C type keeping references", got, 0, 2, n)
        # Reading every text out of fresh, cache-cold input objects is what owning them costs.
        rows.ratio("  floor: __slots__ / C type copying the texts' storage", got, 0, 3, n)
        rows.each("  Tolmek / C type copying the texts' storage", got, lambda m: m[1] / m[3])
    # The same inputs again: their str objects were already seen by earlier runs.
    got = timed(*(lambda f=f: f(reqs) for f in contenders), repeats=repeats)
    rows.ratio("construct, inputs reused: __slots__ / Tolmek", got, 0, 1, n, 1.1)
    if Keep:
        rows.ratio("  floor: __slots__ / C type copying the texts' storage (reused)", got, 0, 3, n)


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
    rows.ratio("curl command: f-string / get_request_command", got, 0, 1, n, 6.0)
    if _floor:
        rows.ratio("  floor: f-string / new str + memcpy of the command", got, 0, 2, n)
        rows.each("  get_request_command / floor", got, lambda m: m[1] / m[2])


def bench_collection(n, repeats, rows):
    plain, objs = prepared(n)
    coll = fill(objs)
    rows.per_request("add_request", timed(lambda: fill(objs), repeats=repeats), 0, n)
    rows.per_request("get_collection", timed(coll.get_collection, repeats=repeats), 0, n)

    text = coll.export_collection()
    assert text == workload.reference_text(plain), "export differs from json.dumps of the same document"
    doc = workload.reference_document(plain)
    fns = [coll.export_collection, lambda: workload.reference_text(plain)]
    if orjson:
        fns.append(lambda: orjson.dumps(doc, option=orjson.OPT_SORT_KEYS).decode())
    got = timed(*fns, repeats=repeats)
    rows.ratio("export: dict tree + json.dumps / export", got, 1, 0, n, 10.0)
    if orjson:
        rows.ratio("export: orjson (prebuilt doc) / export", got, 2, 0, n, 2.0)


def bench_export(sizes, repeats, rows):
    """export_collection against its floor, bytes.decode of the export's own UTF-8 (as fast as
    any str of that text can be made), in user CPU and wall time, as N grows out of the caches.
    Calls are batched to some 300,000 requests, so that a small N still takes many clock ticks
    of user CPU time; a batch's results are freed after its clock stops."""
    for n in sizes:
        coll = fill(build(workload.requests(n)))
        data = coll.export_collection().encode()
        batch = max(1, 300_000 // n)

        def run(fn):
            return lambda: [fn() for _ in range(batch)]

        samples = []
        for _ in range(repeats):
            row = {}
            for c in COLLECTOR:
                cpu = []
                wall = [once(run(fn), c, cpu) for fn in (coll.export_collection, data.decode)]
                row[c] = wall + cpu
            samples.append(row)
        got = by_collector(samples)  # wall export, wall floor, user export, user floor
        rows.each(f"export / floor, N={n:,}, user CPU", got, lambda m: m[2] / m[3], target=("<=", 1.25),
                  note=lambda m: f"{m[2] * 1e9 / (batch * n):.0f} vs {m[3] * 1e9 / (batch * n):.0f} ns/req")
        rows.each(f"export / floor, N={n:,}, wall", got, lambda m: m[0] / m[1], target=("<=", 1.25),
                  note=lambda m: f"{m[0] / (batch * n):.0f} vs {m[1] / (batch * n):.0f} ns/req")
        del coll, data


def proc_status(key):
    """A kB figure from /proc/self/status, in bytes."""
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{key}:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024


def memory_child(n, keep_inputs):
    """Runs in a fresh process, collector on: RSS growth of a filled collection, then the
    export's peak.

    With keep_inputs the input strings are all built first and stay alive, so the growth also
    holds anything construction leaves inside the caller's str objects (such as a cached UTF-8
    copy); otherwise each request's inputs are made in the loop and dropped with it.
    """
    reqs = workload.requests(n, fresh_texts=True) if keep_inputs else None
    gc.collect()
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


def bench_scaling(sizes, repeats, rows):
    """Per-request cost as N grows; small N get more repeats, as their runs are short."""
    wall, user, floor = [], [], []
    for n in sizes:
        objs = build(workload.requests(n))
        reps = repeats * max(1, 100_000 // n)
        samples = []
        data = add_and_export(objs)[1].encode()
        for _ in range(reps):
            row = {}
            for c in COLLECTOR:
                cpu = []
                row[c] = [once(lambda: add_and_export(objs), c, cpu), cpu[0]]
                # Context: large outputs cost fresh pages (kernel time) and memory bandwidth
                # whatever makes them, so the same wall-time ratio for merely decoding the output.
                row[c].append(once(data.decode, c))
            samples.append(row)
        got = by_collector(samples)
        wall.append({c: got[c][0] / n for c in COLLECTOR})
        user.append({c: got[c][1] / n for c in COLLECTOR})
        floor.append({c: got[c][2] / n for c in COLLECTOR})
        rows.add(f"add_request + export, N={n:,}", wall[-1], "{:.0f} ns/req")
        del objs, data
    ratio = lambda values: {c: values[-1][c] / values[0][c] for c in COLLECTOR}  # noqa: E731
    rows.add(f"scaling: user CPU per request N={sizes[-1]:,} / N={sizes[0]:,}", ratio(user), "{:.2f}", ("<=", 1.1))
    rows.add("  same ratio in wall time", ratio(wall))
    rows.add("  wall-time ratio for bytes.decode of the output", ratio(floor))


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
    """One line per figure: with the collector on, the median over the runs and each run's
    value; the median with it off; the target and whether the median with it on meets it."""
    head = ("figure", "collector on", "runs", "off", "target", "met?", "note (median run, on)")
    cells = [head]
    for column in zip(*runs):
        figure, _, fmt, target, _ = column[0]
        medians = {}
        for c in COLLECTOR:
            values = [row[1][c] for row in column if c in row[1]]
            medians[c] = (statistics.median(values), values) if values else None
        median, values = medians["on"]
        note = min(column, key=lambda row: abs(row[1]["on"] - median))[4]
        ok = met(median, target)
        cells.append((figure, fmt.format(median), " ".join(fmt.format(v) for v in values) if len(values) > 1 else "",
                      fmt.format(medians["off"][0]) if medians["off"] else "",
                      "-" if target is None else f"{target[0]} {target[1]:g}",
                      "-" if ok is None else ("yes" if ok else "NO"), note))
    widths = [max(len(row[i]) for row in cells) for i in range(len(head))]
    for k, row in enumerate(cells):
        print(" | ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())
        if k == 0:
            print("-+-".join("-" * w for w in widths))


SECTIONS = ("construction", "command", "collection", "export", "memory", "scaling")


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
    if "export" in sections:
        bench_export(sizes, repeats, rows)
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
    print(f"N = {n:,}; {runs} run(s) in fresh processes, each figure the median of its repeats, with the"
          " garbage collector on (as programs run; targets judged on it) and off"
          + ("" if _floor else "; floors not built (bench/floor.c)")
          + ("" if orjson else "; orjson not installed, its comparison left out"), flush=True)
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
