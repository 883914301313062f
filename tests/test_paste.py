"""Commands pasted into interactive bash, dash and zsh on a pseudo-terminal, with bracketed paste on
and off, run only curl and deliver exactly the request, whatever the texts hold; printed, they hold
nothing a terminal acts on. The raw form of the same texts is pasted too, to show that the harness
sees the attacks it guards against."""

import os
import pty
import select
import signal
import time

import pytest
from hypothesis import given, settings

import faithful
from conftest import M
from faithful import Req
from recorder import Recorder

# The child only changes directory and executes the shell: nothing a thread could hold locked.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* forkpty:DeprecationWarning")

# What a terminal or a line editor acts on: C0 controls but LF, DEL, C1, bidirectional controls.
ACTED_ON = {chr(c) for c in range(0x20) if c != 10} | {"\x7f"} | {chr(c) for c in range(0x80, 0xA0)} | set(
    "\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")


def payload(name):
    return f"touch {name}\r"


# Texts an attacker would hand over, each trying a door of the terminal or the line editor; CANARY
# is replaced by a file name that must never come to exist.
HOSTILE_BODIES = [
    "x\x1b[201~\x15touch CANARY\r",               # end the bracketed paste, erase the line, run
    "x\x1b[201~\x15touch CANARY\n",
    "a\x03touch CANARY\r",                          # Ctrl-C abandons the line, the rest runs
    "a\x15touch CANARY\rb",                         # Ctrl-U (the tty's erase-line in dash) and CR
    "line\n^curl^touch CANARY^\n",                  # bash's quick substitution at a line's start
    "a\n!!\n!curl\n!-1 CANARY\n^x^y\n",             # history expansion on continuation lines
    "/etc/hostn\tX\t\t",                            # tab completion
    "q\x16\x1b\x17\x19\x1a\x1c\x7fz",              # quoted insert, erase word, yank, suspend, quit, DEL
    "\u009b201~\x15touch CANARY\r",                 # C1 CSI in place of ESC [
    "\x1b]52;c;dG91Y2ggQ0FOQVJZ\x07shown\u202egnp.exe\u2066",  # clipboard, bidi reordering
    "\r\x1b[2K\x1b[1Aecho hidden",                   # redraw the screen
]
HOSTILE_REQUESTS = [Req("/p", (("Content-Type", "text/plain"),), "POST", b) for b in HOSTILE_BODIES] + [
    Req("/h", (("X-\x1b[201~", "v\x1b[201~\x15touch CANARY\r".replace("\r", "")),
               ("X-Tab", "a\tb"), ("X-C1", "\u0085\u009b")), "GET", None),
    Req("/u/\u009b201~\u202e", (), "GET", None),
]


class Terminal:
    """One interactive shell on a pseudo-terminal, as a terminal emulator would drive it."""

    def __init__(self, argv, env, cwd):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                os.chdir(cwd)
                os.execvpe(argv[0], argv, env)
            finally:
                os._exit(127)
        self.screen = b""

    def read(self, seconds):
        end = time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            ready, _, _ = select.select([self.fd], [], [], min(left, 0.05))
            if ready:
                try:
                    chunk = os.read(self.fd, 65536)
                except OSError:
                    return
                if not chunk:
                    return
                self.screen += chunk

    def wait_for(self, text, seconds=10):
        end = time.monotonic() + seconds
        while text not in self.screen and time.monotonic() < end:
            self.read(0.1)
        return text in self.screen

    def type(self, data):
        for i in range(0, len(data), 256):
            os.write(self.fd, data[i:i + 256])
            self.read(0.01)

    def close(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        os.waitpid(self.pid, 0)
        os.close(self.fd)


def start(shell, bracketed, home, cwd):
    env = faithful.shell_env(home) | {"TERM": "xterm", "PS1": "READY$ ", "PS2": "> "}
    if shell == "bash":
        (home / ".inputrc").write_text(f"set enable-bracketed-paste {'on' if bracketed else 'off'}\n")
        argv = ["bash", "--norc", "--noprofile", "-i"]
        env["INPUTRC"] = str(home / ".inputrc")
    elif shell == "zsh":
        (home / ".zshrc").write_text("PS1='READY$ '\n" + ("" if bracketed else "unset zle_bracketed_paste\n"))
        argv = ["zsh", "-i"]
        env["ZDOTDIR"] = str(home)
    else:
        argv = ["dash", "-i"]
    term = Terminal(argv, env, cwd)
    assert term.wait_for(b"READY$ "), term.screen
    if bracketed:
        assert term.wait_for(b"\x1b[?2004h"), f"{shell} did not turn bracketed paste on"
    return term


def paste(term, command, bracketed):
    data = command.encode()
    term.type(b"\x1b[200~" + data + b"\x1b[201~" if bracketed else data)
    term.type(b"\r")


CONFIGS = [("bash", True), ("bash", False), ("zsh", True), ("zsh", False), ("dash", False)]


def paste_all(shell, bracketed, commands, where, recorder, wait=10):
    """Pastes each command into one shell, its HOME and working directory in `where`, and returns
    the requests that arrived for each and what the screen received."""
    (where / "home").mkdir(exist_ok=True)
    (where / "work").mkdir(exist_ok=True)
    term = start(shell, bracketed, where / "home", where / "work")
    arrived = []
    try:
        for command in commands:
            recorder.take()
            paste(term, command, bracketed)
            end = time.monotonic() + wait
            while not recorder.arrivals and time.monotonic() < end:
                term.read(0.05)
            term.read(0.3)  # anything more that the paste might set off
            arrived.append(recorder.take())
            term.type(b"\x03")  # a line left open (an unclosed quote) must not swallow the next one
            term.read(0.2)
    finally:
        term.close()
    return arrived, term.screen


@pytest.fixture(scope="module")
def recorder():
    with Recorder() as r:
        yield r


@pytest.fixture(scope="module")
def user_agent():
    if absent := faithful.unavailable("bash", "dash", "zsh", "curl"):
        pytest.skip(f"not installed: {', '.join(absent)}")
    return b"curl/" + faithful.curl_version()


def hostile(req, canary):
    return Req(req.path.replace("CANARY", canary), tuple((n, v.replace("CANARY", canary)) for n, v in req.headers),
               req.method, None if req.body is None else req.body.replace("CANARY", canary))


@pytest.mark.parametrize("shell,bracketed", CONFIGS, ids=[f"{s}-{'bracketed' if b else 'plain'}" for s, b in CONFIGS])
def test_pasted_commands_run_only_curl(tmp_path, recorder, user_agent, shell, bracketed):
    reqs = [hostile(r, f"canary{i}") for i, r in enumerate(HOSTILE_REQUESTS)]
    commands = [faithful.render(r.url(recorder.base), r.headers, r.method, r.body) for r in reqs]
    # Only curl runs: its one request arrives, exactly, and nothing else happens in the directory.
    arrived, screen = paste_all(shell, bracketed, [c.replace("curl ", "curl -s -o /dev/null ", 1) for c in commands],
                                tmp_path, recorder)
    problems = []
    for req, got in zip(reqs, arrived):
        if len(got) != 1:
            problems.append(f"{req.body or req.headers or req.path!r}: {len(got)} requests arrived")
        else:
            problems += [f"{req.body or req.headers or req.path!r}: {m}" for m in
                         faithful.mismatches(req, recorder.port, got[0], user_agent)]
    created = os.listdir(tmp_path / "work") + [p.name for p in tmp_path.rglob("canary*")]
    assert not created, f"the paste created {created}"
    assert not problems, "\n".join(problems) + "\n" + screen.decode(errors="replace")[-3000:]


@pytest.mark.parametrize("shell,bracketed", [("bash", True), ("dash", False)], ids=["bash-bracketed", "dash-plain"])
def test_the_raw_texts_would_run_code(tmp_path, recorder, user_agent, shell, bracketed):
    # The harness itself: the same bodies written raw in single quotes, as shell quoting alone
    # would have them, do run the attacker's command.
    raw = [f"curl -s -o /dev/null -X POST {recorder.base}/p -d '{b.replace('CANARY', 'raw')}'"
           for b in HOSTILE_BODIES[:4]]
    paste_all(shell, bracketed, raw, tmp_path, recorder, wait=2)
    assert (tmp_path / "work" / "raw").exists()


@settings(max_examples=300, deadline=None)
@given(faithful.requests())
def test_printed_commands_hold_nothing_a_terminal_acts_on(req):
    try:
        command = faithful.render("http://127.0.0.1" + req.path, req.headers, req.method, req.body)
    except ValueError:
        return
    assert not (set(command) & ACTED_ON), repr(command)
    # A str as narrow as its widest character (what the spliced characters took away included):
    # a wider one compares unequal to the same text.
    assert command == command.encode().decode(), repr(command)
    assert not any(line.startswith("^") for line in command.split("\n")[1:]), repr(command)



@pytest.mark.parametrize("shell", ["bash", "zsh"])
def test_a_raw_tab_completes_file_names(tmp_path, recorder, user_agent, shell):
    # Why a tab leaves the quotes too: without bracketed paste the line editor completes a file
    # name on it (and closes the quote), so the request changes or never goes.
    (tmp_path / "work").mkdir()
    (tmp_path / "work" / "completed-name").touch()
    raw = f"curl -s -o /dev/null -X POST {recorder.base}/p -d 'complet\tX'"
    arrived, screen = paste_all(shell, False, [raw], tmp_path, recorder, wait=2)
    assert arrived[0] == [] and b"completed-name'" in screen
