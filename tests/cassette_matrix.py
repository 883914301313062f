"""Differential harness for cassettes: real clients send the cases of http_matrix.py to the loopback
recorder while vcrpy or betamax records them; `tolmek curl` (run by bash, dash and zsh with the real
curl) and `tolmek postman` (run by newman) replay each cassette against the same recorder; what
arrives is compared with what the client sent, as the cassette can carry it."""

import contextlib
import json
import re
from dataclasses import dataclass
from urllib.parse import parse_qsl, unquote_to_bytes

import http_matrix
import postman_diff
from conftest import NEWMAN
from http_matrix import CASES, CLIENTS

# A proxy the cassettes do not record (they hold the origin's address), and a 16 MiB body costs
# seconds in each shell for nothing a 200 KiB one does not show: both are left out.
RECORDED_CASES = {name: case for name, case in CASES.items() if not case.proxy and not case.big}
# vcrpy records every client (requests in JSON too), betamax requests' sessions, also keeping the
# exact body bytes.
RECORDINGS = [*(("vcrpy", client) for client in CLIENTS), ("vcrpy-json", "requests"), ("betamax", "requests"),
              ("betamax-exact", "requests")]
# The tag aiohttp's header names come with: vcrpy asks for a serializer that keeps them.
ISTR = "tag:yaml.org,2002:python/object/apply:multidict._multidict.istr"
# What newman adds where the request has no header of the name (test_faithful_newman.py lists what
# newman cannot carry), and the framing curl writes for a body.
ADDED = postman_diff.OWN | {b"content-type", b"transfer-encoding", b"expect"}


@dataclass
class Recorded:
    """One case as the client sent it (Arrivals) and the cassette the library wrote of it, with the
    header names it holds for each interaction, as the library itself reads the file back."""

    name: str
    sent: list
    path: object
    names: list


def _vcr_yaml():
    from vcr.serializers import yamlserializer

    return yamlserializer.with_custom_tags({ISTR: lambda loader, node: loader.construct_sequence(node)[0]})


@contextlib.contextmanager
def _recording(recorder, path):
    # The matrix's clients also capture at the wire, around the connection classes vcrpy replaces
    # and the adapters betamax's stands in for: not needed here (the recorder sees what was sent).
    capture, http_matrix.tolmek_http.capture = http_matrix.tolmek_http.capture, lambda client, callback: client
    try:
        with _library(recorder, path):
            yield
    finally:
        http_matrix.tolmek_http.capture = capture


@contextlib.contextmanager
def _library(recorder, path):
    if recorder.startswith("vcrpy"):
        import vcr

        my_vcr = vcr.VCR(record_mode="all", serializer="json" if recorder == "vcrpy-json" else "yaml")
        my_vcr.register_serializer("yaml", _vcr_yaml())
        with my_vcr.use_cassette(str(path)):
            yield
        return
    import betamax
    import requests

    made, real = [], requests.Session

    class Session(real):  # the matrix's client makes its own session: betamax records it from the start
        def __init__(self):
            super().__init__()
            made.append(betamax.Betamax(self, cassette_library_dir=str(path.parent)))
            made[-1].use_cassette(path.stem, record="all", serialize_with="json",
                                  preserve_exact_body_bytes=recorder == "betamax-exact").start()

    requests.Session = Session
    try:
        yield
        for r in made:
            r.stop()
    finally:
        requests.Session = real


def _connection_classes():
    import http.client

    import urllib3.connection
    import urllib3.connectionpool

    return [(o, a, getattr(o, a)) for o in (http.client, urllib3.connection) for a in ("HTTPConnection", "HTTPSConnection")] \
        + [(p, "ConnectionCls", p.ConnectionCls) for p in (urllib3.connectionpool.HTTPConnectionPool,
                                                          urllib3.connectionpool.HTTPSConnectionPool)]


def record(recorder, client, name, recorders, path):
    """The Recorded case, or why the library did not record it (NotApplicable: the client cannot send it)."""
    # A cassette vcrpy fails to save can leave its connection classes in place: put back, so
    # that the tests after these talk to real connections.
    classes = _connection_classes()
    try:
        with _recording(recorder, path):
            sent, _, _ = http_matrix.send(client, RECORDED_CASES[name], recorders)
    except http_matrix.NotApplicable:
        raise
    except Exception as e:  # noqa: BLE001 - the library refused to write it: named in the tally
        return f"{type(e).__name__}: {str(e).splitlines()[0][:120]}"
    finally:
        for holder, attr, value in classes:
            setattr(holder, attr, value)
    if not path.exists():
        return "no cassette was written"
    text = path.read_text()
    if recorder.startswith("betamax"):
        back = json.loads(text)["http_interactions"]
    else:
        back = json.loads(text)["interactions"] if recorder == "vcrpy-json" else _vcr_yaml().deserialize(text)["interactions"]
    if len(back) != len(sent):  # which of the requests are the recorded ones is not known then
        return f"the cassette holds {len(back)} of the {len(sent)} requests sent"
    return Recorded(name, sent, path, [{str(n).lower().encode() for n in i["request"].get("headers") or {}} for i in back])


def label(path, j):
    return f"{'http_interactions' if path.name.startswith('betamax') else 'interactions'}[{j}]"


# --- comparing -------------------------------------------------------------------------------

def _like(arrival, headers=None, target=None, body=None):
    copy = type(arrival)(arrival.method, arrival.target if target is None else target,
                         arrival.headers if headers is None else headers, arrival.body if body is None else body)
    copy.faults = arrival.faults
    return copy


def _differences(sent, arrived, recorder, fold):
    """http_matrix.differences with the order across header names set aside for vcrpy's YAML (it
    lists them sorted), and the case of the names for httpx's (vcrpy records them in lower case)."""
    if recorder == "vcrpy":
        sent, arrived = (_like(a, sorted(a.headers, key=lambda h: h[0].lower())) for a in (sent, arrived))
    return http_matrix.differences(sent, arrived, fold_case=fold)


def _same_data(sent, arrived):
    """Whether `arrived` is JSON text of the data `sent` (JSON, or a form) holds."""
    try:
        data = json.loads(arrived)
    except ValueError:
        return False
    try:
        return data == json.loads(sent)
    except ValueError:
        return data == dict(parse_qsl(sent.decode(), keep_blank_values=True))


def _as_named(sent, arrived, notes, recorded):
    """(sent, arrived) with each loss the request's notes name taken out, checked to be that loss
    only: the client's own headers the cassette lacks (no User-Agent, no Accept-Encoding), and what
    curl or newman add in their place; a body recorded as data that arrived as the same data in
    JSON; a betamax text whose bytes that were not UTF-8 arrived as U+FFFD."""
    body = arrived.body
    if "recorded as data" in notes and _same_data(sent.body, arrived.body) or (
            "holds U+FFFD" in notes and arrived.body == sent.body.decode("utf-8", "replace").encode()):
        body = sent.body
    if "has no User-Agent" in notes or "has no Accept-Encoding" in notes:
        kept = recorded | {b"host"}
        sent = _like(sent, [h for h in sent.headers if h[0].lower() in kept])
        arrived = _like(arrived, [h for h in arrived.headers if h[0].lower() in kept or h[0].lower() not in ADDED])
    return sent, _like(arrived, body=body)


def _repeated_aside(sent, arrived):
    """Both without the headers the client sent more than once: the loss the file's note names."""
    names = [n.lower() for n, _ in sent.headers]
    repeated = {n for n in names if names.count(n) > 1}
    return [_like(a, [h for h in a.headers if h[0].lower() not in repeated]) for a in (sent, arrived)] if repeated else None


def judge(sent, arrived, label, stderr, recorder, client, recorded, newman=False):
    """"exact", "named" (the difference is the very loss stderr names: the request's notes, or the
    file's note), "skipped" (by name), or the differences of a fault; `arrived` None: it did not."""
    if re.search(rf": skipped {re.escape(label)}: ", stderr):
        return "skipped" if arrived is None else ["arrived, yet was named as skipped"]
    if arrived is None:
        return ["did not arrive, and no skip names it"]
    if newman:  # newman's own headers set aside, targets compared decoded (newman encodes `'` in a query)
        names = {n.lower() for n, _ in sent.headers}
        sent = _like(sent, target=unquote_to_bytes(sent.target))
        arrived = _like(arrived, [(n, v) for n, v in arrived.headers if n.lower() != postman_diff.CASE.lower().encode()
                                  and (n.lower() in names or n.lower() not in ADDED - {b"transfer-encoding", b"expect"})],
                        unquote_to_bytes(arrived.target))
    fold = recorder.startswith("vcrpy") and client.startswith("httpx") and "names in lower case" in stderr
    diff = _differences(sent, arrived, recorder, fold)
    if not diff:
        return "exact"
    notes = " ".join(line for line in stderr.splitlines() if f" {label} carried as recorded: " in line)
    if notes and not _differences(*_as_named(sent, arrived, notes, recorded), recorder, fold):
        return "named"
    aside = _repeated_aside(sent, arrived) if ": note: " in stderr else None
    return "named" if aside and not _differences(*aside, recorder, fold) else diff


def run_newman(collection_bytes, scratch, origin):
    """newman's arrivals for a collection, by item index (postman_diff marks each item)."""
    doc, _ = postman_diff.prepare(json.loads(collection_bytes), origin.base, origin.port)
    # newman's cookie jar would add the cookies servers set to later requests: a recording holds its own.
    doc["protocolProfileBehavior"] = {"disableCookies": True}
    path = scratch / "cassette.postman_collection.json"
    path.write_text(json.dumps(doc, ensure_ascii=False), encoding="utf-8")
    origin.take()
    done = postman_diff._newman([str(NEWMAN), "run", str(path), "--reporters", "cli", "--color", "off",
                                 "--timeout-request", "5000"])
    assert done.returncode in (0, 1), done.stdout + done.stderr
    return postman_diff.by_case(origin.take())
