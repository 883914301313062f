# STOP: read /work/wt-f-hh/LEAD-BRIEF.md now (the lead's rules for this work). Delete this line afterwards; never commit LEAD-BRIEF.md.
"""Proof harness for the forms: requests written in a form, run by the form's real runner against the
loopback recorder, each arrival compared with the request; a tally per form for the summary."""

import base64
import json
import os
import pathlib
import shutil
import subprocess
import sys
from collections import Counter

from conftest import loopback_env
from recorder import Recorder

import tolmek_forms
from tolmek_forms import Request

DATA = pathlib.Path(__file__).parent / "data" / "form_cases.json"
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
    # The script calls `http`: the one installed beside this Python, found through PATH.
    "httpie": (_httpie, lambda d, main: ["sh", main], _on_path(_httpie)),
    "http": (str(NODE_BIN / "httpyac"),
             lambda d, main: [str(NODE_BIN / "httpyac"), "send", main, "--all", "--output", "short", "--timeout",
                              "30000", "--no-color"]),
}


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


def prove(form, requests, scratch, recorder, model=None):
    """Write the requests in the form, run the output, and judge each request: (tally, problems).
    A request arriving otherwise than sent is wrong unless the output named a loss for it.
    `model(request, arrival)`: what differs between the arrival and what the writer expects of the
    form's runner, to hold a writer that works out its runner's changes to its word."""
    written = tolmek_forms.write(form, requests)
    scratch.mkdir(parents=True, exist_ok=True)
    for path, data in written.files.items():
        target = scratch / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    recorder.take()
    argv = RUNNERS[form][1](str(scratch), str(scratch / written.main))
    env = loopback_env()
    if len(RUNNERS[form]) > 2:
        env.update(RUNNERS[form][2]())
    run = subprocess.run(argv, cwd=scratch, capture_output=True, timeout=RUN_SECONDS, env=env)
    arrivals = {}
    for arrival in recorder.take():
        prefix = arrival.target.split(b"/", 2)[1] if arrival.target.startswith(b"/t") else b""
        arrivals.setdefault(prefix.decode("latin-1"), []).append(arrival)
    skipped = {id(r): reason for r, reason in written.skipped}
    tally, problems = Counter(), []
    for request in requests:
        if id(request) in skipped:
            tally["skipped"] += 1
            continue
        got = arrivals.pop(f"t{request.index}", [])
        differences = [f"{len(got)} arrivals"] if len(got) != 1 else mismatches(request, got[0])
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
