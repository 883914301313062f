"""The `tolmek` command under faults, as real processes: closed and non-blocking standard streams,
stopping signals in the read and the write phase, -o onto every kind of node (inside a private
mount namespace), address-space limits, huge numbers and deep nesting, duplicate members, and a
mutation fuzzer over the suite's own inputs checked against json.load."""

import fcntl
import json
import os
import random
import re
import resource
import select
import signal
import stat
import subprocess
import sys
import termios
import threading
import time

import pytest

import tolmek_cli
from conftest import EMULATED, SANITIZED, M, missing
from test_cli import BODY, HAR_CASES, SKIPS, TOLMEK, har, req, script
from tolmek import Tolmek, TolmekCollection
from tolmek_cli import source

LINE = b'{"url": "http://h/", "method": "GET", "headers": []}\n'
GOT = LINE.replace(b"GET", b"G T")
ONE = script(("http://h/", [], "GET", None))
SKIPPED = "tolmek: <stdin>:1:1: skipped: method 'G T' is not an HTTP token, which a request line cannot hold\n"


def command():
    if not TOLMEK.exists():
        missing(f"the tolmek command ({TOLMEK}) is required: pip install .")
    return str(TOLMEK)


def run(*args, stdin=b"", shell=None, **kwargs):
    """The installed command, as a real process; `shell` redirections (e.g. "2>&-") go through sh."""
    if shell is not None:
        argv = ["sh", "-c", f'"$0" "$@" {shell}', command(), *args]
    else:
        argv = [command(), *args]
    return subprocess.run(argv, input=stdin, capture_output=True, timeout=120, **kwargs)


def failed(done, message, status=2):
    """The run failed with `status` and exactly one error line, `message` (a str, or a pattern)."""
    err = done.stderr.decode()
    assert "Traceback" not in err and done.returncode == status, (done.returncode, err)
    lines = err.splitlines()
    assert [line for line in lines if line.startswith("tolmek: error: ")] == lines[-1:], err
    if isinstance(message, str):
        assert lines[-1] == f"tolmek: error: {message}", err
    else:
        assert message.fullmatch(lines[-1]), err


# -- standard streams -----------------------------------------------------------------------------

def test_closed_standard_streams():
    # Standard error closed: the skip lines and the count are dropped, never written to the output.
    done = run("curl", stdin=LINE + GOT, shell="2>&-")
    assert (done.returncode, done.stdout) == (0, ONE)
    done = run("postman", stdin=LINE + GOT, shell="2>&-")
    assert done.returncode == 0 and json.loads(done.stdout)["item"][0]["request"]["method"] == "GET"
    assert run("curl", "--strict", stdin=GOT, shell="2>&-").returncode == 1
    # Standard output or input closed: one line, also with FILE given.
    failed(run("curl", stdin=LINE, shell=">&-"), "cannot write <stdout>: standard output is closed")
    failed(run("curl", "-", shell="<&-"), "cannot read <stdin>: standard input is closed")
    done = run("curl", "/dev/fd/3", shell="3<&0 <&-", stdin=LINE)
    assert (done.returncode, done.stdout, done.stderr) == (0, ONE, b"")


def nonblocking_pipe():
    r, w = os.pipe()
    for fd in (r, w):
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
    return r, w


def test_non_blocking_standard_streams():
    # A pipe someone else made non-blocking is waited on: input trickling in, output read slowly.
    lines = [json.dumps({"url": f"http://h/{i}", "method": "GET", "headers": [["X", "y" * 50]]}).encode() + b"\n"
             for i in range(3000)]
    expected = script(*((f"http://h/{i}", [("X", "y" * 50)], "GET", None) for i in range(3000)))
    in_r, in_w = nonblocking_pipe()
    out_r, out_w = nonblocking_pipe()
    err_r, err_w = nonblocking_pipe()
    child = subprocess.Popen([command(), "curl"], stdin=in_r, stdout=out_w, stderr=err_w)
    for fd in (in_r, out_w, err_w):
        os.close(fd)

    def feed():
        data = memoryview(b"".join(lines) + GOT)
        while data:
            select.select([], [in_w], [])
            try:
                data = data[os.write(in_w, data[:50000]):]
            except BlockingIOError:
                continue
            time.sleep(0.005)
        os.close(in_w)

    feeder = threading.Thread(target=feed)
    feeder.start()
    got, err = [], []
    time.sleep(0.3)  # let the child fill the output pipe and wait on it
    for fd, sink in ((out_r, got), (err_r, err)):
        while True:
            select.select([fd], [], [], 30)
            try:
                block = os.read(fd, 4096)
            except BlockingIOError:
                continue
            if not block:
                break
            sink.append(block)
        os.close(fd)
    feeder.join()
    assert child.wait(30) == 0
    assert b"".join(got) == expected
    assert b"".join(err).decode() == SKIPPED.replace("1:1", "3001:1") + "tolmek: 1 of 3001 requests skipped\n"


# -- signals --------------------------------------------------------------------------------------

def caught(pid, signum):
    """Whether the process handles `signum` now (its handlers are in place). Under an emulator
    (qemu-user) this is the emulator's own mask, which catches every signal from the start."""
    with open(f"/proc/{pid}/status") as f:
        mask = int(re.search(r"^SigCgt:\s*([0-9a-f]+)", f.read(), re.M).group(1), 16)
    return bool(mask >> (signum - 1) & 1)


def unread(fd):
    """How many bytes wait in the pipe `fd` is one end of."""
    buf = bytearray(4)
    fcntl.ioctl(fd, termios.FIONREAD, buf)
    return int.from_bytes(buf, sys.byteorder)


def wait_for(condition, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.002)


SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]


@pytest.mark.parametrize("signum", SIGNALS, ids=lambda s: signal.Signals(s).name)
def test_signals_in_the_read_and_the_stdout_write_phase(tmp_path, signum):
    out = tmp_path / "out.sh"
    out.write_bytes(b"old")
    # Read phase: the input never ends.
    child = subprocess.Popen([command(), "curl", "-o", str(out)], stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdin.write(LINE)
    child.stdin.flush()
    # The interpreter handles SIGINT from its start; the command's handlers come with SIGTERM's. The
    # command reads its input only once they are in place, so a drained pipe says so under an emulator
    # too, where the mask read by caught() is the emulator's.
    wait_for(lambda: caught(child.pid, signal.SIGTERM) and unread(child.stdin.fileno()) == 0,
             "the handlers are never put in place")
    child.send_signal(signum)
    assert (child.wait(30), child.stderr.read()) == (128 + signum, b"")
    child.stdin.close()
    assert (sorted(tmp_path.iterdir()), out.read_bytes()) == ([out], b"old")
    # Write phase: standard output is a pipe nobody reads, full.
    r, w = os.pipe()
    size = fcntl.fcntl(r, 1032)  # F_GETPIPE_SZ
    child = subprocess.Popen([command(), "curl"], stdin=subprocess.PIPE, stdout=w, stderr=subprocess.PIPE)
    os.close(w)
    child.stdin.write(LINE * (size // len(ONE) + 100))
    child.stdin.close()

    # Full as far as the command fills it (it writes a pipe only as much as a free page of it
    # takes, so a page may stay short): half of it or more, and no longer growing.
    def stalled():
        before = unread(r)
        time.sleep(0.02)
        return before >= size // 2 and unread(r) == before

    wait_for(stalled, "the output pipe never fills")
    child.send_signal(signum)
    assert (child.wait(30), child.stderr.read()) == (128 + signum, b"")
    os.close(r)


def test_a_signal_just_before_a_blocking_read_is_not_lost():
    """The command waits for input with the signals' wakeup pipe in the same wait: a signal that
    lands between the command's last check and its next read still ends the run at once (sent
    as soon as the input is taken, many times, so that some land in that gap)."""
    for attempt in range(12):
        signum = SIGNALS[attempt % 3]
        child = subprocess.Popen([command(), "curl"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE)
        child.stdin.write(LINE)
        child.stdin.flush()
        wait_for(lambda: caught(child.pid, signal.SIGTERM) and unread(child.stdin.fileno()) == 0,
                 "the handlers are never put in place")
        child.send_signal(signum)
        try:
            status = child.wait(20)
        finally:
            child.kill()
            child.stdin.close()
        assert (attempt, status, child.stderr.read()) == (attempt, 128 + signum, b"")


@pytest.mark.parametrize("signum", SIGNALS, ids=lambda s: signal.Signals(s).name)
def test_signals_while_writing_a_file_remove_the_temporary_one(tmp_path, signum):
    # The child is stopped as soon as its temporary file shows up, signalled, and let go on: the
    # file must be gone and OUT as it was (an attempt where the rename won the race is retried).
    out = tmp_path / "out.json"
    source = tmp_path / "in.jsonl"
    body = "x" * (16 << 20)
    source.write_text(json.dumps({"url": "http://h/", "method": "POST", "headers": [], "body": body}) + "\n")
    del body
    for attempt in range(5):
        out.write_bytes(b"old")
        with open(source, "rb") as stdin:
            child = subprocess.Popen([command(), "postman", "-o", str(out)], stdin=stdin, stderr=subprocess.PIPE)
        temporary = []

        def writing():
            temporary[:] = [p for p in tmp_path.iterdir() if p.name.startswith(".out.json.")]
            return temporary or child.poll() is not None

        wait_for(writing, "no temporary file")
        child.send_signal(signal.SIGSTOP)
        if child.poll() is None and temporary and temporary[0].exists() and out.read_bytes() == b"old":
            break
        child.send_signal(signal.SIGCONT)
        child.wait(30)
    else:
        pytest.skip("the output was always renamed into place before the child could be stopped")
    child.send_signal(signum)
    child.send_signal(signal.SIGCONT)
    assert (child.wait(30), child.stderr.read()) == (128 + signum, b"")
    assert (sorted(tmp_path.iterdir()), out.read_bytes()) == (sorted([out, source]), b"old")


# -- -o onto every kind of node, in a private mount namespace ---------------------------------------

NAMESPACE = r"""
import json, os, stat, subprocess, sys, threading
tolmek, base = sys.argv[1], sys.argv[2]
line = b'{"url": "http://h/", "method": "GET", "headers": []}\n'
# Nothing outside this namespace is touched: tmpfs over the directory and over /dev.
subprocess.run(["mount", "-t", "tmpfs", "tmpfs", base], check=True)
os.mkdir(base + "/small")
subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", base + "/small"], check=True)
subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/dev"], check=True)
os.mknod("/dev/null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
os.chmod("/dev/null", 0o666)
os.symlink("/proc/self/fd/1", "/dev/stdout")
os.chdir(base)
results = {}

def node(path):
    st = os.lstat(path)
    link = os.readlink(path) if stat.S_ISLNK(st.st_mode) else None
    return [stat.filemode(st.st_mode), st.st_uid, st.st_gid, st.st_rdev, st.st_ino, link]

def tolmek_run(*args, stdin=line, wrap=()):
    done = subprocess.run([*wrap, tolmek, "curl", *args], input=stdin, capture_output=True, timeout=60)
    return [done.returncode, done.stdout.decode(), done.stderr.decode()]

def case(name, out, before=None, *args, stdin=line):
    listing = sorted(os.listdir("."))
    seen = node(out) if os.path.lexists(out) else None
    results[name] = {"run": tolmek_run(*args, "-o", out, stdin=stdin), "before": seen,
                     "after": node(out) if os.path.lexists(out) else None,
                     "listing": [sorted(os.listdir(".")), listing]}

with open("target", "wb") as f:
    f.write(b"old")
os.chmod("target", 0o640)
os.symlink("target", "link")
case("symlink", "link")
results["symlink"]["target"] = [node("target"), open("target", "rb").read().decode()]
os.symlink("made", "dangling")
case("dangling symlink", "dangling")
results["dangling symlink"]["target"] = open("made", "rb").read().decode()
os.mkfifo("fifo")
got = []
reader = threading.Thread(target=lambda: got.append(open("fifo", "rb").read()))
reader.start()
case("fifo", "fifo")
reader.join()
results["fifo"]["read"] = got[0].decode()
os.mknod("null", 0o620 | stat.S_IFCHR, os.makedev(1, 3))
os.chmod("null", 0o620)
case("device", "null")
os.mkdir("dir")
case("directory", "dir")
with open("bound", "wb") as f:
    f.write(b"old")
with open(base + "/small/source", "wb") as f:
    f.write(b"source")
subprocess.run(["mount", "--bind", base + "/small/source", "bound"], check=True)
case("bind mount", "bound")
results["bind mount"]["source"] = open(base + "/small/source", "rb").read().decode()
with open("owned", "wb") as f:
    f.write(b"old")
os.chown("owned", 1234, 5678)
os.chmod("owned", 0o604)
case("owner and mode", "owned")
# Without the right to give a file away, the output is written in place instead.
with open("theirs", "wb") as f:
    f.write(b"old")
os.chown("theirs", 1234, 5678)
os.chmod("theirs", 0o646)
results["owner kept in place"] = {"before": node("theirs"), "run": tolmek_run(
    "-o", "theirs", wrap=["setpriv", "--bounding-set=-chown"]), "after": node("theirs"),
    "text": open("theirs", "rb").read().decode()}
os.mkdir("closed")
with open("closed/file", "wb") as f:
    f.write(b"old")
os.chmod("closed", 0o555)
results["directory takes no new file"] = {"before": node("closed/file"), "run": tolmek_run(
    "-o", "closed/file", wrap=["setpriv", "--bounding-set=-dac_override,-dac_read_search"]),
    "after": node("closed/file"), "text": open("closed/file", "rb").read().decode()}
case("/dev/null", "/dev/null")
results["/dev/stdout"] = tolmek_run("-o", "/dev/stdout") + [node("/dev/stdout")]
# A file its user may not write (root without its override): refused, as `>` refuses it.
with open("readonly", "wb") as f:
    f.write(b"old")
os.chmod("readonly", 0o444)
drop = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"]
results["read-only"] = {"shell": subprocess.run([*drop, "sh", "-c", "echo x > readonly"], capture_output=True).returncode,
                        "before": node("readonly"), "run": tolmek_run("-o", "readonly", wrap=drop),
                        "after": node("readonly"), "text": open("readonly", "rb").read().decode()}
# A hard link: one file, written in place, so that every name shows the output.
with open("linked", "wb") as f:
    f.write(b"old")
os.link("linked", "other")
case("hard link", "linked")
results["hard link"]["other"] = [open("other", "rb").read().decode(), os.stat("other").st_ino == os.stat("linked").st_ino]
# A descriptor's name: written through the descriptor the shell opened, at its offset or appending.
with open("log", "wb") as f:
    f.write(b"earlier\n")
scripts = {"log": '"$0" curl -o /dev/stdout >> log',
           "both": '(echo a; "$0" curl -o /dev/stdout; echo b) > both',
           "proc": '(echo a; "$0" curl -o /proc/self/fd/1; echo b) > proc',
           "fd3": '{ echo a >&3; "$0" curl -o /dev/fd/3; echo b >&3; } 3> fd3'}
for name, script in scripts.items():
    subprocess.run(["sh", "-c", script, tolmek], input=line, check=True, timeout=60)
results["descriptors"] = {name: open(name).read() for name in scripts}
results["closed descriptor"] = tolmek_run("-o", "/dev/fd/9")
long = "n" * 255
case("255-byte name", long)
case("256-byte name", long + "n")
os.umask(0o027)
case("new script", "new.sh", None, "--script")
with open("small/full", "wb") as f:
    f.write(b"old")
os.chdir("small")
case("no space left", "full", None, stdin=b'{"url": "http://h/", "method": "POST", "headers": [], "body": "'
                                          + b"x" * 200000 + b'"}\n')
print(json.dumps(results))
"""


def test_output_onto_every_kind_of_node(tmp_path):
    if os.geteuid() != 0:
        missing("the -o node matrix needs root for its private mount namespace (CI runs as root)")
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], capture_output=True)
    if probe.returncode != 0:
        missing(f"no private mount namespace: {probe.stderr.decode().strip()}")
    base = tmp_path / "ns"
    base.mkdir()
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable, "-c", NAMESPACE,
                           command(), str(base)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    r = json.loads(done.stdout)
    one = ONE.decode()
    ok = [0, "", ""]

    def unchanged(name, status, message):
        case = r[name]
        assert case["run"] == [status, "", f"tolmek: error: {message}\n"], case
        assert case["before"] == case["after"] and case["listing"][0] == case["listing"][1], case

    # A symlink stays a link; its target is replaced, keeping its mode; a dangling one makes it.
    assert r["symlink"]["run"] == ok and r["symlink"]["before"] == r["symlink"]["after"]
    assert r["symlink"]["target"][0][0] == "-rw-r-----" and r["symlink"]["target"][1] == one
    assert r["dangling symlink"]["run"] == ok and r["dangling symlink"]["target"] == one
    # A FIFO and a device are written through and stay what they are.
    for name in ("fifo", "device", "/dev/null"):
        assert r[name]["run"] == ok and r[name]["before"] == r[name]["after"], (name, r[name])
    assert r["fifo"]["read"] == one and r["device"]["after"][0] == "crw--w----"
    assert r["/dev/null"]["after"][0] == "crw-rw-rw-" and r["/dev/null"]["after"][3] == os.makedev(1, 3)
    unchanged("directory", 2, "cannot write dir: Is a directory")
    # A bind-mounted file takes no rename: written in place, still the mount.
    assert r["bind mount"]["run"] == ok and r["bind mount"]["before"] == r["bind mount"]["after"]
    assert r["bind mount"]["source"] == one
    # A replaced file keeps its owner, group and mode.
    owned = r["owner and mode"]
    assert owned["run"] == ok and owned["after"][:3] == ["-rw----r--", 1234, 5678]
    for name in ("owner kept in place", "directory takes no new file"):
        assert r[name]["run"] == ok and r[name]["before"] == r[name]["after"] and r[name]["text"] == one, r[name]
    assert r["/dev/stdout"] == [0, one, "", r["/dev/stdout"][3]] and r["/dev/stdout"][3][5] == "/proc/self/fd/1"
    long = "n" * 255
    assert r["255-byte name"]["run"] == ok and long in r["255-byte name"]["listing"][0]
    assert len(r["255-byte name"]["listing"][0]) == len(r["255-byte name"]["listing"][1]) + 1
    unchanged("256-byte name", 2, f"cannot write {long}n: File name too long")
    assert r["new script"]["run"] == ok and r["new script"]["after"][0] == "-rwxr-x---"
    ro = r["read-only"]
    assert ro["shell"] != 0 and ro["run"] == [2, "", "tolmek: error: cannot write readonly: Permission denied\n"], ro
    assert ro["before"] == ro["after"] and ro["text"] == "old"
    linked = r["hard link"]
    assert linked["run"] == ok and linked["before"] == linked["after"] and linked["other"] == [one, True], linked
    assert r["descriptors"] == {"log": "earlier\n" + one, "both": f"a\n{one}b\n", "proc": f"a\n{one}b\n",
                                "fd3": f"a\n{one}b\n"}
    assert r["closed descriptor"] == [2, "", "tolmek: error: cannot write /dev/fd/9: Bad file descriptor\n"]
    unchanged("no space left", 2, "cannot write full: No space left on device")


# -- memory, numbers, nesting, duplicates ---------------------------------------------------------

def limited(megabytes):
    def preexec():
        resource.setrlimit(resource.RLIMIT_AS, (megabytes << 20, resource.RLIM_INFINITY))
    return preexec


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves more address space than the limits")
@pytest.mark.skipif(EMULATED, reason="the emulator reserves the guest's address space itself")
def test_address_space_limits(tmp_path):
    # Limits above what the interpreter takes with the command imported. Each run converts or ends
    # with one line saying memory ran out: while a value is read (a long body: its place is named),
    # or, just below the least limit that converts a collection, while the module exports it (its
    # internal failure, reported as what it is).
    base = subprocess.run([sys.executable, "-c", "import tolmek, tolmek_cli.run; print(open('/proc/self/status')"
                           ".read().split('VmPeak:')[1].split()[0])"], capture_output=True, text=True).stdout
    base = int(base) >> 10
    source = tmp_path / "in.jsonl"
    outcomes = []

    def attempt(request, count, mb):
        with open(source, "rb") as stdin:
            done = subprocess.run([command(), "postman"], stdin=stdin, capture_output=True, timeout=120,
                                  preexec_fn=limited(base + mb))
        if done.returncode == 0:
            items = json.loads(done.stdout)["item"]
            assert len(items) == count and items[-1]["request"]["body"]["raw"] == request["body"]
            outcomes.append("converted")
            return True
        failed(done, re.compile(r"tolmek: error: (<stdin>:\d+:1: out of memory: the value starting here "
                                r"needs more than there is|out of memory)"))
        outcomes.append("read" if "<stdin>" in done.stderr.decode() else "export")
        return False

    long_body = {"url": "http://h/", "method": "POST", "headers": [], "body": "é" * (4 << 20)}
    source.write_text(json.dumps(long_body) + "\n")
    attempt(long_body, 1, 30)
    many = {"url": "http://h/", "method": "POST", "headers": [], "body": "b" * 2000}
    source.write_text((json.dumps(many) + "\n") * 5000)
    low, high = 10, 100  # MiB above the base: too little, enough
    assert attempt(many, 5000, high)
    while high - low > 2:
        mid = (low + high) // 2
        low, high = (low, mid) if attempt(many, 5000, mid) else (mid, high)
    assert outcomes[0] == "read" and "export" in outcomes, outcomes


DEEP = 50_000


def test_huge_numbers_and_deep_nesting(capsysbinary, monkeypatch):
    digits = "9" * 5000
    deep = "[" * DEEP + "]" * DEEP
    entry = {"request": req("GET", "http://h/"), "response": {}, "time": 1}
    text = json.dumps({"log": {"pages": "PAGES", "entries": [entry, entry]}})
    text = text.replace('"PAGES"', deep).replace('"time": 1}', f'"time": {digits}, "x": {deep}}}', 1)
    done = run("curl", stdin=text.encode())
    assert (done.returncode, done.stdout, done.stderr) == (0, ONE * 2, b"")
    # The same however the text is cut into chunks, and a cut document still fails where it ends.
    small = text.replace(deep, "[" * 3000 + "]" * 3000).encode()
    for chunk in (1, 2, 7, 4096):
        monkeypatch.setattr(source, "CHUNK", chunk)
        assert in_process(capsysbinary, monkeypatch, ["curl"], small) == (0, ONE * 2, "")
        assert in_process(capsysbinary, monkeypatch, ["curl"], small[:-900]) == (
            2, b"", f"tolmek: error: <stdin>:1:{len(small) - 899}: not valid JSON: Expecting ',' delimiter\n")
    # Used fields: the type is named, or the entry skipped with a reason cut to a readable length.
    failed(run("curl", stdin=LINE.replace(b"[]", b"[" + deep.encode() + b"]")),
           "<stdin>:1:1: headers[0]: expected a [name, value] pair")
    failed(run("curl", stdin=LINE.replace(b'"GET"', digits.encode())), "<stdin>:1:1: method: expected a string, "
                                                                        "got a number")
    skipped = run("curl", stdin=har(req("DELETE", "http://h/", [("Content-Length", digits)])))
    shown = "'" + "9" * 90 + "...' (5000 characters)"
    assert (skipped.returncode, skipped.stdout) == (1, b"")
    assert skipped.stderr.decode().splitlines()[0].endswith(
        f"skipped log.entries[0]: the recorded Content-Length is out of range ({shown})")


def test_duplicate_members_keep_the_last_one():
    a, b = req("GET", "http://h/a"), req("PUT", "http://h/b")
    skip = req("PROP FIND", "http://h/")
    entries = lambda *rs: json.dumps([{"request": r} for r in rs])  # noqa: E731
    for doc in (f'{{"log": {{"entries": {entries(a, skip)}}}, "log": {{"entries": {entries(b)}}}}}',
                f'{{"log": {{"entries": {entries(a, skip)}, "pages": [], "entries": {entries(b)}}}}}',
                f'{{"item": [{{"request": "http://h/a"}}], "info": {{}}, "item": [{{"request": {{"url": "http://h/b", '
                f'"method": "PUT"}}}}]}}',
                # A member replaced by a later one is not checked either.
                f'{{"info": {{"schema": "v1"}}, "item": [{{"request": {{"url": "http://h/b", "method": "PUT"}}}}], '
                f'"info": {{}}}}'):
        done = run("curl", stdin=doc.encode())
        assert (done.returncode, done.stdout, done.stderr) == (0, script(("http://h/b", [], "PUT", None)), b""), doc


def test_the_modules_internal_failure_is_one_line(capsysbinary, monkeypatch):
    # The module prints the interpreter's error and its own diagnostic, then raises its failure
    # class: the command makes one line of that.
    class InternalFailure(BaseException):
        __module__ = "tolmek"

    def failing(printed):
        def export(self):
            sys.stderr.write(printed)
            raise InternalFailure("Python API call failed")
        return export

    for printed, message in (
            ("MemoryError\ntolmek: internal failure: Python API call failed\n  at src/binding/result.cpp:13 in f\n",
             "out of memory"),
            ("tolmek: internal failure: Python API call failed\n  at src/binding/result.cpp:13 in f\n",
             "internal failure of the tolmek module: Python API call failed (at src/binding/result.cpp:13 in f)")):
        monkeypatch.setattr("tolmek_cli.convert.TolmekCollection", type(
            "Collection", (), {"add_request": lambda self, r: None, "export_collection": failing(printed)}))
        assert in_process(capsysbinary, monkeypatch, ["postman"], LINE) == (2, b"", f"tolmek: error: {message}\n")


# -- messages ------------------------------------------------------------------------------------

def test_input_encodings_characters_and_names():
    for encoding in ("utf-16", "utf-16-le", "utf-16-be", "utf-32", "utf-8-sig"):
        done = run("curl", stdin=LINE.decode().encode(encoding))
        assert (done.returncode, done.stdout, done.stderr) == (0, ONE, b""), encoding
    failed(run("curl", stdin=b"\xff\xfe{\x00\x00\xd8"), "<stdin>:1:2: not UTF-16 text: unexpected end of data "
                                                         "(byte 0x00)")
    failed(run("curl", stdin="\ufeff\ufeff{}".encode()),
           "<stdin>:1:1: not valid JSON: Expecting value (found U+FEFF, a byte order mark)")
    failed(run("curl", stdin=LINE.replace(b" []", b"\xc2\xa0[]")),
           "<stdin>:1:49: not valid JSON: Expecting value (found U+00A0 NO-BREAK SPACE)")
    method = "X" * (1 << 20)
    done = run("curl", stdin=LINE.replace(b"GET", method.encode()))
    assert done.stderr.decode().splitlines()[0] == ("tolmek: <stdin>:1:1: skipped: method '" + "X" * 90 + "...' "
                                                    "(1048576 characters) is longer than one argument of a "
                                                    "command line may be")
    failed(run("curl", "-o", "", stdin=LINE), "cannot write '': the file name is empty")


def test_a_terminal_as_standard_input_prints_the_usage():
    leader, follower = os.openpty()
    if not os.isatty(follower):
        os.close(leader)
        os.close(follower)
        pytest.skip("this system does not report a pseudo-terminal as a terminal (as under qemu-user)")
    try:
        done = subprocess.run([command(), "curl"], stdin=follower, capture_output=True, timeout=60)
    finally:
        os.close(leader)
        os.close(follower)
    failed(done, "no FILE given and standard input is a terminal (- reads it)")
    assert done.stderr.decode().startswith("usage: tolmek curl ")


# -- the mutation fuzzer --------------------------------------------------------------------------

def seeds():
    """Real inputs: the suite's HAR documents and collections, JSON Lines and the bundled schema."""
    docs = [har(*(r for r, _ in HAR_CASES), indent=1), har(*(r for r, _ in SKIPS), ascii=True)]
    reqs = [Tolmek("http://h/" + m.lower(), [("A", "it's")], getattr(M, m), BODY) for m in ("GET", "POST", "PATCH")]
    docs.append(TolmekCollection(reqs).export_collection().encode())
    docs.append(LINE * 3 + GOT)
    data = os.path.join(os.path.dirname(__file__), "data")
    docs += [open(os.path.join(data, n), "rb").read() for n in sorted(os.listdir(data)) if n.endswith(".json")]
    return docs


TOKENS = [b"[" * 3000, b"9" * 5000, b"\xef\xbb\xbf", b"\xc2\xa0", b"\xe2\x80\xa8", b'"\\ud800"', b"\x00", b"{",
          b"}", b",", b'"log": {"entries": []}, ', b'"item": [], ', b"null", b"1e999", b"-0", b'"', b"\\"]


def mutate(rng, data, others):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        at = rng.randrange(len(data) + 1)
        kind = rng.randrange(6)
        if kind == 0 and data:
            data[min(at, len(data) - 1)] = rng.randrange(256)
        elif kind == 1:
            data[at:at] = rng.choice(TOKENS)
        elif kind == 2:
            del data[at:at + rng.randint(1, 64)]
        elif kind == 3:
            end = rng.randrange(at, len(data) + 1)
            data[end:end] = data[at:end][:4096]  # a member or element repeated
        elif kind == 4:
            other = rng.choice(others)
            start = rng.randrange(len(other) + 1)
            data[at:at] = other[start:start + rng.randint(1, 256)]
        else:
            del data[at:]
    return bytes(data)


ODD_VALUES = ["[" * 2000 + "]" * 2000, "9" * 5000, "-1e999", '"\\ud800"', '"caf\u00e9\u2028X: 1"', '"\u00a0"', "null",
              '"PROPFIND"', '""', "{}", "[]", '"\\u0000"', "0"]


def rewrite(rng, value):
    """The JSON text of a decoded value, with members repeated (an earlier copy with another
    value) and values replaced by odd ones here and there: text json.load still reads."""
    roll = rng.random()
    if roll < 0.01:
        return rng.choice(ODD_VALUES)
    if isinstance(value, dict):
        members = []
        for key, item in value.items():
            if rng.random() < 0.1:
                members.append(f"{json.dumps(key)}: {rewrite(rng, rng.choice(list(value.values())))}")
            members.append(f"{json.dumps(key)}: {rewrite(rng, item)}")
        return "{" + ", ".join(members) + "}"
    if isinstance(value, list):
        return "[" + ", ".join(rewrite(rng, item) for item in value) + "]"
    text = json.dumps(value, ensure_ascii=rng.random() < 0.5)
    return text if text.isascii() or not re.search("[\ud800-\udfff]", text) else json.dumps(value)


def in_process(capsysbinary, monkeypatch, args, stdin):
    import io

    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    code = tolmek_cli.main(list(args))
    out, err = capsysbinary.readouterr()
    return code, out, err.decode()


PLACE = re.compile(r"<stdin>:\d+:\d+: ")


def test_mutation_fuzzer(capsysbinary, monkeypatch):
    # Every mutant ends with 0, 1 or 2, and 2 with one error line; and where json.load reads the
    # mutant, the command gives what it gives for json.load's reading of it, written out again.
    seconds = float(os.environ.get("TOLMEK_FAULT_FUZZ_SECONDS", "3"))
    rng = random.Random(int(os.environ.get("TOLMEK_FAULT_FUZZ_SEED", "19")))
    corpus = seeds()
    runs = compared = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        seed = rng.choice(corpus)
        if rng.random() < 0.5 and seed is not corpus[3]:  # not the JSON Lines
            data = rewrite(rng, json.loads(seed)).encode()
        else:
            data = mutate(rng, seed, corpus)
        args = rng.choice([["curl"], ["postman"], ["curl", "--strict"]])
        code, out, err = in_process(capsysbinary, monkeypatch, args, data)
        runs += 1
        assert code in (0, 1, 2) and "internal error" not in err, (data, err)
        if code == 2:
            assert err.count("tolmek: error: ") == 1 and err.endswith("\n") and out == b"", (data, err)
            continue
        try:
            # Integers too long for int() read as floats, as the command reads them.
            decoded = json.loads(data.decode("utf-8-sig"), parse_int=lambda s: int(s) if len(s) < 4000 else float(s))
            canonical = json.dumps(decoded).encode()
        except (ValueError, RecursionError):
            continue
        again = in_process(capsysbinary, monkeypatch, args, canonical)
        compared += 1
        assert again[:2] == (code, out) and PLACE.sub("", again[2]) == PLACE.sub("", err), data
    print(f"mutation fuzzer: {runs} runs, {compared} compared with json.load")
    assert runs > 0
