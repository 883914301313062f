"""Every form, run by its own runner against the loopback recorder: each request arrives exactly as
written, or the output named what the form loses; never a wrong request without a word."""

import pytest

import forms


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
