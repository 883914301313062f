"""Benchmark of the `tolmek` command on a HAR written the way a proxy writes one.

    python bench/cli.py            # 100,000 entries, 3 runs of each measurement (`make bench` runs this)
    python bench/cli.py --quick    # 10,000 entries, 3 runs

The HAR is made here, deterministically, in mitmdump's layout (four-space indentation): each entry
has a request with browser-like headers (cookies, a bearer token), a JSON body for POST, PUT and
PATCH, and a response with its headers and a JSON body of 1 to 2 KB. Every measurement runs in a
fresh child process, timed from just before the work to just after it, with the peak resident
memory (VmHWM, reset through /proc/self/clear_refs) less the resident memory before the work:

- load:    json.load of the file (opened in text mode, as anyone would)
- module:  the module's own work for the same requests: Tolmek(...) and get_request_command()
           for each, from lists made before the clock starts
- curl:    `tolmek curl FILE` with standard output to /dev/null
- postman: `tolmek postman FILE` with standard output to /dev/null

Start-up, in the same run: `python -c 0`, `tolmek --version` and `tolmek curl` of a one-request
JSON Lines file, each the wall time of a whole fresh process, taking turns, 40 runs each (--startup N).

Targets: curl time <= 1.5 x (load + module); curl peak memory <= 2 x the file's size; each start-up
<= 2 x `python -c 0`. Figures
are medians; the machine may be shared, so single runs are noisy.
"""

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

METHODS = ("GET",) * 11 + ("POST",) * 4 + ("PUT", "PATCH", "DELETE", "OPTIONS", "HEAD")
UA = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0.0.0 Safari/537.36"


def _pairs(items):
    return [{"name": k, "value": v} for k, v in items]


def entry(i):
    """Entry i of the HAR: deterministic, varied in method, sizes and text."""
    digest = hashlib.sha256(i.to_bytes(8, "little")).hexdigest()
    method = METHODS[i % len(METHODS)]
    host = "api.example.com"
    url = f"https://{host}/v2/accounts/{i % 977}/orders/{i}?expand=items&page={i % 40}&q=caf%C3%A9"
    headers = [("Host", host), ("User-Agent", UA), ("Accept", "application/json, text/plain, */*"),
               ("Accept-Language", "en-GB,en;q=0.9,de;q=0.8"), ("Accept-Encoding", "gzip, deflate, br"),
               ("Authorization", "Bearer " + digest), ("Cookie", f"session={digest[:32]}; theme=dark; seen={i}"),
               ("X-Request-Id", digest[32:64]), ("Referer", f"https://app.example.com/orders/{i}")]
    request = {"method": method, "url": url, "httpVersion": "HTTP/1.1", "cookies": [],
               "queryString": _pairs([("expand", "items"), ("page", str(i % 40)), ("q", "café")]),
               "headersSize": -1, "bodySize": 0}
    if method in ("POST", "PUT", "PATCH"):
        body = json.dumps({"id": i, "note": f"it's order {i} — \"rush\" ✓", "lines": [{"sku": digest[k:k + 8],
                           "qty": k + 1} for k in range(0, 8 * (1 + i % 5), 8)]}, ensure_ascii=False)
        headers += [("Content-Type", "application/json"), ("Content-Length", str(len(body.encode())))]
        request["postData"] = {"mimeType": "application/json", "text": body, "params": []}
        request["bodySize"] = len(body.encode())
    request["headers"] = _pairs(headers)
    payload = json.dumps({"id": i, "status": "shipped", "items": [
        {"sku": digest[k % 56:k % 56 + 8], "name": f"Widget {k} — größe {k % 7}", "price": round(k * 1.25, 2)}
        for k in range(10 + i % 12)]}, ensure_ascii=False)
    response = {"status": 200, "statusText": "OK", "httpVersion": "HTTP/1.1", "cookies": [],
                "headers": _pairs([("Date", "Tue, 07 May 2024 10:00:00 GMT"), ("Content-Type", "application/json"),
                                   ("Content-Length", str(len(payload.encode()))), ("Connection", "keep-alive"),
                                   ("Cache-Control", "no-store"), ("X-Request-Id", digest[32:64]),
                                   ("Strict-Transport-Security", "max-age=63072000"), ("Vary", "Accept-Encoding"),
                                   ("Server", "nginx")]),
                "content": {"size": len(payload.encode()), "compression": 0, "mimeType": "application/json",
                            "text": payload},
                "redirectURL": "", "headersSize": -1, "bodySize": len(payload.encode())}
    return {"startedDateTime": "2024-05-07T10:00:00.000000+00:00", "time": 12.5 + i % 30, "request": request,
            "response": response, "cache": {}, "timings": {"connect": -1, "ssl": -1, "send": 0.1, "receive": 0.4,
                                                           "wait": 11.0 + i % 30}, "serverIPAddress": "203.0.113.7"}


def write_har(path, n):
    with open(path, "w", encoding="utf-8") as f:
        f.write('{\n    "log": {\n        "version": "1.2",\n        "creator": {\n            "name": "mitmproxy",\n'
                '            "version": "12.3.1",\n            "comment": ""\n        },\n        "pages": [],\n'
                '        "entries": [\n')
        pad = "\n" + " " * 12
        for i in range(n):
            text = json.dumps(entry(i), indent=4, ensure_ascii=False)
            f.write(" " * 12 + text.replace("\n", pad) + (",\n" if i < n - 1 else "\n"))
        f.write("        ]\n    }\n}")


# -- child side: one measurement in a fresh process ------------------------------------------------

def _rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def child(mode, path):
    from tolmek import HTTPMETHOD, Tolmek

    work = None
    if mode == "load":
        def work():
            with open(path, encoding="utf-8") as f:
                return json.load(f)
    elif mode == "module":
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
        reqs = []
        for e in doc["log"]["entries"]:
            r = e["request"]
            headers = [(h["name"], h["value"]) for h in r["headers"] if h["name"].lower() != "content-length"]
            body = r["postData"]["text"] if "postData" in r else None
            reqs.append((r["url"], headers, getattr(HTTPMETHOD, r["method"]), body))
        del doc

        def work():
            return [Tolmek(u, h, m, b).get_request_command() for u, h, m, b in reqs]
    else:
        import tolmek_cli

        def work():
            return tolmek_cli.main([mode, path])

    import gc
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    before = _rss_kib("VmRSS")
    start = time.perf_counter()
    result = work()
    elapsed = time.perf_counter() - start
    peak = _rss_kib("VmHWM")
    if mode in ("curl", "postman") and result != 0:
        raise SystemExit(f"tolmek {mode} exited with {result}")
    sys.stderr.write(json.dumps({"seconds": elapsed, "peak_bytes": (peak - before) * 1024}) + "\n")
    os._exit(0)  # the result is not freed: that is not part of the work


def measure(mode, path):
    done = subprocess.run([sys.executable, __file__, "--child", mode, path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, check=True)
    return json.loads(done.stderr.strip().splitlines()[-1])


def startup(tmp, runs):
    """Median wall seconds of whole fresh processes: the interpreter alone, then the command's shortest
    jobs: --version and one request in each input format."""
    one = os.path.join(tmp, "one.jsonl")
    with open(one, "w", encoding="utf-8") as f:
        f.write('{"url": "https://api.example.com/v2/orders?page=2", "method": "GET", '
                '"headers": [["Accept", "application/json"]]}\n')
    # The same request in the other two formats, as the smallest files their readers are paid for.
    request = {"method": "GET", "url": "https://api.example.com/v2/orders?page=2"}
    har = os.path.join(tmp, "one.har")
    with open(har, "w", encoding="utf-8") as f:
        json.dump({"log": {"version": "1.2", "creator": {"name": "bench", "version": "1"}, "entries": [
            {"request": {**request, "httpVersion": "HTTP/1.1", "headers": [{"name": "Accept", "value": "application/json"}],
                         "queryString": [], "cookies": [], "headersSize": -1, "bodySize": 0}}]}}, f)
    collection = os.path.join(tmp, "one.postman_collection.json")
    with open(collection, "w", encoding="utf-8") as f:
        json.dump({"info": {"name": "bench", "schema": "https://schema.getpostman.com/json/collection/v2.1.0/"
                                                       "collection.json"},
                   "item": [{"name": "orders", "request": {**request, "header": [
                       {"key": "Accept", "value": "application/json"}]}}]}, f)
    # The installed command, not `python -m`, so its launcher's cost counts as a user's would.
    command = os.path.join(os.path.dirname(sys.executable), "tolmek")
    jobs = {"python -c 0": [sys.executable, "-c", "0"], "tolmek --version": [command, "--version"],
            "tolmek curl one.jsonl": [command, "curl", one], "tolmek curl one.har": [command, "curl", har],
            "tolmek curl one collection": [command, "curl", collection]}
    times = {label: [] for label in jobs}
    for _ in range(runs):
        for label, argv in jobs.items():  # taking turns, as above
            start = time.perf_counter()
            subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
            times[label].append(time.perf_counter() - start)
    return {label: statistics.median(t) for label, t in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="10,000 entries, 3 runs")
    parser.add_argument("--n", type=int, help="HAR entries (default 100,000)")
    parser.add_argument("--repeats", type=int, help="runs of each measurement (default 3)")
    parser.add_argument("--startup", type=int, default=40, help="fresh processes per start-up job (default 40)")
    parser.add_argument("--child", nargs=2, metavar=("MODE", "FILE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
    n = args.n or (10_000 if args.quick else 100_000)
    repeats = args.repeats or 3
    with tempfile.TemporaryDirectory(prefix="tolmek-bench-") as tmp:
        path = os.path.join(tmp, "capture.har")
        write_har(path, n)
        size = os.path.getsize(path)
        print(f"HAR: {n:,} entries, {size / 1e6:.1f} MB (mitmdump layout, response bodies 1-2 KB); "
              f"medians of {repeats} runs, each in a fresh process")
        runs = {mode: [] for mode in ("load", "module", "curl", "postman")}
        for _ in range(repeats):
            for mode in runs:  # the modes take turns, so a drift in machine load hits all alike
                runs[mode].append(measure(mode, path))
        starts = startup(tmp, args.startup)
    med = {mode: (statistics.median(r["seconds"] for r in rs), statistics.median(r["peak_bytes"] for r in rs))
           for mode, rs in runs.items()}
    print(f"{'measurement':<28}{'seconds':>10}{'peak memory / file':>22}")
    for mode, label in (("load", "json.load"), ("module", "module's own work"), ("curl", "tolmek curl"),
                        ("postman", "tolmek postman")):
        # The module's work reuses memory its set-up freed, so its peak says nothing.
        memory = "-" if mode == "module" else f"{med[mode][1] / size:.2f}"
        print(f"{label:<28}{med[mode][0]:>10.3f}{memory:>22}")
    floor = med["load"][0] + med["module"][0]
    print(f"tolmek curl time / (json.load + module's work): {med['curl'][0] / floor:.2f}  (target <= 1.5)")
    print(f"tolmek curl peak memory / file size:            {med['curl'][1] / size:.2f}  (target <= 2.0)")
    base = starts["python -c 0"]
    print(f"start-up, medians of {args.startup} fresh processes:")
    for label, seconds in starts.items():
        print(f"  {label:<30}{seconds:>10.3f}  {seconds / base:.2f} x python -c 0" + ("" if seconds is base
              else "  (target <= 2.0)"))


if __name__ == "__main__":
    main()
