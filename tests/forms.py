"""Proof harness for the forms: requests written in a form, run by the form's real runner against the
loopback recorder, each arrival compared with the request; a tally per form for the summary."""

import base64
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
from collections import Counter

import pytest
from conftest import loopback_env, missing
from recorder import Recorder

import tolmek_forms
from tolmek_forms import Request

DATA = pathlib.Path(__file__).parent / "data" / "form_cases.json"
# Traps of the HTTP client libraries, for the forms written for them; "lost_by": the forms that must name a loss.
TRAPS = pathlib.Path(__file__).parent / "data" / "form_traps.json"
# What the syntax of a command line or a .http file could turn into something else; "lost_by" and
# "skipped_by": the forms that must name a loss, or skip the request.
SYNTAX_TRAPS = pathlib.Path(__file__).parent / "data" / "form_syntax_traps.json"
NODE_BIN = pathlib.Path(__file__).parent / "node" / "node_modules" / ".bin"
RUN_SECONDS = 120

# form -> {"exact": n, "named": n, "skipped": n, "wrong": n}, for the summary (conftest.py).
TALLY = {}


def _venv_tool(name):
    here = pathlib.Path(sys.executable).parent / name
    return str(here) if here.exists() else shutil.which(name)


def _on_path(tool):
    """The environment additions putting the folder of `tool` (a callable finding it) first on PATH."""
    return lambda: {"PATH": os.pathsep.join(filter(None, [os.path.dirname(tool()), os.environ.get("PATH")]))}


def _httpie():
    return _venv_tool("http")


# How each form's output is run: form -> (the tool it needs, argv from (the output's directory, its main
# file)[, the runner's additions to the environment]). The first element of argv is looked up on PATH
# when it is not a path.
RUNNERS = {
    "httpx": (None, lambda d, main: [sys.executable, main]),
    "requests": (None, lambda d, main: [sys.executable, main]),
    "node": ("node", lambda d, main: ["node", main]),
    "hurl": ("hurl", lambda d, main: ["hurl", main]),
    "wget": ("wget", lambda d, main: ["sh", main]),
    # The collection's folder is the working directory; without --disable-cookies Bruno would add
    # the cookies its jar got from earlier answers.
    "bruno": (str(NODE_BIN / "bru"), lambda d, main: [str(NODE_BIN / "bru"), "run", "--disable-cookies"]),
    # The script calls `http`: the one installed beside this Python, found through PATH.
    "httpie": (_httpie, lambda d, main: ["sh", main], _on_path(_httpie)),
    "http": (str(NODE_BIN / "httpyac"),
             lambda d, main: [str(NODE_BIN / "httpyac"), "send", main, "--all", "--output", "short", "--timeout",
                              "30000", "--no-color"]),
}


# Forms whose runner only some places have: hurl is packaged by Debian's unstable root alone (`make
# test` runs it there). Where it is missing such a form is skipped, even where CI=true makes any other
# missing runner a failure.
OPTIONAL_RUNNERS = {"hurl"}


def require_runner(form):
    """Skip the test (or, for a runner every place must have, fail it under CI=true) when the
    form's runner cannot run here."""
    if (reason := runner_missing(form)) is None:
        return
    if form in OPTIONAL_RUNNERS:
        pytest.skip(reason)
    missing(reason)


def runner_missing(form):
    """Why the form's runner cannot run here, or None."""
    tool = RUNNERS[form][0]
    if tool is None:
        return None
    return None if (callable(tool) and tool()) or (type(tool) is str and shutil.which(tool)) else \
        f"{form}'s runner {tool if type(tool) is str else ''} is not installed"


def cases(base_host, data=DATA):
    """The hard cases of the data file as request values, each target under a prefix of its own
    (/tN) so that an arrival is matched to its case whatever order the runner keeps."""
    out = []
    for n, case in enumerate(json.loads(data.read_text())):
        if "body_b64" in case:
            body = base64.b64decode(case["body_b64"])
        elif "body_repeat" in case:
            text, times = case["body_repeat"]
            body = (text * times).encode()
        elif "body" in case:
            body = case["body"].encode("utf-8")
        else:
            body = None
        headers = [(name, value.replace("{host}", base_host).replace("{length}", str(len(body or b""))))
                   for name, value in case["headers"]]
        out.append(Request(case["method"], f"http://{base_host}/t{n}{case['path']}", headers, body,
                           label=case["name"], index=n))
    return out


def mismatches(request, arrival):
    """What differs between the request and its arrival (empty when it arrived exactly). A runner
    may add Host and Content-Length where the request lists none, with their right values only."""
    out = []
    if arrival.method != request.method.encode():
        out.append(f"method {arrival.method!r}")
    if arrival.target != request.target.encode():
        out.append(f"target {arrival.target!r} instead of {request.target!r}")
    if arrival.faults:
        out.append(f"framing: {arrival.faults}")
    body = request.body or b""
    got = list(arrival.headers)
    for name, wanted in ((b"host", request.host.encode()),
                         (b"content-length", None if request.body is None or request.has("Transfer-Encoding")
                          else str(len(body)).encode())):
        if request.has(name.decode()):
            continue
        added = [v for n, v in got if n.lower() == name]
        got = [(n, v) for n, v in got if n.lower() != name]
        if added != ([wanted] if wanted is not None else []) and not (name == b"content-length" and added == [b"0"]
                                                                      and not body and request.method in
                                                                      ("POST", "PUT", "PATCH")):
            out.append(f"{name.decode()} {added} added")
    sent = [(n.encode(), v.encode().strip(b" \t")) for n, v in request.headers]
    if got != sent:
        out.append(f"headers {got}\n      instead of {sent}")
    if arrival.body != body:
        out.append(f"body {arrival.body[:120]!r} ({len(arrival.body)} bytes) instead of {body[:120]!r} "
                   f"({len(body)} bytes)")
    return out


def run_output(form, requests, scratch, recorder, env=None):
    """(what the form wrote, the finished run of its output in `scratch`, the arrivals)."""
    written = tolmek_forms.write(form, requests)
    scratch.mkdir(parents=True, exist_ok=True)
    for path, data in written.files.items():
        (scratch / path).parent.mkdir(parents=True, exist_ok=True)
        (scratch / path).write_bytes(data)
    recorder.take()
    argv = RUNNERS[form][1](str(scratch), str(scratch / written.main))
    own = RUNNERS[form][2]() if len(RUNNERS[form]) > 2 else {}
    run = subprocess.run(argv, cwd=scratch, capture_output=True, timeout=RUN_SECONDS,
                         env={**loopback_env(), **own, **(env or {})})
    return written, run, recorder.take()


def prove(form, requests, scratch, recorder, env=None, sent=None, model=None):
    """Write the requests in the form, run the output, and judge each request: (tally, problems).
    A request arriving otherwise than sent is wrong unless the output named a loss for it.
    `env`: variables the run is given; `sent`: what must arrive for each request, when that is
    not the request itself (its variables filled in). `model(request, arrival)`: what differs
    between the arrival and what the writer expects of the form's runner, to hold a writer that
    works out its runner's changes to its word."""
    written, run, got = run_output(form, requests, scratch, recorder, env)
    arrivals = {}
    for arrival in got:
        prefix = arrival.target.split(b"/", 2)[1] if arrival.target.startswith(b"/t") else b""
        arrivals.setdefault(prefix.decode("latin-1"), []).append(arrival)
    skipped = {id(r): reason for r, reason in written.skipped}
    tally, problems = Counter(), []
    for request in requests:
        if id(request) in skipped:
            tally["skipped"] += 1
            continue
        got = arrivals.pop(f"t{request.index}", [])
        want = request if sent is None else sent[request.index]
        differences = [f"{len(got)} arrivals"] if len(got) != 1 else mismatches(want, got[0])
        if model is not None and len(got) == 1 and (off := model(request, got[0])):
            problems.append(f"{form}: {request.label}: not as its writer expects: {off}")
        if not differences:
            tally["exact"] += 1
        elif request.losses:
            tally["named"] += 1
        else:
            tally["wrong"] += 1
            problems.append(f"{form}: {request.label}: " + "; ".join(differences))
    if arrivals:
        problems.append(f"{form}: arrivals no request was written for: {sorted(arrivals)}")
    if tally["wrong"] or problems:
        problems.append(f"{form}: runner exit {run.returncode}; stderr: {run.stderr[-2000:].decode(errors='replace')}")
    total = TALLY.setdefault(form, Counter())
    total.update(tally)
    return tally, problems, written


def with_recorder():
    return Recorder()


def copied_values(text, work, curl_version):
    """The request values tolmek reads from copied curl command lines (files under `work`)."""
    import io
    import types

    from tolmek_cli import convert
    from tolmek_cli.curl_in import read
    from tolmek_cli.source import Source

    src = Source(io.BytesIO(text.encode()), "<copied>")
    report = convert.Report(src)
    options = types.SimpleNamespace(working_dir=str(work), insecure_file_read=False, curl_version=curl_version,
                                    shared={})
    return list(convert.values(read(src, options), report, lambda: None)), report.lines


def as_sent(arrival, origin):
    """A request value of what arrived, Host and Content-Length left for the runner to place."""
    headers = [(n.decode(), v.decode()) for n, v in arrival.headers if n.lower() not in (b"host", b"content-length")]
    has_body = arrival.body or any(n.lower() in (b"content-length", b"transfer-encoding") for n, _ in arrival.headers)
    return Request(arrival.method.decode(), origin + arrival.target.decode(), headers,
                   arrival.body if has_body else None)


def prove_against(form, values, expected, scratch, recorder, same=lambda a, b: None):
    """Write `values` in the form and run it; each arrival must equal the request value in `expected`
    at the same place (what curl sent for the command the value was read from), or its loss be named.
    `same(expected_arrival_request, arrival)` may align what the runner draws anew (a boundary)."""
    written, run, arrivals = run_output(form, values, scratch, recorder)
    skipped = {id(v) for v, _ in written.skipped}
    tally, problems = Counter(skipped=len(skipped)), []
    kept = [(v, e) for v, e in zip(values, expected, strict=True) if id(v) not in skipped]
    if len(arrivals) != len(kept):
        problems.append(f"{form}: {len(arrivals)} arrivals for {len(kept)} requests")
    for (value, want), arrival in zip(kept, arrivals):
        same(want, arrival)
        differences = mismatches(want, arrival)
        kind = "exact" if not differences else "named" if value.losses else "wrong"
        tally[kind] += 1
        if kind == "wrong":
            problems.append(f"{form}: {value.label} ({value.method} {value.target}): " + "; ".join(differences))
    if problems:
        problems.append(f"{form}: runner exit {run.returncode}; stderr: {run.stderr[-2000:].decode(errors='replace')}")
    TALLY.setdefault(form, Counter()).update(tally)
    return tally, problems


_BOUNDARY = re.compile(rb"boundary=(-*[0-9A-Za-z]{16,22})")


def same_boundary(want, arrival):
    """The arrival's multipart boundary replaced by the one curl drew for `want`'s request (each curl
    run draws a new one; the reader picks one of the same shape)."""
    a = _BOUNDARY.search("".join(v for _, v in want.headers).encode())
    b = _BOUNDARY.search(b"".join(v for _, v in arrival.headers))
    if a and b:
        arrival.headers = [(n, v.replace(b.group(1), a.group(1))) for n, v in arrival.headers]
        arrival.body = arrival.body.replace(b.group(1), a.group(1))
