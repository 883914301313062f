"""The HTTP clients' matrix (tests/http_matrix.py) scored for tolmek_http's captured commands and for
the peers people use for this, curlify and curlify3 from PyPI, given what each takes (the request
objects the clients hand out): how many of the requests each client sent arrive the same from each
command, per shell. Run by `make bench`; `python bench/http_peers.py` alone needs the clients and
the peers installed (requirements-bench.txt), bash, dash, zsh and curl."""

import argparse
import asyncio
import os
import pathlib
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
# A peer's command that leaves curl waiting (a chunked request with no body) is given up sooner.
os.environ.setdefault("TOLMEK_CURL_TIMEOUT", "5")

import http_matrix  # noqa: E402
from http_matrix import CASES, CLIENTS, SHELLS, NotApplicable  # noqa: E402
from recorder import Recorder  # noqa: E402


def _peers():
    """name -> {client: render(request object) -> command}, for the peers that are installed."""
    peers = {}
    try:
        import curlify

        peers["curlify"] = {"requests": curlify.to_curl}
    except ImportError:
        pass
    try:
        import curlify3

        def awaited(request):
            return asyncio.run(curlify3.to_curl_async(request))

        peers["curlify3"] = {"requests": curlify3.to_curl, "httpx": curlify3.to_curl,
                             "httpx-async": awaited, "aiohttp": awaited, "urllib.request": curlify3.to_curl}
    except ImportError:
        pass
    return peers


def score(big):
    peers = _peers()
    renderers = ["tolmek_http", *peers]
    # (renderer, client, shell) -> [arrived the same, sent]
    tally = {}
    with tempfile.TemporaryDirectory() as tmp, Recorder(answer=http_matrix.answer) as origin, Recorder() as proxy:
        home = pathlib.Path(tmp)
        http_matrix.netrc_home(home)
        os.environ["HOME"] = str(home)
        for k in [k for k in os.environ if "proxy" in k.lower()]:
            del os.environ[k]
        recorders = (origin, proxy)
        for client in CLIENTS:
            commands = {r: [] for r in renderers}  # per renderer: (index into expected, command)
            expected = []
            for case in CASES.values():
                if case.big and not big:
                    continue
                try:
                    sent, captured, objects = http_matrix.send(client, case, recorders)
                except NotApplicable:
                    continue
                except Exception as e:  # a client failing on a case is that case lost for everyone
                    print(f"{client}: {type(e).__name__}: {e}", file=sys.stderr)
                    continue
                first = len(expected)
                expected += sent
                for i, wire in enumerate(captured[:len(sent)]):
                    commands["tolmek_http"].append((first + i, _safely(lambda: wire.curl)))
                for name, by_client in peers.items():
                    render = by_client.get(client)
                    for i, obj in enumerate(objects[:len(sent)] if render else []):
                        commands[name].append((first + i, _safely(lambda: render(obj))))
            for r in renderers:
                if r != "tolmek_http" and client not in peers[r]:
                    continue
                runnable = [(i, c) for i, c in commands[r] if c is not None]
                for shell in SHELLS:
                    by_index, _ = http_matrix.run_commands(shell, [c for _, c in runnable], home, recorders)
                    same = folded = 0
                    for k, (i, _) in enumerate(runnable):
                        if len(got := by_index.get(k, [])) == 1:
                            same += not http_matrix.differences(expected[i], got[0])
                            folded += not http_matrix.differences(expected[i], got[0], fold_case=True)
                    tally[(r, client, shell)] = [same, folded, len(expected)]
    return renderers, tally


def _safely(make):
    try:
        return make()
    except Exception:  # a peer refusing or failing on a request: that request is not reproduced
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--big", action="store_true", help="also the 16 MiB body (seconds per client and shell)")
    args, _ = parser.parse_known_args()  # make bench passes its own options (--quick) to every script
    renderers, tally = score(args.big)
    print(f"HTTP clients' matrix: requests that arrive as the client sent them ({http_matrix.CURL});")
    print("each cell: exactly / with header names compared without letter case, of those sent")
    print(f"| client | shell | {' | '.join(renderers)} |")
    print("|---|---|" + "---|" * len(renderers))
    totals = {r: [0, 0, 0] for r in renderers}
    for client in CLIENTS:
        for shell in SHELLS:
            row = []
            for r in renderers:
                if (r, client, shell) in tally:
                    counts = tally[(r, client, shell)]
                    totals[r] = [a + b for a, b in zip(totals[r], counts)]
                    row.append("{} / {} of {}".format(*counts))
                else:
                    row.append("no adapter")
            print(f"| {client} | {shell} | {' | '.join(row)} |")
    print(f"| all | all | {' | '.join('{} / {} of {}'.format(*t) for t in totals.values())} |")


if __name__ == "__main__":
    main()
