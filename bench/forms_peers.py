"""tolmek's forms beside the converters people use for the same job (httpsnippet, its ReadMe fork,
postman-code-generators, curlconverter; installed in bench/node): each one's output for the hard cases
(tests/data/form_cases.json) and for the copied curl commands (tests/data/curl_commands.txt) run by the
form's runner against the loopback recorder, exact arrivals counted as tests/forms.py counts them, and
the conversions timed. Run by `make bench`; the tables also go to build/bench-forms.txt."""

import argparse
import contextlib
import io
import json
import os
import pathlib
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

ROOT = pathlib.Path(__file__).resolve().parent.parent
NODE_DIR = ROOT / "bench" / "node"
sys.path.insert(0, str(ROOT / "tests"))

import forms  # noqa: E402
import tolmek_cli  # noqa: E402
import tolmek_forms  # noqa: E402
from conftest import loopback_env  # noqa: E402
from tolmek_http.compose import command, held_back  # noqa: E402

PEER_SECONDS = 30  # a peer's output still running after this has hung
NODE_SECONDS = 900  # one peer converting every set, timed passes included
# The hard cases' shell payload (`$(touch /tmp/pwned)`) leaves this file behind wherever an output
# runs the text of a request as a command.
PWNED = pathlib.Path("/tmp/pwned")
DETAILS = []  # why each peer's request was not exact, for build/bench-forms-details.txt

_SNIPPET = {"httpx": ("python", "python3"), "requests": ("python", "requests"), "node": ("node", "native"),
            "httpie": ("shell", "httpie"), "wget": ("shell", "wget"), "http": ("http", "http1.1")}
# peer -> {tolmek's form: the peer's nearest target}. None writes httpx: beside it stands each peer's
# Python on the standard library alone (http.client), which has the same aim of sending what it is given.
TARGETS = {
    "httpsnippet": _SNIPPET,
    "@readme/httpsnippet": _SNIPPET,
    "postman-code-generators": {"httpx": ("python", "http.client"), "requests": ("python", "Requests"),
                                "node": ("nodejs", "Native"), "httpie": ("shell", "Httpie"),
                                "wget": ("shell", "wget"), "http": ("http", "HTTP")},
    "curlconverter": {"httpx": ("toPythonHttpWarn",), "requests": ("toPythonWarn",), "node": ("toNodeHttpWarn",),
                      "httpie": ("toHttpieWarn",), "wget": ("toWgetWarn",), "http": ("toHTTPWarn",)},
}
INPUT = {"httpsnippet": "har", "@readme/httpsnippet": "har", "postman-code-generators": "collection",
         "curlconverter": "curl"}
# The file a peer's output is run from, named as its own documentation names such files.
_FILE = {"httpx": "peer.py", "requests": "peer.py", "node": "peer.js", "httpie": "peer.sh", "wget": "peer.sh",
         "http": "peer.http"}
# Runners for a form tests/forms.py has none for yet (its writer is still to come), so that the
# peers' outputs are run from the start; the harness's own runner takes over once it is there.
_HTTPYAC = str(forms.NODE_BIN / "httpyac")
_STAND_IN = {
    "requests": (sys.executable, lambda d, main: [sys.executable, main]),
    "node": ("node", lambda d, main: ["node", main]),
    "httpie": ("http", lambda d, main: ["sh", main]),
    "wget": ("wget", lambda d, main: ["sh", main]),
    "http": (_HTTPYAC, lambda d, main: [_HTTPYAC, "send", main, "--all"]),
}


def child_env():
    """The harness's environment for runners, with this venv's tools (httpie's `http`) on PATH."""
    env = loopback_env()
    env["PATH"] = os.pathsep.join([str(pathlib.Path(sys.executable).parent), env.get("PATH", os.defpath)])
    return env


def runner(form):
    """(argv from (directory, main file), None) for the form's runner, or (None, why it cannot run)."""
    if form in forms.RUNNERS:
        reason = forms.runner_missing(form)
        return (None, reason) if reason else (forms.RUNNERS[form][1], None)
    if form not in _STAND_IN:
        return None, f"tests/forms.py has no runner for {form}"
    tool, argv = _STAND_IN[form]
    if shutil.which(tool, path=child_env()["PATH"]) is None:
        return None, f"{os.path.basename(tool)} is not installed"
    return argv, None


def tolmek_forms_here():
    """{form: None where its writer imports, else why not} (the other writers are still being written)."""
    here = {}
    for form in tolmek_forms.FORMS:
        try:
            tolmek_forms.writer(form)
            here[form] = None
        except ModuleNotFoundError as e:
            missing = e.name == f"tolmek_forms.writers.{tolmek_forms.FORMS[form]}"
            here[form] = "its writer is still to come" if missing else f"its writer does not import: {e}"
        except Exception as e:  # noqa: BLE001 - a writer half written: its row says so, the others go on
            here[form] = f"its writer does not import: {type(e).__name__}: {e}"
    return here


# The inputs each peer takes, made from the request values.

def har_entry(r):
    """The request as a browser's HAR records it. postData holds text: bytes that are not UTF-8
    reach the HAR's readers as U+FFFD."""
    query = r.target.partition("?")[2]
    request = {"method": r.method, "url": r.url, "httpVersion": "HTTP/1.1", "cookies": [], "headersSize": -1,
               "bodySize": -1, "headers": [{"name": n, "value": v} for n, v in r.headers],
               "queryString": [{"name": n, "value": v} for n, v in urllib.parse.parse_qsl(query, True)]}
    if r.body is not None:
        post = {"mimeType": r.header("Content-Type") or "", "text": r.body.decode("utf-8", "replace")}
        if post["mimeType"].lower().startswith("application/x-www-form-urlencoded"):
            post["params"] = [{"name": n, "value": v} for n, v in urllib.parse.parse_qsl(post["text"], True)]
        request["postData"] = post
    return request


def curl_command(r):
    """tolmek's curl command sending exactly the request: the headers curl adds of its own accord
    held back where the request has none (Host and Content-Length it places as the runners do)."""
    own = ("User-Agent", "Accept") + (("Content-Type", "Expect") if r.body is not None else ())
    try:
        return command(r.url, r.headers, r.method, r.body) + held_back(n for n in own if not r.has(n))
    except ValueError:
        return None


def quietly(argv):
    """tolmek_cli.main(argv) with its report on standard error kept from the table."""
    with contextlib.redirect_stderr(io.StringIO()):
        return tolmek_cli.main(argv)


_PLACE = re.compile(r"/(?:r(\d+)/)?t(\d+)/")


def collection_items(har_path, count, per, tmp):
    """Each request's item of the Postman collection `tolmek postman` writes from the HAR (None
    where the collection cannot hold it), placed by its /tN/ (or /rK/tN/, `per` cases a round)."""
    out = tmp / "collection.json"
    quietly(["postman", str(har_path), "-o", str(out)])
    items = [None] * count
    stack = json.loads(out.read_text())["item"] if out.exists() else []
    while stack:
        item = stack.pop()
        stack.extend(item.get("item", []))
        url = (item.get("request") or {}).get("url")
        if m := _PLACE.search(url.get("raw", "") if type(url) is dict else url or ""):
            items[int(m.group(1) or 0) * per + int(m.group(2))] = item["request"]
    return items


def larger(requests, times):
    """The cases `times` over, each round under a path of its own (/rK/tN/...)."""
    return [tolmek_forms.Request(r.method, f"{r.origin}/r{k}{r.target}", r.headers, r.body, label=r.label,
                                 index=k * len(requests) + r.index)
            for k in range(times) for r in requests]


def peer_answer(peer, sets, jobs):
    """The node driver's answer for one peer ({"version", "results"}), or {"error": why}."""
    if shutil.which("node") is None:
        return {"error": "node is not installed"}
    if not (NODE_DIR / "node_modules" / peer / "package.json").exists():
        return {"error": "not installed (npm ci --prefix bench/node)"}
    try:
        proc = subprocess.run(["node", str(NODE_DIR / "convert.mjs")], cwd=NODE_DIR, capture_output=True,
                              input=json.dumps({"peer": peer, "sets": sets, "jobs": jobs}).encode(),
                              timeout=NODE_SECONDS)
    except subprocess.TimeoutExpired:
        return {"error": f"converting took over {NODE_SECONDS} s"}
    try:
        return json.loads(proc.stdout)
    except ValueError:
        last = (proc.stderr.decode(errors="replace").strip().splitlines() or [""])[-1]
        return {"error": f"node exit {proc.returncode}: {last[:200]}"}


def run_alone(argv, directory, name, text, env):
    """Writes `text` to directory/name and runs it there: "ran", "timed out" or why it did not start.
    A run that times out is ended with its whole process group (a shell's children with it)."""
    directory.mkdir(parents=True, exist_ok=True)
    main = directory / name
    main.write_text(text, encoding="utf-8", errors="replace")
    try:
        proc = subprocess.Popen(argv(str(directory), str(main)), cwd=directory, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    except OSError as e:
        return f"did not start ({e.strerror})"
    try:
        proc.wait(timeout=PEER_SECONDS)
        return "ran"
    except subprocess.TimeoutExpired:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return "timed out"


@contextlib.contextmanager
def watching(notes):
    """Notes it when what ran in the block ran the hard cases' shell payload (and removes its mark)."""
    before = PWNED.exists()
    yield
    if not before and PWNED.exists():
        notes["ran text of a request as a shell command"] += 1
        PWNED.unlink()


def verdict(tally, notes, output, status, pairs, where):
    """Counts one request (or one of a command's requests) of a peer: `pairs` is [(sent, arrived)],
    or None when the arrivals do not pair up with what was sent; warnings count as a named loss.
    What kept it from being exact goes to DETAILS under `where`."""
    if output is None:
        tally["skipped"] += 1
        notes["without an input (the input form cannot hold it)"] += 1
        return
    if "error" in output:
        tally["skipped"] += 1
        notes["refused with an error"] += 1
        DETAILS.append(f"{where}: refused: {output['error']}")
        return
    differences = ["no single arrival"] if pairs is None else [d for w, g in pairs for d in forms.mismatches(w, g)]
    if not differences:
        tally["exact"] += 1
        return
    kind = "named" if output["warnings"] else "wrong"
    tally[kind] += 1
    if kind == "wrong" and status != "ran":
        notes[status] += 1
    DETAILS.append(f"{where}: {kind}{'' if status == 'ran' else f' ({status})'}: " + "; ".join(differences)
                   + "".join(f"\n    warned: {w}" for w in output["warnings"]))


def run_cases(form, argv, outputs, requests, recorder, scratch, name):
    """Each hard case's output run alone (several at once; their targets' /tN/ tell them apart): the tally and notes."""
    env, tally, notes = child_env(), Counter(), Counter()
    todo = [(r, o["text"]) for r, o in zip(requests, outputs) if o and "text" in o]
    recorder.take()
    with watching(notes), ThreadPoolExecutor(8) as pool:
        statuses = dict(zip([r.index for r, _ in todo], pool.map(
            lambda job: run_alone(argv, scratch / str(job[0].index), _FILE[form], job[1], env), todo)))
    arrivals = {}
    for a in recorder.take():
        arrivals.setdefault(a.target.split(b"/", 2)[1] if a.target.startswith(b"/t") else b"", []).append(a)
    for r, output in zip(requests, outputs):
        got = arrivals.get(f"t{r.index}".encode(), [])
        verdict(tally, notes, output, statuses.get(r.index), [(r, got[0])] if len(got) == 1 else None,
                f"{name} {form}: {r.label}")
    return tally, notes


def run_commands_alike(form, argv, outputs, expected, recorder, work, name, labels):
    """Each copied command's output run in turn in `work` (the files the commands name), its
    arrivals told apart by the recorder's tag file: the tally (per request curl sent) and notes."""
    env, tally, notes, statuses = child_env(), Counter(), Counter(), {}
    tag = work / ".tag"
    recorder.tag_file = tag
    recorder.take()
    with watching(notes):
        for i, output in enumerate(outputs):
            if output and "text" in output:
                tag.write_text(str(i))
                statuses[i] = run_alone(argv, work, f"c{i}-{_FILE[form]}", output["text"], env)
    arrivals = {}
    for a in recorder.take():
        arrivals.setdefault(int(a.tag), []).append(a)
    recorder.tag_file = None
    for i, (output, want) in enumerate(zip(outputs, expected)):
        got = arrivals.get(i, [])
        for w, g in zip(want, got):
            forms.same_boundary(w, g)
        for w, g in zip(want, got) if len(got) == len(want) else ((w, None) for w in want):
            verdict(tally, notes, output, statuses.get(i), None if g is None else [(w, g)],
                    f"{name} {form}: copied {labels[i]}")
    return tally, notes


def median_seconds(fn, runs):
    """The median time of `runs` calls of fn, after one call that warms it up."""
    fn()
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def _peer_target(peer, form):
    target = TARGETS[peer][form]
    return re.sub(r"^to|Warn$", "", target[0]) if peer == "curlconverter" else "/".join(target)


def _n_a(form, name, target, why):
    return {"form": form, "by": name, "target": target, "why": why}


def tolmek_row(form, clock, prove, scratch):
    """tolmek's row for a form: the times (`clock()`), and the harness's tally where the form's runner is here."""
    row = {"form": form, "by": "tolmek", "target": form}
    try:
        row.update(clock())
        if form not in forms.RUNNERS:
            row["why"] = "tests/forms.py has no runner for it yet"
        elif why := forms.runner_missing(form):
            row["why"] = why
        else:
            notes = Counter()
            with watching(notes):
                row.update(tally=prove(scratch), notes=notes)
    except Exception as e:  # noqa: BLE001 - the suite says what broke; here the other rows go on
        row["why"] = f"failed: {type(e).__name__}: {e}"
    return row


def hard_cases(recorder, tmp, runs, times):
    """The rows of the hard cases' table: tolmek's forms, then each peer's nearest targets."""
    base = f"127.0.0.1:{recorder.port}"
    requests = forms.cases(base)
    big = larger(requests, times)
    here = tolmek_forms_here()
    sets, hars = {}, {}
    for name, rs in (("cases", requests), ("large", big)):
        entries = [har_entry(r) for r in rs]
        hars[name] = tmp / f"{name}.har"
        hars[name].write_text(json.dumps({"log": {"version": "1.2", "creator": {"name": "tolmek bench", "version": "1"},
                                                  "entries": [{"request": e} for e in entries]}}))
        sets[name] = {"har": entries, "collection": collection_items(hars[name], len(rs), len(requests), tmp),
                      "curl": [curl_command(r) for r in rs]}

    def clock(form):
        """tolmek_forms.write on each set's request values, as the peers convert their parsed inputs."""
        return {"cases": median_seconds(lambda: tolmek_forms.write(form, requests), runs),
                "large": median_seconds(lambda: tolmek_forms.write(form, big), runs)}

    def clock_command(form):
        """`tolmek FORM` in process on each set's HAR file, writing the output's file."""
        mod, clocked = tolmek_forms.writer(form), {}
        for name in ("cases", "large"):
            out = tmp / "tolmek" / name / form
            out.mkdir(parents=True, exist_ok=True)
            argv = [form, str(hars[name]), "-o", str(out if mod.FOLDER else out / mod.MAIN)]
            clocked[name] = median_seconds(lambda: quietly(argv), runs)
        return clocked

    rows = []
    for form in tolmek_forms.FORMS:
        if here[form] is not None:
            rows.append(_n_a(form, "tolmek", form, here[form]))
            continue
        rows.append(tolmek_row(form, lambda: clock(form),
                               lambda scratch: forms.prove(form, forms.cases(base), scratch, recorder)[0],
                               tmp / "run" / "tolmek" / form))
        rows.append({"form": form, "by": "tolmek, the command", "target": f"tolmek {form} FILE.har -o FILE",
                     "why": "times only: the HAR file read, the output's file written", **clock_command(form)})
    for peer, targets in TARGETS.items():
        forms_of = [f for f in tolmek_forms.FORMS if f in targets]
        jobs = [{"target": targets[f], "set": name, "runs": runs, "keep": name == "cases"}
                for f in forms_of for name in ("cases", "large")]
        answer = peer_answer(peer, {name: sets[name][INPUT[peer]] for name in sets}, jobs)
        name = f"{peer} {answer.get('version', '')}".strip()
        for k, form in enumerate(forms_of):
            target = _peer_target(peer, form)
            if "error" in answer:
                rows.append(_n_a(form, name, target, answer["error"]))
                continue
            small, large = answer["results"][2 * k:2 * k + 2]
            if "missing" in small:
                rows.append(_n_a(form, name, target, small["missing"]))
                continue
            row = {"form": form, "by": name, "target": target, "cases": statistics.median(small["seconds"]),
                   "large": statistics.median(large["seconds"])}
            argv, why = runner(form)
            if argv is None:
                row["why"] = why
            else:
                tally, notes = run_cases(form, argv, small["outputs"], requests, recorder, tmp / "run" / peer / form,
                                         name)
                row.update(tally=tally, notes=notes)
            rows.append(row)
    return rows, len(requests), len(big)


def copied_commands(recorder, tmp, runs):
    """The rows of the copied commands' table (tolmek reading them, curlconverter converting them),
    and the heading's facts; rows are empty where curl is not here to say what they send."""
    import faithful
    import test_curl_reader as table
    from http_matrix import CURL, run_commands

    if CURL is None:
        return [], "curl is not installed: what the commands send is not known here"
    work = tmp / "copied"
    work.mkdir()
    for name, data in table.FILES.items():
        (work / name).write_bytes(data)
    texts = [table.CASE[name][0].replace("ORIGIN", recorder.base).replace("PORT", str(recorder.port))
             for name in table.RUN]
    by_index, _ = run_commands("bash", texts, work, [recorder])
    version = faithful.curl_version().decode()
    expected = [[forms.as_sent(a, recorder.base) for a in by_index.get(i, [])] for i in range(len(texts))]
    total = sum(map(len, expected))
    values, paired, unread = [], [], 0
    for text, want in zip(texts, expected):
        read, _ = forms.copied_values(text, work, version)
        if len(read) == len(want):
            values += read
            paired += want
        else:  # read otherwise than curl sends it: each of its requests is wrong in every form
            unread += len(want)
    for n, value in enumerate(values):
        value.index = n
    here = tolmek_forms_here()
    rows = []

    def read_and_write(form):
        tolmek_forms.write(form, [v for t in texts for v in forms.copied_values(t, work, version)[0]])

    def prove(form, scratch):
        tally, _ = forms.prove_against(form, values, paired, scratch, recorder, forms.same_boundary)
        tally["wrong"] += unread
        return tally

    for form in (f for f, why in here.items() if why is None):
        rows.append(tolmek_row(form, lambda: {"cases": median_seconds(lambda: read_and_write(form), runs)},
                               lambda scratch: prove(form, scratch), tmp / "run" / "copied" / form))
    targets = TARGETS["curlconverter"]
    forms_of = [f for f in tolmek_forms.FORMS if f in targets]
    answer = peer_answer("curlconverter", {"copied": texts},
                         [{"target": targets[f], "set": "copied", "runs": runs, "keep": True} for f in forms_of])
    name = f"curlconverter {answer.get('version', '')}".strip()
    for k, form in enumerate(forms_of):
        target = _peer_target("curlconverter", form)
        result = answer["results"][k] if "error" not in answer else {"missing": answer["error"]}
        if "missing" in result:
            rows.append(_n_a(form, name, target, result["missing"]))
            continue
        row = {"form": form, "by": name, "target": target, "cases": statistics.median(result["seconds"])}
        argv, why = runner(form)
        if argv is None:
            row["why"] = why
        else:
            place = shutil.copytree(work, tmp / "run" / "copied-peer" / form)  # what one run leaves, no other sees
            tally, notes = run_commands_alike(form, argv, result["outputs"], expected, recorder, place, name,
                                              table.RUN)
            row.update(tally=tally, notes=notes)
        rows.append(row)
    return rows, f"the {len(texts)} runnable commands, {total} requests as curl {version} sent them"


def _ms(seconds):
    return "" if seconds is None else f"{seconds * 1e3:.3g} ms" if seconds < 10 else f"{seconds:.3g} s"


def table(rows, timed):
    """The rows as a Markdown table; `timed` names the time columns ((key, heading), ...). Each
    peer's time is also given as a multiple of tolmek's for the same form (the last time column)."""
    key = timed[-1][0]
    tolmek = {r["form"]: r.get(key) for r in rows if r["by"] == "tolmek"}
    out = ["| form | converter | target | exact | named | skipped | wrong | "
           + " | ".join(h for _, h in timed) + " | × tolmek's time | notes |",
           "|---" * (9 + len(timed)) + "|"]
    for r in rows:
        if "tally" in r:
            t = r["tally"]
            counts = [f"{t['exact']} / {sum(t.values())}", *(str(t[k]) for k in ("named", "skipped", "wrong"))]
            notes = "; ".join(f"{n} {what}" for what, n in sorted(r["notes"].items()))
        else:
            counts, notes = ["n/a", "", "", ""], r["why"]
        ratio = f"{r[key] / tolmek[r['form']]:.2f}" if r.get(key) and tolmek.get(r["form"]) else ""
        out.append(f"| {r['form']} | {r['by']} | {r['target']} | {' | '.join(counts)} | "
                   f"{' | '.join(_ms(r.get(k)) for k, _ in timed)} | {ratio} | {notes} |")
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="3 timed passes, the cases 10 times over")
    parser.add_argument("--runs", type=int, help="timed passes of each conversion (default 7)")
    parser.add_argument("--times", type=int, help="the larger set: the cases this many times over (default 50)")
    args, _ = parser.parse_known_args()  # make bench passes its own options to every script
    runs = args.runs or (3 if args.quick else 7)
    times = args.times or (10 if args.quick else 50)
    with tempfile.TemporaryDirectory() as tmp, forms.with_recorder() as recorder:
        tmp = pathlib.Path(tmp)
        rows, n, big = hard_cases(recorder, tmp, runs, times)
        copied, facts = copied_commands(recorder, tmp, runs)
    lines = [
        f"Forms beside their peers: the {n} hard cases (tests/data/form_cases.json) in each converter's output, "
        "each run by the form's runner against the loopback recorder.",
        "exact: arrived as written; named: not exact, and said so (a tolmek loss, a peer's warning); skipped: "
        "refused with a reason, or not in the peer's input at all; wrong: the rest, hung runs among them "
        "(each one's differences: build/bench-forms-details.txt).",
        "Inputs: tolmek the request values; httpsnippet a HAR of them (its text bodies hold no bytes that are "
        "not UTF-8); postman-code-generators the collection `tolmek postman` writes from that HAR; curlconverter "
        "tolmek's curl command of each. Times: median of "
        f"{runs} passes in process, the peers' from their parsed input, tolmek's from its request values.",
        "", *table(rows, (("cases", f"convert {n}"), ("large", f"convert {big}"))), "",
        f"Copied curl commands (tests/data/curl_commands.txt): {facts}; tolmek reads and writes them, "
        "curlconverter converts them; each request compared with what curl sent.",
    ]
    if copied:
        lines += ["", *table(copied, (("cases", "convert all"),))]
    text = "\n".join(lines) + "\n"
    print(text, end="")
    (ROOT / "build").mkdir(exist_ok=True)
    (ROOT / "build" / "bench-forms.txt").write_text(text, encoding="utf-8")
    (ROOT / "build" / "bench-forms-details.txt").write_text("".join(f"{d}\n" for d in DETAILS), encoding="utf-8")


if __name__ == "__main__":
    main()
