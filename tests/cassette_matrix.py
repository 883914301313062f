"""Differential harness for cassettes: real clients send the cases of http_matrix.py to the loopback
recorder while vcrpy or betamax records them; `tolmek curl` (run by bash, dash and zsh with the real
curl) and `tolmek postman` (run by newman) replay each cassette against the same recorder; what
arrives is compared with what the client sent, as the cassette can carry it."""

import json
import re
import subprocess
import sys
from dataclasses import dataclass, field
from urllib.parse import parse_qsl, unquote_to_bytes

import http_matrix
import postman_diff
from conftest import NEWMAN
from http_matrix import CASES, CLIENTS, NotApplicable

# A proxy the cassettes do not record (they hold the origin's address), and a 16 MiB body costs
# seconds in each shell for nothing a 200 KiB one does not show: both are left out.
RECORDED_CASES = {name: case for name, case in CASES.items() if not case.proxy and not case.big}

# The tag an aiohttp header name may come with: vcrpy asks for a serializer that keeps it.
ISTR = "tag:yaml.org,2002:python/object/apply:multidict._multidict.istr"

# (recorder, client): vcrpy records every client, betamax requests' sessions (exact: it keeps the
# body bytes with preserve_exact_body_bytes).
RECORDINGS = [*(("vcrpy", client) for client in CLIENTS), ("vcrpy-json", "requests"), ("betamax", "requests"),
              ("betamax-exact", "requests")]


@dataclass
class Recorded:
    """One case as the client sent it and as the recorder library wrote it."""

    name: str
    sent: list  # Arrivals, in order
    path: object = None  # the cassette file; None when the library could not write it
    why_not: str = ""  # why it was not recorded


def _vcr_serializer():
    from vcr.serializers import yamlserializer

    return yamlserializer.with_custom_tags({ISTR: lambda loader, node: loader.construct_sequence(node)[0]})


def record(recorder, client, case, recorders, path):
    """A Recorded case: the client sends it while `recorder` writes the cassette at `path`."""
    if recorder.startswith("vcrpy"):
        import vcr

        serializer = "json" if recorder == "vcrpy-json" else "yaml"
        my_vcr = vcr.VCR(record_mode="all", serializer=serializer)
        my_vcr.register_serializer("yaml", _vcr_serializer())
        cassette = my_vcr.use_cassette(str(path))
        try:
            with cassette:
                sent, _, _ = http_matrix.send(client, case, recorders)
        except NotApplicable:
            raise
        except Exception as e:  # noqa: BLE001 - vcrpy refused to write it: named in the tally
            return Recorded(case_name(case), [], None, f"{type(e).__name__}: {str(e).splitlines()[0][:160]}")
        return Recorded(case_name(case), sent, path)
    return _record_betamax(recorder == "betamax-exact", case, recorders, path)


def _record_betamax(exact, case, recorders, path):
    import betamax
    import requests

    made = []
    real = requests.Session

    class Session(real):
        """A session recorded by betamax from its making on: the matrix's client makes its own."""

        def __init__(self):
            super().__init__()
            r = betamax.Betamax(self, cassette_library_dir=str(path.parent))
            r.use_cassette(path.stem, record="all", serialize_with="json", preserve_exact_body_bytes=exact)
            r.start()
            made.append(r)

    # The wire capture wraps the session's own adapters, which betamax's adapter stands in for;
    # what the client sent is what the recorder got.
    capture, http_matrix.tolmek_http.capture = http_matrix.tolmek_http.capture, lambda client, callback: client
    requests.Session = Session
    try:
        sent, _, _ = http_matrix.send("requests", case, recorders)
        for r in made:
            r.stop()
    except NotApplicable:
        raise
    except Exception as e:  # noqa: BLE001 - betamax could not write it: named in the tally
        return Recorded(case_name(case), [], None, f"{type(e).__name__}: {str(e).splitlines()[0][:160]}")
    finally:
        requests.Session = real
        http_matrix.tolmek_http.capture = capture
    return Recorded(case_name(case), sent, path)


def case_name(case):
    return next(name for name, c in CASES.items() if c is case)


def _read_back(recorder, path):
    """The interactions of a cassette as the recorder library itself reads its file."""
    if recorder.startswith("betamax"):
        return json.loads(path.read_text())["http_interactions"]
    from vcr.serializers import jsonserializer

    if recorder == "vcrpy-json":
        return jsonserializer.deserialize(path.read_text())["interactions"]
    return _vcr_serializer().deserialize(path.read_text())["interactions"]


def interactions(recorder, path):
    """How many interactions the cassette holds."""
    return len(_read_back(recorder, path))


def recorded_names(recorder, path):
    """For each interaction, the header names (lower case, as bytes) its cassette holds."""
    return [{str(n).lower().encode() for n in (i["request"].get("headers") or {})} for i in _read_back(recorder, path)]


def tolmek(command, *paths):
    """(exit status, standard output bytes, standard error text) of the installed command."""
    done = subprocess.run([sys.executable, "-m", "tolmek_cli", command, *map(str, paths)], capture_output=True,
                          timeout=120, stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout, done.stderr.decode()


# --- comparing -------------------------------------------------------------------------------

def by_name(headers):
    """Headers in order of their names (their order within a name kept): for cassettes that list
    them sorted, where the order across names is lost."""
    return sorted(headers, key=lambda h: h[0].lower())


def differences(sent, arrived, across_names, fold=False):
    """http_matrix.differences, with the order across header names left out unless `across_names`,
    and the case of the names unless `fold`."""
    if not across_names:
        sent = _with_headers(sent, by_name(sent.headers))
        arrived = _with_headers(arrived, by_name(arrived.headers))
    return http_matrix.differences(sent, arrived, fold_case=fold)


def _with_headers(arrival, headers, target=None):
    copy = type(arrival)(arrival.method, arrival.target if target is None else target, headers, arrival.body)
    copy.faults = arrival.faults
    return copy


def only_repeated(sent, arrived, across_names, fold):
    """Whether the request arrived as sent once the headers the client sent more than once are
    set aside: the loss the file's note names."""
    names = [n.lower() for n, _ in sent.headers]
    repeated = {n for n in names if names.count(n) > 1}
    if not repeated:
        return False
    keep = lambda a: _with_headers(a, [h for h in a.headers if h[0].lower() not in repeated])  # noqa: E731
    return not differences(keep(sent), keep(arrived), across_names, fold)


# What newman adds of its own accord when the request has no header of the name (test_faithful_newman.py
# lists what newman cannot carry): these, and the case marker, are set aside unless the client sent them.
NEWMAN_OWN = postman_diff.OWN | {b"content-type"}


def newman_views(sent, arrived):
    """(sent, arrived) as newman can carry them: newman's own headers set aside unless the client
    sent one of the name, and the targets compared after percent-decoding (newman encodes where
    it sees fit, `'` in the query among them)."""
    names = {n.lower() for n, _ in sent.headers}
    headers = [(n, v) for n, v in arrived.headers if n.lower() != postman_diff.CASE.lower().encode()
               and (n.lower() in names or n.lower() not in NEWMAN_OWN)]
    return (_with_headers(sent, sent.headers, unquote_to_bytes(sent.target)),
            _with_headers(arrived, headers, unquote_to_bytes(arrived.target)))


@dataclass
class Verdict:
    """What became of each request of a run: arrived as sent, arrived with its loss named, skipped
    with its reason, or a fault (arrived otherwise, unnamed)."""

    exact: int = 0
    named: int = 0
    skipped: int = 0
    faults: list = field(default_factory=list)

    def total(self):
        return self.exact + self.named + self.skipped + len(self.faults)


# What curl or newman add where the request has no header of the name: besides newman's own, the
# framing curl writes for a body.
ADDED = NEWMAN_OWN | {b"transfer-encoding", b"expect"}


def _as_named(sent, arrived, notes, recorded):
    """(sent, arrived) with each loss the request's notes name taken out, checked to be only that
    loss: the client's own headers the cassette lacks (no User-Agent, no Accept-Encoding) left out
    of `sent`, and what curl or newman add in their place out of `arrived`; a body recorded as
    data that arrived as the same data in JSON; a betamax text whose bytes that were not UTF-8
    arrived as U+FFFD. `recorded`: the header names the cassette holds for the request."""
    body = arrived.body
    if "recorded as data" in notes and _same_data(sent.body, arrived.body):
        body = sent.body
    if "holds U+FFFD" in notes and arrived.body == sent.body.decode("utf-8", "replace").encode():
        body = sent.body
    headers, got = sent.headers, arrived.headers
    if "has no User-Agent" in notes or "has no Accept-Encoding" in notes:
        kept = recorded | {b"host"}
        headers = [h for h in sent.headers if h[0].lower() in kept]
        got = [h for h in arrived.headers if h[0].lower() in kept or h[0].lower() not in ADDED]
    named = _with_headers(arrived, got)
    named.body = body
    return _with_headers(sent, headers), named


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


def judge(verdict, where, sent, arrived, label, stderr, across_names, fold, recorded, newman=False):
    """One request's verdict; `arrived` is None when it did not arrive. A difference counts as
    named only when it is the very loss the stderr names (the request's notes, or the file's note
    of headers sent more than once)."""
    skipped = re.search(rf": skipped {re.escape(label)}: ", stderr)
    if arrived is None:
        if skipped:
            verdict.skipped += 1
        else:
            verdict.faults.append(f"{where}: did not arrive, and no skip names it")
        return
    if skipped:
        verdict.faults.append(f"{where}: arrived, yet was named as skipped")
        return
    if newman:
        sent, arrived = newman_views(sent, arrived)
    if fold and "names in lower case" not in stderr:
        fold = False  # the case of the names is compared unless the file's note names its loss
    diff = differences(sent, arrived, across_names, fold)
    if not diff:
        verdict.exact += 1
        return
    notes = " ".join(line for line in stderr.splitlines() if f" {label} carried as recorded: " in line)
    if notes:
        sent, arrived = _as_named(sent, arrived, notes, recorded)
    if not differences(sent, arrived, across_names, fold) and notes or (
            ": note: " in stderr and only_repeated(sent, arrived, across_names, fold)):
        verdict.named += 1
    else:
        verdict.faults.append(f"{where}:\n  " + "\n  ".join(diff))


def converted_order(files, stderr, count):
    """[(file index, interaction index)] of the requests a run over `files` converted, in order:
    every interaction but those its stderr names as skipped. `count(i)`: interactions of file i."""
    out = []
    for i, path in enumerate(files):
        for j in range(count(i)):
            key = "http_interactions" if "betamax" in path.name else "interactions"
            if not re.search(rf"{re.escape(str(path))}:\d+:\d+: skipped {key}\[{j}\]: ", stderr):
                out.append((i, j))
    return out


def label(path, j):
    return f"{'http_interactions' if 'betamax' in path.name else 'interactions'}[{j}]"


def run_newman(collection_bytes, scratch, origin):
    """newman's arrivals for a collection, by item index (postman_diff marks each item)."""
    doc, _ = postman_diff.prepare(json.loads(collection_bytes), origin.base, origin.port)
    path = scratch / "cassette.postman_collection.json"
    path.write_text(json.dumps(doc, ensure_ascii=False), encoding="utf-8")
    origin.take()
    done = postman_diff._newman([str(NEWMAN), "run", str(path), "--reporters", "cli", "--color", "off",
                                 "--timeout-request", "5000"])
    assert done.returncode in (0, 1), done.stdout + done.stderr
    return postman_diff.by_case(origin.take())
