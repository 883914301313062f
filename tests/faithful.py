"""Differential harness for curl commands: generated requests, what must arrive at the recorder for
each, and running batches of rendered commands through real shells and the real curl."""

import os
import shlex
import shutil
import subprocess
from dataclasses import dataclass
from urllib.parse import unquote_to_bytes

from hypothesis import strategies as st

import tolmek
from conftest import M, foreign_env

METHODS = "GET POST PUT DELETE HEAD OPTIONS PATCH TRACE CONNECT".split()
CURL = shutil.which("curl")

# Each shell as it is started on `-c SCRIPT`; the prelude goes first in the script.
SHELLS = {
    "bash": ("bash", ""),
    "bash-failglob": ("bash", "shopt -s failglob\n"),
    "dash": ("dash", ""),
    "zsh": ("zsh", ""),
}

# Per curl run, so that a hang is pinned on its command and the rest of the batch still runs.
CURL_SECONDS = float(os.environ.get("TOLMEK_CURL_TIMEOUT", "5"))


def render(url, headers, method, body):
    """The command under test. A self-check may replace this with a renderer of its own."""
    return tolmek.Tolmek(url, list(headers), getattr(M, method), body).get_request_command()


@dataclass(frozen=True)
class Req:
    path: str  # everything after http://127.0.0.1:PORT
    headers: tuple
    method: str
    body: str | None

    def url(self, base):
        return base + self.path


# --- generated requests ----------------------------------------------------------------------

# Characters the shells or curl treat specially, next to ordinary ones and non-ASCII text.
SPECIAL = "?*[]{}~=!$`'\"\\%# &;|<>()^,@+:"
_NON_ASCII = "éü✓日😀\u00a0"
URL_TEXT = st.text(alphabet="abcXY09-_." + SPECIAL + _NON_ASCII + "\x85\u202e", max_size=8)
# A URL may not hold a control character (curl refuses C0 and DEL in a URL: see the notes in
# test_faithful.py); a space is generated, as every URL rule has to deal with it.
SEGMENT = st.sampled_from(["", ".", "..", "%2e", "%2E", ".%2e", "%2E%2e", "%2e.", "%2e%", "%2F", "%41", "%zz", "%"]) | URL_TEXT


@st.composite
def paths(draw):
    segments = draw(st.lists(SEGMENT, max_size=5))
    path = "/" + "/".join(segments)
    if draw(st.booleans()):
        path += "?" + draw(URL_TEXT)
    if draw(st.integers(0, 4)) == 0:
        path += "#" + draw(URL_TEXT)
    return path


# Texts that no command can carry; each gets a case of its own in the refusal rules.
_BREAKS = st.sampled_from(["\r", "\n", "\r\n"])
# Controls curl passes on untouched in a header or body; C0, DEL, C1 and bidirectional controls
# reach the shell through printf, so that no terminal sees them.
_WEIRD = "\t\x01\x1b\x7f\u2028\x0b\x0c\x15\x9b\x85\u202e\u2066\u061c"

PLAIN_TEXT = st.text(alphabet=st.characters(codec="utf-8", exclude_characters="\x00\r\n"), max_size=12)
HEADER_TEXT = st.text(alphabet="aZ9-_ ;:,.'\"$`!\\@#%&*=~/()[]{}<>?|^+" + _WEIRD + _NON_ASCII, max_size=10)
NAME_TEXT = st.text(alphabet="aZ9-_.!#$%&'*+^`|~" + "\"\\(){}[]<>/?=,; \t" + _NON_ASCII, min_size=1, max_size=10)
WHITE = st.text(alphabet=" \t", max_size=3) | st.text(alphabet=" \t\v\f", max_size=3)


def _with(text, inserted):
    """text with `inserted` put somewhere in it."""
    return st.tuples(text, inserted, st.integers(0, 20)).map(lambda t: t[0][: t[2]] + t[1] + t[0][t[2]:])


# Names of headers that curl writes itself (Host, User-Agent, Accept, and with a body
# Content-Type and Content-Length) or that change how the body is framed (Expect,
# Transfer-Encoding), in any letter case. Content-Length and Transfer-Encoding are given only
# values that agree with the body: a record that contradicts its own framing is not a request.
CURL_OWN = ["Host", "Accept", "User-Agent", "Content-Type", "Expect"]


def _case(name):
    return st.sampled_from([name, name.lower(), name.upper()])


_REFUSED_NAMES = st.one_of(
    NAME_TEXT.map(lambda n: "@" + n),
    st.just(""),
    _with(NAME_TEXT, st.just(":")),
    _with(NAME_TEXT, _BREAKS),
    _with(NAME_TEXT, st.just("\x00")),
    st.tuples(st.sampled_from(" \t"), NAME_TEXT).map("".join),
)
_REFUSED_VALUES = _with(HEADER_TEXT, _BREAKS) | _with(HEADER_TEXT, st.just("\x00"))


def _weighted(*pairs):
    """One of the strategies, each drawn `weight` times as often as a strategy of weight 1."""
    return st.sampled_from([s for weight, s in pairs for _ in range(weight)]).flatmap(lambda s: s)


names = _weighted((6, NAME_TEXT), (3, st.sampled_from(CURL_OWN).flatmap(_case)), (1, _REFUSED_NAMES))
values = _weighted(
    (5, HEADER_TEXT),
    (2, st.tuples(WHITE, HEADER_TEXT, WHITE).map("".join)),
    (2, WHITE),  # empty or only blanks: sent as an empty value
    (1, _REFUSED_VALUES),
)
headers = st.lists(st.tuples(names, values), max_size=4).flatmap(
    # Duplicates: repeat some of the headers, at the end or mixed in.
    lambda hs: st.permutations(hs + hs[: 1]) if hs and len(hs) < 3 else st.just(hs))

BODY_TEXT = st.text(alphabet=st.characters(codec="utf-8", exclude_characters="\x00"), max_size=30)
bodies = _weighted(
    (4, st.none()),
    (5, BODY_TEXT),
    (2, st.sampled_from(["", "@", "@/etc/hostname", "@-", "'", "it's $HOME `id` !! \\\n\"x\"\r\n", "-d", "--"])),
    (1, BODY_TEXT.map(lambda b: "@" + b)),
    (1, st.integers(1000, 4000).map(lambda n: ("a'\"$`!\n✓" * n)[:n])),  # long, non-ASCII
    (1, _with(BODY_TEXT, st.just("\x00"))),  # refused
)


@st.composite
def requests(draw):
    method = draw(st.sampled_from(METHODS))
    body = draw(bodies)
    hs = draw(headers)
    # Framing headers, only with values that agree with the body.
    extra = draw(st.integers(0, 9))
    if extra == 0:
        length = len(body.encode()) if body is not None else 0
        hs = hs + [(draw(_case("Content-Length")), str(length))]
    elif extra == 1 and body:
        hs = hs + [(draw(_case("Transfer-Encoding")), "chunked")]
    return Req(draw(paths()), tuple(hs), method, body)


# --- what must happen ------------------------------------------------------------------------

P = "no curl command can carry this request: "
NO_ARGUMENT = ", which no command-line argument can carry"


def refusal(req):
    """The ValueError message that rendering `req` must raise, or None when it must render: the
    first piece, in the order URL, headers, body, that no command line can carry."""
    if "\x00" in req.path:
        return P + "the URL holds a NUL character" + NO_ARGUMENT
    if any(c < " " or c == "\x7f" for c in req.path):
        return P + "the URL holds a control character, which curl refuses in a URL"
    hosts = 0
    for i, (name, value) in enumerate(req.headers, 1):
        piece = f"{P}header {i} ({name!r})"
        if name == "":
            return f"{piece} has an empty name, which curl drops"
        if "\x00" in name:
            return f"{piece} holds a NUL character in its name{NO_ARGUMENT}"
        if "\r" in name or "\n" in name:
            return f"{piece} holds a line break (CR or LF) in its name, which would start another header line"
        if ":" in name:
            return f"{piece} has ':' in its name, where curl would split it"
        if name.startswith("@"):
            return f"{piece} has a name that starts with '@', which makes curl read headers from a file"
        if name.startswith((" ", "\t")):
            return (f"{piece} has a name that starts with a space or a tab, which HTTP/1.1 reads as the continuation"
                    " of the line before")
        if "\x00" in value:
            return f"{piece} holds a NUL character in its value{NO_ARGUMENT}"
        if "\r" in value or "\n" in value:
            return f"{piece} holds a line break (CR or LF) in its value, which would start another header line"
        if value.strip(" \t") == "" and ";" in name:
            return f"{piece} has an empty value and ';' in its name, which curl cannot send as an empty header"
        if value.strip(" \t") == "" and name.endswith((" ", "\t")):
            return (f"{piece} has an empty value and a name that ends with a space or a tab, which curl cannot send"
                    " as an empty header")
        if value.strip(" \t\v\f") == "" and value.strip(" \t") != "":
            return (f"{piece} holds only white space with a vertical tab or a form feed in its value, which curl"
                    " reads as empty and drops")
        if name.lower() == "host":
            hosts += 1
            if hosts == 2:
                return f"{piece} is a second Host header, which curl drops"
    if req.body is not None and "\x00" in req.body:
        return P + "the body holds a NUL character" + NO_ARGUMENT
    return None


_OWS = b" \t"
_FORM = b"application/x-www-form-urlencoded"


def curl_version():
    out = subprocess.run([CURL, "--version"], capture_output=True, check=True, timeout=20, env=foreign_env()).stdout
    return out.split()[1]


def curl_label():
    """"curl-VERSION" of the curl the harness runs ("curl-missing" without one): part of the test ids,
    so that a report shows which curl the commands were checked against."""
    try:
        return "curl-" + curl_version().decode()
    except (TypeError, OSError, subprocess.SubprocessError, IndexError):
        return "curl-missing"


# What the harness has done in this process, for the summary line (conftest.py).
TALLY = {"requests": 0, "refused": 0, "runs": 0}


def target_of(path):
    """What the request target must decode to: the path up to its fragment, percent-decoded."""
    return unquote_to_bytes(path.split("#", 1)[0].encode())


def mismatches(req, port, arrival, user_agent):
    """What differs between the record and what arrived, as readable lines (empty when equal).

    Equal as HTTP: header values without the optional white space around them, the target after
    percent-decoding (curl encodes non-ASCII in a path), no fragment, and Host compared by its
    values alone: curl always writes it first, under its own spelling "Host", and the order of
    fields with different names carries no meaning. Besides the record's headers curl adds its
    own ones whose name the record lacks: Host, User-Agent and Accept always, Content-Length and
    Content-Type with a body, no Expect (curl 7.88 asks for 100-continue only above 1 MiB, more
    than one argument can hold); these must arrive with curl's values and are then set aside."""
    out = []
    body = None if req.body is None else req.body.encode()
    if arrival.method != req.method.encode():
        out.append(f"method {arrival.method!r}")
    if unquote_to_bytes(arrival.target) != target_of(req.path):
        out.append(f"target {arrival.target!r}, decoded {unquote_to_bytes(arrival.target)!r}")
    if arrival.faults:
        out.append(f"framing: {arrival.faults}")

    record = [(n.encode(), v.encode().strip(_OWS)) for n, v in req.headers]
    has = {n.lower() for n, _ in record}
    got = list(arrival.headers)

    def pull(name):
        nonlocal got
        taken = [v for n, v in got if n.lower() == name]
        got = [(n, v) for n, v in got if n.lower() != name]
        return taken

    hosts_wanted = [v for n, v in record if n.lower() == b"host"] or [f"127.0.0.1:{port}".encode()]
    if (hosts := pull(b"host")) != hosts_wanted:
        out.append(f"Host {hosts} instead of {hosts_wanted}")
    record = [(n, v) for n, v in record if n.lower() != b"host"]
    chunked = any(n.lower() == b"transfer-encoding" for n, _ in record)
    own = {b"user-agent": [user_agent], b"accept": [b"*/*"],
           b"content-length": [str(len(body)).encode()] if body is not None and not chunked else [],
           b"content-type": [_FORM] if body is not None else []}
    for name, wanted in own.items():
        if name not in has and (added := pull(name)) != wanted:
            out.append(f"curl's own {name.decode()}: {added} instead of {wanted}")
    if got != record:
        out.append(f"headers {got}\n      instead of {record}")
    if arrival.body != (body or b""):
        out.append(f"body {arrival.body[:200]!r} ({len(arrival.body)} bytes) instead of {(body or b'')[:200]!r}")
    return out


# --- running commands ------------------------------------------------------------------------

def shell_env(home):
    """Only what the shells need: no proxy settings (curl would follow them), HOME in the scratch
    directory (no ~/.curlrc, ~/.zshenv of the person running the tests)."""
    return {"PATH": os.environ.get("PATH", os.defpath), "HOME": str(home), "LC_ALL": "C.UTF-8"}


def plant_glob_bait(scratch, url):
    """Create the file that the URL, taken as a glob pattern, would match: `?` as X, `*` as Y, so a
    URL left open to globbing turns into another one (bash without options leaves a pattern that
    matches nothing as it is)."""
    if "?" not in url and "*" not in url:
        return
    path = url.replace("?", "X").replace("*", "Y")
    if "\x00" in path or any(len(p.encode()) > 200 for p in path.split("/")) or path.endswith("/"):
        return
    try:
        full = scratch / path.replace("://", ":/")
        full.parent.mkdir(parents=True, exist_ok=True)
        full.touch()
    except OSError:
        pass  # e.g. a segment that names an existing file; this bait is then not needed


def run_batch(shell, commands, scratch, status_file, tag_file, timeout):
    """Run the commands, one after the other, in one `SHELL -c` script: the tag file names the
    command about to run (the recorder tags arrivals with it) and the status file collects each
    command's exit status. Returns (statuses {index: code}, shell's stderr)."""
    exe, prelude = SHELLS[shell]
    q = shlex.quote
    lines = [prelude, f'curl() {{ timeout {CURL_SECONDS} {q(CURL)} "$@" >/dev/null; }}\n']
    for i, cmd in enumerate(commands):
        # Each on lines of its own: bash with failglob gives up the rest of the line after a
        # failed glob, zsh skips just the command.
        lines.append(f"printf '%s' {i} >{q(str(tag_file))}\n{cmd}\nprintf '%s %s\\n' {i} \"$?\" >>{q(str(status_file))}\n")
    status_file.write_text("")
    tag_file.write_text("")
    proc = subprocess.run([exe, "-c", "".join(lines)], cwd=scratch, env=shell_env(scratch),
                          capture_output=True, timeout=timeout)
    statuses = {}
    for line in status_file.read_text().splitlines():
        i, code = line.split()
        statuses[int(i)] = int(code)
    return statuses, proc.stderr.decode(errors="replace")


def deliver(shell, batch, recorder, scratch, timeout):
    """Run the batch's (url, command) pairs in one script of `shell` against the recorder, the glob
    bait of every URL planted first. Returns (statuses {index: code}, shell's stderr, the arrivals,
    each tagged with its command's index)."""
    for url, _ in batch:
        plant_glob_bait(scratch, url)
    status_file, tag_file = scratch / ".status", scratch / ".tag"
    recorder.tag_file = tag_file
    recorder.take()
    statuses, stderr = run_batch(shell, [cmd for _, cmd in batch], scratch, status_file, tag_file, timeout)
    return statuses, stderr, recorder.take()


def check_commands(reqs, recorder, scratch, shells, user_agent):
    """Render every request, run the renderable ones in each shell, and compare. Returns the list
    of problems, one readable paragraph per failing request and shell."""
    problems, runnable = [], []
    for req in reqs:
        url = req.url(recorder.base)
        reason = refusal(req)
        TALLY["requests"] += 1
        TALLY["refused"] += reason is not None
        try:
            cmd = render(url, req.headers, req.method, req.body)
        except ValueError as e:
            if str(e) != reason:
                problems.append(f"{req}\n   raised ValueError({str(e)!r}), expected "
                                + (f"ValueError({reason!r})" if reason else "a command"))
            continue
        if reason is not None:
            problems.append(f"{req}\n   rendered {cmd!r}; expected ValueError({reason!r})")
            continue
        runnable.append((req, url, cmd))
    if not runnable:
        return problems
    batch = [(url, cmd) for _, url, cmd in runnable]
    for shell in shells:
        statuses, stderr, arrivals = deliver(shell, batch, recorder, scratch, timeout=CURL_SECONDS * len(batch) + 30)
        TALLY["runs"] += len(batch)
        for i, (req, _, cmd) in enumerate(runnable):
            got = [a for a in arrivals if a.tag == str(i)]
            code = statuses.get(i)
            why = []
            if code is None:
                why.append("the shell never finished the command")
            elif code == 124:
                why.append(f"curl still waiting after {CURL_SECONDS} s")
            elif code != 0 and not (code == 18 and req.method == "HEAD" and req.body is not None):
                why.append(f"exit status {code}")
            if len(got) != 1:
                why.append(f"{len(got)} requests arrived")
            if got:
                why += mismatches(req, recorder.port, got[0], user_agent)
            if why:
                problems.append(f"[{shell}] {req}\n   command: {cmd!r}\n   " + "\n   ".join(why)
                                + (f"\n   shell stderr: {stderr[-600:]!r}" if code != 0 else ""))
    return problems


def unavailable(*tools):
    """The tools (shells, curl, timeout) that are not installed."""
    return [t for t in tools if shutil.which(t) is None]

