"""Shared test helpers."""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import tolmek
from reference import SCHEMA_ID, reference_document, reference_text, url_object  # noqa: F401


@pytest.fixture
def refcounts():
    """Call with objects before and after a failing call; their reference counts must match."""

    def take(*objs):
        return [sys.getrefcount(o) for o in objs]

    return take


M = tolmek.HTTPMETHOD

# The sample suite is run by tests/test_recording_proof.py in a pytest of its own, against its app;
# the documentation's example suite by tests/test_docs.py, in a scratch folder.
collect_ignore = ["sample_suite", "data/docs"]

# The matrices that run shells, curl and newman over fixed inputs: what they prove depends on the
# curl version and the shells, not on the interpreter, so `make test` runs them once per curl version
# and sets TOLMEK_RUNNER_MATRICES=skip for the other interpreters and toolchains.
RUNNER_MATRICES = frozenset(("test_paste.py", "test_faithful.py", "test_faithful_newman.py", "test_postman_newman.py",
                             "test_newman.py", "test_cli_cassettes.py", "test_curl_reader.py",
                             "test_forms.py", "test_forms_hurl_wget.py", "test_form_bruno.py",
                             "test_forms_httpie_http.py"))


def pytest_collection_modifyitems(config, items):
    if os.environ.get("TOLMEK_RUNNER_MATRICES") != "skip":
        return
    dropped = [item for item in items if item.path.name in RUNNER_MATRICES]
    if dropped:
        config.hook.pytest_deselected(items=dropped)
        items[:] = [item for item in items if item.path.name not in RUNNER_MATRICES]


def pytest_sessionstart(session):
    """`make dist` runs the suite against a wheel installed into a fresh environment and names its
    site-packages in TOLMEK_INSTALLED_IN: a module found anywhere else (a build tree, the source
    checkout) would make the run prove nothing, so it stops before the first test."""
    site = os.environ.get("TOLMEK_INSTALLED_IN")
    if not site:
        return
    import tolmek_cli
    import tolmek_http

    for module in (tolmek, tolmek_cli, tolmek_http):
        if not pathlib.Path(module.__file__).resolve().is_relative_to(pathlib.Path(site).resolve()):
            pytest.exit(f"{module.__name__} was imported from {module.__file__}, not from {site}", returncode=3)


# The forms' tallies of the xdist workers, added up here for the summary.
_FORMS_TALLY = {}


def pytest_sessionfinish(session):
    forms = sys.modules.get("forms")
    if forms is not None and hasattr(session.config, "workeroutput"):
        session.config.workeroutput["forms_tally"] = {form: dict(t) for form, t in forms.TALLY.items()}


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node, error):
    for form, t in getattr(node, "workeroutput", {}).get("forms_tally", {}).items():
        total = _FORMS_TALLY.setdefault(form, {})
        for kind, n in t.items():
            total[kind] = total.get(kind, 0) + n


def pytest_terminal_summary(terminalreporter):
    """One line on what the curl harness (faithful.py) ran, and against which curl, when it ran;
    the HTTP clients' matrix, per client and shell; the recording proof's counts."""
    clients = sys.modules.get("test_http_clients")
    if clients is not None and clients.TALLY:
        import faithful

        terminalreporter.write_line(f"HTTP clients' matrix ({faithful.curl_label()}), commands arriving as the client sent:")
        for (client, shell), value in clients.TALLY.items():
            if shell == "n/a":
                terminalreporter.write_line(f"  {client}: no way to send: {', '.join(value) or 'none'}")
            else:
                terminalreporter.write_line(f"  {client} {shell}: {value[0]} of {value[1]}")
    cassettes = sys.modules.get("test_cli_cassettes")
    if cassettes is not None and cassettes.TALLY:
        terminalreporter.write_line("cassettes replayed (exact / loss named / skipped named / faults of requests):")
        for (recorder, client, runner), value in cassettes.TALLY.items():
            if runner == "not recorded":
                if value:
                    terminalreporter.write_line(f"  {recorder} {client}: not recorded: {'; '.join(value)}")
            else:
                terminalreporter.write_line(f"  {recorder} {client} {runner}: {value['exact']} / {value['named']} / "
                                            f"{value['skipped']} / {value['fault']} of {value.total()}")
    proof = sys.modules.get("test_recording_proof")
    if proof is not None and proof.TALLY:
        t = proof.TALLY
        shells = ", ".join(f"{s} {t[s]}" for s in ("bash", "dash", "zsh") if s in t)
        terminalreporter.write_line(
            f"recording proof: {t.get('recorded', '-')} requests recorded, {t.get('newman', '-')} identical through"
            f" newman, through the script: {shells or '-'}; {t.get('examples', '-')} examples equal"
            f" ({t.get('binary', '-')} bodies not text, named),"
            f" secrets found: {t.get('secrets', '-')}; identical through the forms: "
            + (", ".join(f"{f} {t[f]}" for f in ("python", "node", "wget") if f in t) or "-"))
    forms = sys.modules.get("forms")
    tally = _FORMS_TALLY or (forms.TALLY if forms is not None else {})
    if tally:
        terminalreporter.write_line("forms on the wire (exact / loss named / skipped named / wrong):")
        for form, t in sorted(tally.items()):
            terminalreporter.write_line(f"  {form}: {t.get('exact', 0)} / {t.get('named', 0)} / {t.get('skipped', 0)} / "
                                        f"{t.get('wrong', 0)}")
    faithful = sys.modules.get("faithful")
    if faithful is None or not faithful.TALLY["requests"]:
        return
    tally = faithful.TALLY
    terminalreporter.write_line(
        f"faithful: {faithful.curl_label()} ({faithful.CURL}): {tally['requests']} requests, {tally['refused']} refused,"
        f" {tally['runs']} command runs in {', '.join(faithful.SHELLS)}")


# `make sanitize` runs the suite with the sanitizer runtimes preloaded and sets TOLMEK_SANITIZE=1.
# Tests that cannot work there (address-space limits, RSS measurements) skip on SANITIZED.
SANITIZED = os.environ.get("TOLMEK_SANITIZE") == "1"
_SANITIZER_VARS = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")
# `make dist` runs the aarch64 wheels' suites under qemu-user and sets TOLMEK_EMULATED=1: the
# emulator reserves the guest's address space itself, so address-space limits cannot be set there.
EMULATED = os.environ.get("TOLMEK_EMULATED") == "1"


def foreign_env(**extra):
    """Environment for a child that is not this Python (node, bash, curl): the current one
    without the sanitizer preload and options, which only the instrumented module needs."""
    env = {k: v for k, v in os.environ.items() if k not in _SANITIZER_VARS}
    env.update(extra)
    return env


def loopback_env():
    """foreign_env() without proxy settings: a child talking to a loopback server must reach it
    directly, not through a proxy of the person running the tests."""
    return {k: v for k, v in foreign_env().items() if "proxy" not in k.lower()}


def missing(reason):
    """A component a test needs is not there: a failure in CI (CI=true), where it must be, else a skip."""
    if os.environ.get("CI") == "true":
        pytest.fail(reason)
    pytest.skip(reason)


def run_python(code):
    """Runs code in a fresh interpreter that finds the same build of the module."""
    path = os.pathsep.join(filter(None, [os.path.dirname(tolmek.__file__), os.environ.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=path),
                          capture_output=True, text=True, timeout=120)


NEWMAN = pathlib.Path(__file__).parent / "node" / "node_modules" / ".bin" / "newman"


def require_newman():
    if not (NEWMAN.exists() and shutil.which("node")):
        missing(f"node and newman ({NEWMAN}) are required; install with `npm ci --prefix tests/node`")


def newman_run(collection, request_ms):
    """Postman's runner over the collection file, each request given request_ms to answer."""
    return subprocess.run([str(NEWMAN), "run", str(collection), "--reporters", "cli", "--timeout-request",
                           str(request_ms), "--color", "off"], capture_output=True, text=True, timeout=120,
                          env=loopback_env())


def cli_runner(capsysbinary, monkeypatch):
    """The command run in this process: run(*args, stdin=bytes) -> (exit status, standard output
    bytes, standard error text)."""
    import io
    import sys

    import tolmek_cli

    def run(*args, stdin=b""):
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
        code = tolmek_cli.main(list(args))
        out, err = capsysbinary.readouterr()
        return code, out, err.decode()

    return run


HOSTILE_FRAMING = json.loads((pathlib.Path(__file__).parent / "data" / "hostile_framing.json").read_text())


def with_and_without_capture(send):
    """(what `send()` gave, or the type it raised, while a recording captured every client made;
    that recording; the same with nothing captured)."""
    from tolmek_http import recording as rec

    def run():
        try:
            return send()
        except Exception as e:
            return type(e)

    recording = rec.start()
    on = run()
    rec.stop(recording)
    return on, recording, run()
