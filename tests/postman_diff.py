"""Differential harness for the Postman reader: newman runs a collection against the loopback recorder,
`tolmek curl` converts the same collection, bash runs the script against the same recorder, and what
arrived is compared request by request."""

import copy
import hashlib
import hmac
import json
import re
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from urllib.parse import quote, unquote

from conftest import NEWMAN, loopback_env
from http_matrix import NONCE, REALM, digest_ok
from recorder import Recorder

# Headers newman and curl add of their own accord; everything else must arrive the same.
OWN = {b"user-agent", b"accept", b"postman-token", b"cache-control", b"connection", b"accept-encoding",
       b"content-length", b"host"}
CASE = "X-Tolmek-Case"
_HOST = re.compile(r"^(?:[A-Za-z][A-Za-z0-9+.-]*://)?([^/?#{}]*@)?[^/?#{}]*")
# What {{$guid}} makes: tolmek draws one when it converts, newman another; in a run whose commands
# were made with drawn values, one compares as the other.
GUID = r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"
_BOUNDARY = re.compile(rb"boundary=(\S+)")
# curl 8 writes the percent-escapes of a path in upper case ("%2e" arrives as "%2E"): the same
# target under RFC 3986, so escapes are compared in one case.
_ESCAPE = re.compile(rb"%[0-9A-Fa-f]{2}")


def _retarget(text, base):
    """An address with its scheme and host replaced by the recorder's; one that starts with a
    variable is left to the variable."""
    if text.startswith("{{"):
        return text
    m = _HOST.match(text)
    return base.replace("://", "://" + (m.group(1) or ""), 1) + text[m.end():]  # user information kept


def _redirect_url(request, base, port):
    url = request.get("url")
    if type(url) is str:
        request["url"] = _retarget(url, base)
    elif type(url) is dict:
        if type(url.get("raw")) is str:
            url["raw"] = _retarget(url["raw"], base)
        host = url.get("host")
        starts_with_variable = (type(host) is list and host and type(host[0]) is str and host[0].startswith("{{")
                                or type(host) is str and host.startswith("{{"))
        if host is not None and not starts_with_variable:
            url["protocol"], url["host"], url["port"] = "http", ["127", "0", "0", "1"], str(port)


def prepare(collection, base, port):
    """A copy of the collection without its scripts whose requests all go to the recorder
    (addresses and variables that hold an address retargeted) and carry a header naming their
    case; with the case list: [(index, item name)]."""
    doc = copy.deepcopy(collection)
    # Scripts are not run by tolmek, and newman's would reach the network (pm.sendRequest).
    for holder in [doc] + _folders(doc) + _requests(doc):
        holder.pop("event", None)
        if type(holder.get("request")) is dict:
            holder["request"].pop("event", None)
    for holder in [doc] + _folders(doc):
        for v in holder.get("variable") or ():
            if type(v) is dict and type(v.get("value")) is str and re.match(r"https?://", v["value"]):
                v["value"] = _retarget(v["value"], base)
    cases = []
    for item in _requests(doc):
        request = item["request"]
        if type(request) is str:
            request = item["request"] = {"url": request}
        _redirect_url(request, base, port)
        marker = f"{CASE}: {len(cases)}"
        header = request.get("header")
        if type(header) is str:
            request["header"] = header + "\n" + marker
        elif type(header) is list:
            header.insert(0, {"key": CASE, "value": str(len(cases))})
        else:
            request["header"] = [{"key": CASE, "value": str(len(cases))}]
        cases.append((len(cases), item.get("name")))
    return doc, cases


def _folders(doc):
    out, stack = [], list(doc.get("item") or ())
    while stack:
        item = stack.pop()
        if type(item) is dict and type(item.get("item")) is list:
            out.append(item)
            stack.extend(item["item"])
    return out


def _requests(doc):
    """Request items in order (folders walked depth first)."""
    out, stack = [], [iter(doc.get("item") or ())]
    while stack:
        item = next(stack[-1], None)
        if item is None:
            stack.pop()
        elif type(item) is dict and type(item.get("item")) is list:
            stack.append(iter(item["item"]))
        elif type(item) is dict and "request" in item:
            out.append(item)
    return out


def _challenge(arrival):
    """A digest challenge for a request to /digest... that does not answer one."""
    if arrival.target.startswith(b"/digest") and not _digest_answer(arrival):
        return (b'HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm="' + REALM.encode() + b'", nonce="'
                + NONCE.encode() + b'", qop="auth", algorithm=MD5\r\nContent-Length: 0\r\n\r\n')
    return None


def _digest_answer(arrival):
    return any(n.lower() == b"authorization" and v.startswith(b"Digest ") for n, v in arrival.headers)


AWS_SECRET = "aws/secret+key"


def _aws_signed(arrival):
    """Whether the arrival's AWS Signature v4 is right for what arrived, checked as AWS checks it:
    the path escaped again, the query sorted, the signed headers as they came, the body's hash."""
    headers = [(n.decode().lower(), b" ".join(v.split()).decode()) for n, v in arrival.headers]
    auth = next(v for n, v in headers if n == "authorization")
    m = re.fullmatch(r"AWS4-HMAC-SHA256 Credential=[^/]+/(\d{8})/([^/]+)/([^/]+)/aws4_request, ?"
                     r"SignedHeaders=([^,]+), ?Signature=([0-9a-f]{64})", auth)
    if not m:
        return False
    day, region, service, signed, signature = m.groups()
    path, _, query = arrival.target.decode().partition("?")
    pairs = sorted((quote(unquote(k), safe="-_.~"), quote(unquote(v), safe="-_.~"))
                   for k, _, v in (p.partition("=") for p in query.split("&") if query))
    values = {}
    for n, v in headers:
        values.setdefault(n, []).append(v)
    names = signed.split(";")
    if names != sorted(names) or not values.keys() >= set(names):
        return False
    body_hash = values.get("x-amz-content-sha256", [hashlib.sha256(arrival.body).hexdigest()])[0]
    request = "\n".join([arrival.method.decode(), path if service == "s3" else quote(path, safe="/-_.~"),
                         "&".join(f"{k}={v}" for k, v in pairs),
                         "".join(f"{n}:{','.join(values[n])}\n" for n in names), signed, body_hash])
    scope = f"{day}/{region}/{service}/aws4_request"
    to_sign = "\n".join(["AWS4-HMAC-SHA256", values["x-amz-date"][0], scope, hashlib.sha256(request.encode()).hexdigest()])
    key = ("AWS4" + AWS_SECRET).encode()
    for part in (day, region, service, "aws4_request"):
        key = hmac.new(key, part.encode(), hashlib.sha256).digest()
    return hmac.compare_digest(hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest(), signature)


def by_case(arrivals):
    """case -> its first arrival; an answer to the digest challenge rides on it as `.retry`."""
    out = {}
    for a in arrivals:
        for n, v in a.headers:
            if n.lower() == CASE.lower().encode() and v.isdigit():
                if int(v) in out and _digest_answer(a):
                    out[int(v)].retry = a
                out.setdefault(int(v), a)
    return out


def _parts(body, boundary):
    """The parts of a multipart body, each as its bytes between the delimiters."""
    pieces = body.split(b"--" + boundary)
    return [p.strip(b"\r\n") for p in pieces[1:-1]] + ([pieces[-1]] if not pieces[-1].startswith(b"--") else [])


def view(arrival):
    """What of an arrival is compared: method, target, headers other than the clients' own (the
    case marker and a multipart boundary set aside) and the body (part by part for multipart)."""
    headers, boundary, answer = [], None, None
    for n, v in arrival.headers:
        low = n.lower()
        if low in OWN or low == CASE.lower().encode():
            continue
        if low == b"authorization" and v.startswith(b"Digest "):
            # The client's nonce is its own random choice, and curl writes its answer before the
            # request's headers, newman after them: the answer is compared by whether it is right.
            answer = digest_ok(arrival) and f'uri="{arrival.target.decode()}"'.encode() in v
            continue
        if low == b"authorization" and v.startswith(b"AWS4-HMAC-SHA256 "):
            # Signed at a different time, and curl writes it and its date before the request's headers.
            answer = ("AWS4", _aws_signed(arrival), v.split(b"Signature=")[0].split(b"SignedHeaders=")[0])
            continue
        if low == b"x-amz-date" and any(v.startswith(b"AWS4-HMAC-SHA256 ") for _, v in arrival.headers):
            continue
        if low == b"content-type" and (m := _BOUNDARY.search(v)):
            boundary = m.group(1).strip(b'"')
            v = v[: m.start()] + b"boundary=*"
        headers.append((n, v))
    body = arrival.body if boundary is None else _parts(arrival.body, boundary)
    target = _ESCAPE.sub(lambda m: m.group().upper(), arrival.target)
    retry = getattr(arrival, "retry", None)
    if retry is not None:
        # Before the challenge curl sends a body of 0 B, newman the whole body: the server refuses both.
        return arrival.method, target, headers, view(retry)
    return arrival.method, target, headers, body, answer


@dataclass
class Outcome:
    cases: list
    newman: dict                      # case -> arrival
    tolmek: dict                      # case -> arrival
    skipped: list = field(default_factory=list)   # stderr lines of skipped requests
    differences: dict = field(default_factory=dict)  # case -> (newman's view, tolmek's view)
    stderr: str = ""

    @property
    def identical(self):
        return [c for c in self.newman if c in self.tolmek and c not in self.differences]


def _newman(args):
    """newman's run. Now and then, with file bodies, newman prints its summary and then never
    exits: a run still there 5 s after its summary is ended and counts as finished."""
    with subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=loopback_env()) as proc:
        out, err = [], []
        readers = [threading.Thread(target=lambda f, to: to.extend(f), args=(f, to), daemon=True)
                   for f, to in ((proc.stdout, out), (proc.stderr, err))]
        for r in readers:
            r.start()
        summary, deadline = None, time.monotonic() + 300
        while proc.poll() is None:
            assert time.monotonic() < deadline, "newman did not finish in 300 s:\n" + "".join(out + err)
            if summary is None and any("total run duration" in line for line in out[-8:]):
                summary = time.monotonic()
            if summary is not None and time.monotonic() - summary > 5:
                proc.kill()
                proc.wait()
                break
            time.sleep(0.1)
        for r in readers:
            r.join(10)
        code = proc.returncode
        if summary is not None and code < 0:
            code = 1 if re.search(r"│\s+requests\s+│\s+\d+\s+│\s+[1-9]", "".join(out)) else 0
    return subprocess.CompletedProcess(args, code, "".join(out), "".join(err))


def run(collection, scratch, options=(), newman_options=None):
    """Both deliveries of one collection; newman and `tolmek curl` get the same variable options
    (`options`, newman's spelling) unless `newman_options` says otherwise; "{base}" in an option
    stands for the recorder's address."""
    with Recorder(answer=_challenge) as rec:
        options = [o.replace("{base}", rec.base) for o in options]
        newman_options = [o.replace("{base}", rec.base) for o in (options if newman_options is None else newman_options)]
        doc, cases = prepare(collection, rec.base, rec.port)
        path = scratch / "collection.json"
        path.write_text(json.dumps(doc, ensure_ascii=False), encoding="utf-8")
        done = _newman([str(NEWMAN), "run", str(path), "--reporters", "cli", "--color", "off",
                        "--timeout-request", "5000", *newman_options])
        newman = by_case(rec.take())
        converted = subprocess.run([sys.executable, "-m", "tolmek_cli", "curl", str(path), *options],
                                   capture_output=True, timeout=120)
        none = "no request converted" in converted.stderr.decode()
        assert converted.returncode == (1 if none else 0), converted.stderr.decode()
        assert done.returncode in (0, 1), done.stdout + done.stderr  # 1: a request failed or a test script did
        script = scratch / "replay.sh"
        script.write_bytes(converted.stdout)
        subprocess.run(["bash", str(script)], capture_output=True, timeout=300, env=loopback_env())
        tolmek = by_case(rec.take())
    stderr = converted.stderr.decode()
    out = Outcome(cases, newman, tolmek, [line for line in stderr.splitlines() if ": skipped " in line], stderr=stderr)
    drawn = "drawn once at conversion" in stderr
    for case in newman.keys() & tolmek.keys():
        a, b = view(newman[case]), view(tolmek[case])
        if a != b and not (drawn and re.sub(GUID, "", repr(a)) == re.sub(GUID, "", repr(b))):
            out.differences[case] = (a, b)
    out.newman_output = done.stdout
    return out


def describe(outcome):
    """The differences, one paragraph each, for an assertion message."""
    lines = []
    for case, (a, b) in sorted(outcome.differences.items()):
        lines.append(f"case {case} {outcome.cases[case][1]!r}:\n  newman {a}\n  tolmek {b}")
    return "\n".join(lines)
