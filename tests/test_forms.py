"""Every form, run by its own runner against the loopback recorder: each request arrives exactly as
written, or the output named what the form loses; never a wrong request without a word."""

import json

import pytest

import forms
from conftest import missing
from tolmek_forms.literals import comment_text


@pytest.fixture(scope="module")
def recorder():
    with forms.with_recorder() as r:
        yield r


@pytest.mark.parametrize("form", sorted(forms.RUNNERS))
def test_hard_cases_arrive_as_written(form, recorder, tmp_path):
    forms.require_runner(form)
    requests = forms.cases(f"127.0.0.1:{recorder.port}")
    tally, problems, written = forms.prove(form, requests, tmp_path, recorder)
    assert not problems, "\n".join(problems)
    # What was not carried exactly is named: once per loss on standard error, and in the output.
    for request, reason in written.skipped:
        assert reason


@pytest.fixture(scope="module")
def copied(recorder, tmp_path_factory):
    """(the request values read from the copied commands, what the real curl sent for each, the
    working directory): curl runs each command once against the recorder."""
    import faithful
    import test_curl_reader as table
    from http_matrix import CURL, run_commands

    if CURL is None:
        missing("curl is not installed")
    work = tmp_path_factory.mktemp("copied")
    for name, data in table.FILES.items():
        (work / name).write_bytes(data)
    texts = [table.CASE[name][0].replace("ORIGIN", recorder.base).replace("PORT", str(recorder.port))
             for name in table.RUN]
    by_index, stderr = run_commands("bash", texts, work, [recorder])
    values, expected = [], []
    for i, text in enumerate(texts):
        read, lines = forms.copied_values(text, work, faithful.curl_version().decode())
        got = by_index.get(i, [])
        assert len(read) == len(got), (text, lines, stderr)
        values += read
        expected += [forms.as_sent(a, recorder.base) for a in got]
    for n, value in enumerate(values):
        value.index = n
    return values, expected, work


@pytest.mark.parametrize("form", sorted(forms.RUNNERS))
def test_copied_commands_arrive_as_curl_sent_them(form, copied, recorder, tmp_path):
    forms.require_runner(form)
    values, expected, _ = copied
    tally, problems = forms.prove_against(form, values, expected, tmp_path, recorder, forms.same_boundary)
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize("form", ["httpx", "requests", "node"])
def test_client_traps_lost_only_where_named(form, recorder, tmp_path):
    """What requests and Node change of a request is named, in the output too, and nothing else is."""
    forms.require_runner(form)
    requests = forms.cases(f"127.0.0.1:{recorder.port}", forms.TRAPS)
    tally, problems, written = forms.prove(form, requests, tmp_path, recorder)
    assert not problems, "\n".join(problems)
    lost_by = [case.get("lost_by", []) for case in json.loads(forms.TRAPS.read_text())]
    assert [r.label for r in requests if r.losses] == [r.label for r, by in zip(requests, lost_by) if form in by]
    output = written.files[written.main].decode()
    assert all(comment_text(loss) in output for r in requests for loss in r.losses)


_TOKENS = {"TZ0A1B2C3D0ZT": "TOLMEK_TOKEN", "TZ0A1B2C3D1ZT": "TOLMEK_USER"}
_VALUES = {"TOLMEK_TOKEN": "s3cr3t/+= '\"$x`", "TOLMEK_USER": "zoë"}


@pytest.mark.parametrize("form", sorted(f for f in forms.RUNNERS if getattr(forms.tolmek_forms.writer(f), "VARIABLES", False)))
def test_variables_are_asked_for_when_the_output_runs(form, recorder, tmp_path):
    """A request holding variables (a recording's secrets, a cassette's placeholders) goes with
    their values from the environment; without them the output stops before sending anything."""
    forms.require_runner(form)
    host = f"127.0.0.1:{recorder.port}"
    made = lambda fill: forms.Request(  # noqa: E731
        "POST", f"http://{host}/t0/u/{fill('TZ0A1B2C3D1ZT')}?k=1",
        [("Authorization", f"Bearer {fill('TZ0A1B2C3D0ZT')}"), ("Content-Type", "application/x-www-form-urlencoded")],
        f"token={fill('TZ0A1B2C3D0ZT')}&user={fill('TZ0A1B2C3D1ZT')}".encode(), label="with variables",
        holders=_TOKENS if fill is str else None)
    request = made(str)
    filled = made(lambda token: _VALUES[_TOKENS[token]] if token.endswith("0ZT") else "zo%C3%AB")
    env = dict(_VALUES, TOLMEK_USER="zo%C3%AB")  # a value in a target goes as written there
    tally, problems, written = forms.prove(form, [request], tmp_path / "set", recorder, env=env, sent=[filled])
    assert not problems and tally["wrong"] == 0, "\n".join(problems)
    assert b"s3cr3t" not in written.files[written.main]
    _, run, arrivals = forms.run_output(form, [made(str)], tmp_path / "unset", recorder)
    assert run.returncode != 0 and not arrivals and b"TOLMEK_" in run.stderr
