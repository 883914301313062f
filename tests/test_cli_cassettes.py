"""vcrpy and betamax cassettes to curl scripts and collections: cassettes recorded at test time from
real clients (cassette_matrix.py) replayed by bash, dash and zsh with the real curl and by newman,
each request arriving as sent or its loss named; and the readers against hostile cassettes."""

import os
import re
import subprocess
import sys

import pytest

import cassette_matrix
import http_matrix
from cassette_matrix import RECORDED_CASES, RECORDINGS, Verdict
from conftest import cli_runner, missing, require_newman  # noqa: F401
from http_matrix import SHELLS, NotApplicable
from recorder import Recorder

_PACKAGE = {"httpx-async": "httpx", "urllib.request": "urllib.request"}

# (recorder, client, runner) -> Verdict; (recorder, client, "not recorded") -> [case: why].
TALLY = {}


@pytest.fixture(scope="module")
def recorders():
    with Recorder(answer=http_matrix.answer) as origin, Recorder() as proxy:
        yield origin, proxy


@pytest.fixture(scope="module")
def private_home(tmp_path_factory):
    """A HOME of the tests' own (its .netrc names the recorder), and no proxy settings."""
    home = tmp_path_factory.mktemp("home")
    http_matrix.netrc_home(home)
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("HOME", str(home))
        for k in list(os.environ):
            if "proxy" in k.lower() or k in ("NETRC", "CURL_HOME"):
                mp.delenv(k)
        yield home


@pytest.fixture(scope="module")
def cassettes(recorders, private_home, tmp_path_factory):
    """(recorder, client) -> the Recorded cases with a cassette each, recorded on first use."""
    made = {}

    def get(recorder, client):
        pytest.importorskip(_PACKAGE.get(client, client))
        pytest.importorskip("betamax" if recorder.startswith("betamax") else "vcr")
        if (recorder, client) not in made:
            folder = tmp_path_factory.mktemp(f"{recorder}-{client}")
            out, not_recorded = [], []
            for i, (name, case) in enumerate(RECORDED_CASES.items()):
                suffix = "json" if recorder != "vcrpy" else "yaml"
                prefix = "betamax" if recorder.startswith("betamax") else "vcr"
                try:
                    rec = cassette_matrix.record(recorder, client, case, recorders,
                                                 folder / f"{prefix}-{i:02d}.{suffix}")
                except NotApplicable:
                    continue
                if rec.path is not None and (count := cassette_matrix.interactions(recorder, rec.path)) != len(rec.sent):
                    # Which of the requests sent are the recorded ones is not known then.
                    rec.path, rec.why_not = None, f"the cassette holds {count} of the {len(rec.sent)} requests sent"
                if rec.path is None:
                    not_recorded.append(f"{name}: {rec.why_not}")
                else:
                    out.append(rec)
            TALLY[(recorder, client, "not recorded")] = not_recorded
            made[(recorder, client)] = out
        return made[(recorder, client)]

    return get


def _kept(recorder, client):
    """(whether the cassette keeps the order across header names, whether it loses their case): vcrpy's
    YAML lists them sorted, and vcrpy records httpx's names in lower case (both said in the file's note)."""
    return recorder != "vcrpy", recorder.startswith("vcrpy") and client.startswith("httpx")


def _need_shells():
    if absent := [t for t in (*SHELLS, "curl", "timeout") if not http_matrix.shutil.which(t)]:
        missing(f"not installed: {', '.join(absent)}")


@pytest.mark.parametrize(("recorder", "client"), RECORDINGS)
def test_curl_replays_what_the_client_sent(recorder, client, cassettes, recorders, tmp_path):
    """Each cassette (one a case) through `tolmek curl`, its script run by each shell: every
    request the client sent arrives as sent (headers as the cassette carries them), or its loss or
    skip is named on stderr."""
    _need_shells()
    recorded = cassettes(recorder, client)
    assert recorded, "nothing was recorded"
    across_names, fold = _kept(recorder, client)
    problems, scripts, stderrs = [], [], []
    for rec in recorded:
        code, out, err = cassette_matrix.tolmek("curl", rec.path)
        if code != 0 or "Traceback" in err:
            problems.append(f"{rec.name}: tolmek curl exited {code}: {err}")
        scripts.append(out.decode())
        stderrs.append(err)
    for shell in SHELLS:
        by_index, shell_err = http_matrix.run_commands(shell, scripts, tmp_path, recorders)
        verdict = TALLY[(recorder, client, shell)] = Verdict()
        for i, rec in enumerate(recorded):
            arrivals = iter(by_index.get(i, []))
            for j, sent in enumerate(rec.sent):
                label = cassette_matrix.label(rec.path, j)
                converted = not re.search(rf": skipped {re.escape(label)}: ", stderrs[i])
                cassette_matrix.judge(verdict, f"{shell}, {rec.name}, {label}", sent,
                                      next(arrivals, None) if converted else None, label, stderrs[i], across_names, fold)
            if extra := list(arrivals):
                problems.append(f"{shell}, {rec.name}: {len(extra)} requests more than converted arrived")
        problems += verdict.faults
        if shell_err.strip():
            problems.append(f"{shell} wrote: {shell_err[:1000]}")
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize(("recorder", "client"), RECORDINGS)
def test_postman_replays_what_the_client_sent(recorder, client, cassettes, recorders, tmp_path):
    """All the cassettes of a client through one `tolmek postman` run, the collection run by
    newman: the same verdicts (a binary body, which a collection cannot hold, is skipped by name)."""
    require_newman()
    recorded = cassettes(recorder, client)
    files = [rec.path for rec in recorded]
    code, out, err = cassette_matrix.tolmek("postman", *files)
    assert code == 0 and "Traceback" not in err, err
    order = cassette_matrix.converted_order(files, err, lambda i: len(recorded[i].sent))
    by_item = cassette_matrix.run_newman(out, tmp_path, recorders[0])
    at = {pair: k for k, pair in enumerate(order)}
    verdict = TALLY[(recorder, client, "newman")] = Verdict()
    for i, rec in enumerate(recorded):
        lines = "\n".join(line for line in err.splitlines() if f"{rec.path}:" in line)
        for j, sent in enumerate(rec.sent):
            label = cassette_matrix.label(rec.path, j)
            k = at.get((i, j))
            cassette_matrix.judge(verdict, f"newman, {rec.name}, {label}", sent, None if k is None else by_item.get(k),
                                  label, lines, *_kept(recorder, client), newman=True)
    assert not verdict.faults, "\n".join(verdict.faults)
