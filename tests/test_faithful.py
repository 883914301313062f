"""Commands run by bash, dash and zsh with the real curl deliver exactly the recorded request to a
loopback recorder; what no command can carry is refused. Also the README's quick start.

TOLMEK_FAITHFUL_EXAMPLES sets the number of generated batches (default 120, up to four requests
each; newman gets a thirtieth of it); TOLMEK_CURL_TIMEOUT the seconds one curl may take (5)."""

import json
import os
import pathlib
import re
import subprocess

import pytest
from hypothesis import given, settings, strategies as st

import faithful
from conftest import missing, run_python
from faithful import Req
from recorder import Recorder

EXAMPLES = int(os.environ.get("TOLMEK_FAITHFUL_EXAMPLES", "120"))
README = pathlib.Path(__file__).parent.parent / "README.md"


def require(*tools):
    if absent := faithful.unavailable(*tools):
        missing(f"not installed: {', '.join(absent)} (scripts/test.sh installs them from Debian's packages)")


@pytest.fixture(scope="module")
def recorder():
    with Recorder() as r:
        yield r


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    """The shells' working directory and HOME, with files that stray globs and ~ could reach."""
    d = tmp_path_factory.mktemp("faithful")
    for name in ["a", "b", "X", "itemsX", "=ls", ".curlrc-not-read", "-d", "@"]:
        (d / name).touch()
    return d


# Its one parameter puts the curl's version into the id of every test that runs it.
@pytest.fixture(scope="module", params=[faithful.CURL], ids=[faithful.curl_label()])
def user_agent():
    require("curl")
    return b"curl/" + faithful.curl_version()


@pytest.fixture(scope="module")
def shells():
    require("bash", "dash", "zsh", "curl", "timeout")
    return list(faithful.SHELLS)


@settings(max_examples=EXAMPLES, deadline=None)
@given(st.lists(faithful.requests(), min_size=1, max_size=4))
def test_commands_deliver_the_request(recorder, scratch, shells, user_agent, reqs):
    problems = faithful.check_commands(reqs, recorder, scratch, shells, user_agent)
    assert not problems, "\n\n".join(problems)


# Requests that each rule of the command is there for, run through the same checks as the
# generated ones, so that a regression in one of them fails with its own name.
CASES = {
    "question mark": Req("/items?page=1", (), "GET", None),
    "zsh equals": Req("/=ls", (), "GET", None),
    "curl globbing": Req("/a/{x,y}/item[1-3]/ids[0]", (), "GET", None),
    "dot segments": Req("/a/../b/./c/..", (), "GET", None),
    "dot segment in query is not one": Req("/a?x=/../", (), "GET", None),
    "encoded dot segments": Req("/%2e/b/%2E%2e/c/.%2e/d/%2e./e%2e/%2e%2e%2e", (), "GET", None),
    "empty values": Req("/", (("X-Empty", ""), ("Accept", ""), ("X-Blank", " \t ")), "GET", None),
    "HEAD": Req("/h", (("X", "1"),), "HEAD", None),
    "HEAD with a body": Req("/h", (), "HEAD", "b"),
    "option-like path": Req("/-o/x", (), "GET", "-d"),
    "body naming a file": Req("/", (), "POST", "@/etc/hostname"),
    "quotes everywhere": Req("/it's/\"q\"/$HOME/`id`/!!", (("X-It's", "\"$x\" `y` !z \\"),), "PUT", "'; rm -rf ~; echo '"),
    "non-ASCII": Req("/é/✓?q=日本#frag", (("X-Ü", "✓ é"),), "PATCH", "ü\n✓"),
    "framing headers that agree with the body": Req("/", (("Content-Length", "3"), ("Content-Type", "t")), "POST", "abc"),
    "chunked": Req("/", (("Transfer-Encoding", "chunked"),), "POST", "abc"),
    "curl's own headers replaced": Req("/", (("accept", "a"), ("USER-AGENT", "u"), ("Host", "h")), "GET", None),
    "duplicates in order": Req("/", (("A", "2"), ("B", "x"), ("A", "1"), ("a", "0")), "DELETE", None),
    "a long body": Req("/", (), "POST", "it's ✓ " * 10000),
}


@pytest.mark.parametrize("req", CASES.values(), ids=CASES.keys())
def test_command_rule(recorder, scratch, shells, user_agent, req):
    problems = faithful.check_commands([req], recorder, scratch, shells, user_agent)
    assert not problems, "\n\n".join(problems)


# A text a command line cannot carry, or a header curl would take apart or drop (the exact
# messages are in test_curl.py; here the harness's own rule must agree with the module).
REFUSED = {
    "NUL in URL": Req("/a\x00b", (), "GET", None),
    "control in URL": Req("/a\tb", (), "GET", None),
    "NUL in value": Req("/", (("X", "1\x00"),), "GET", None),
    "CR LF in value": Req("/", (("A", "1"), ("X-A", "1\r\nX-Inj: 2")), "GET", None),
    "LF in name": Req("/", (("X\nY", "1"),), "GET", None),
    "empty name": Req("/", (("A", "1"), ("", "v")), "GET", None),
    "colon in name": Req("/", (("X:Y", "1"),), "GET", None),
    "name naming a file": Req("/", (("@/etc/passwd", "1"),), "GET", None),
    "name starting with a space": Req("/", (("A", "1"), (" X", ""),), "GET", None),
    "semicolon in an empty header's name": Req("/", (("X;C", ""),), "GET", None),
    "white space before an empty header's ';'": Req("/", (("X ", "v"), ("X\t", ""),), "GET", None),
    "second Host": Req("/", (("Host", "h1"), ("X", "1"), ("hOST", "h2")), "GET", None),
    "NUL in body": Req("/", (), "POST", "a\x00"),
    # The first offending piece is named: URL, then headers in order, then body.
    "first in order": Req("/\x00", (("", ""),), "POST", "\x00"),
    "first header": Req("/", (("A\x00", "\n"), ("", "")), "POST", "\x00"),
}


@pytest.mark.parametrize("req", REFUSED.values(), ids=REFUSED.keys())
def test_refused(req):
    message = faithful.refusal(req)
    assert message is not None
    with pytest.raises(ValueError) as e:
        faithful.render("http://127.0.0.1:9" + req.path, req.headers, req.method, req.body)
    assert str(e.value) == message


def readme_quick_start():
    """The quick start's Python code and the command it says it prints."""
    text = README.read_text("utf-8")
    section = text.split("## Quick start", 1)[1].split("\n## ", 1)[0]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    printed = re.search(r"^#> (curl .*)$", code, re.M).group(1)
    return code, printed


@pytest.mark.parametrize("shell", ["zsh", "bash"])
def test_readme_quick_start_command(recorder, scratch, user_agent, shell):
    require(shell, "curl", "timeout")
    code, printed = readme_quick_start()
    # The command the README shows is the one the code prints.
    run = run_python(code)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[0] == printed
    # Aim it at the recorder; what arrives is the request in the README's own document.
    doc = json.loads(run.stdout.splitlines()[1])
    request = doc["item"][0]["request"]
    url = request["url"]["raw"]
    origin = re.match(r"https?://[^/?#]*", url).group(0)
    assert printed.count(origin) == 1
    req = Req(url[len(origin):], tuple((h["key"], h["value"]) for h in request["header"]),
              request["method"], request["body"]["raw"])
    cmd = printed.replace(origin, recorder.base)
    statuses, stderr, arrivals = faithful.deliver(shell, [(req.url(recorder.base), cmd)], recorder, scratch, timeout=30)
    assert statuses == {0: 0}, stderr
    assert len(arrivals) == 1
    assert faithful.mismatches(req, recorder.port, arrivals[0], user_agent) == []


# URLs curl cannot fetch here but a shell could still rewrite: zsh replaces a word that starts
# with "=" by the path of the command named after it.
@pytest.mark.parametrize("shell", ["bash", "dash", "zsh"])
@pytest.mark.parametrize("url", ["=ls", "=", "==curl", "-=ls", "a=b:c", "%=@+,.:/-_", "~", "a=~/b"])
def test_shell_passes_the_url_word_unchanged(scratch, shell, url):
    require(shell)
    cmd = faithful.render(url, (), "GET", None)
    script = "curl() { printf '%s\\0' \"$@\"; }\n" + cmd + "\n"
    out = subprocess.run([shell, "-c", script], capture_output=True, check=True, timeout=20, cwd=scratch,
                         env=faithful.shell_env(scratch)).stdout
    assert out.split(b"\0")[-2] == url.encode()
