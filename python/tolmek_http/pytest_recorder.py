"""The pytest plugin's working part, registered only when asked for: which test sends, the failing test's curl commands, the session's recording written (merged from pytest-xdist workers' part files)."""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
import warnings

import pytest

from . import partfiles, recording
from .exchange import Exchange

__all__ = ["Recorder", "TestRecording", "NAME"]

NAME = "tolmek-recorder"  # the name the plugin object is registered under
SECTION = "tolmek: the curl commands of the requests this test sent"


def folder(nodeid: str) -> tuple[str, ...]:
    """(module path, the test's id): "tests/test_api.py::TestX::test_y[a]" -> ("tests/test_api.py", "TestX::test_y[a]")."""
    path, sep, rest = nodeid.partition("::")
    return (path, rest) if sep else (nodeid,)


def secret_names(config) -> tuple[list[str] | None, list[str]]:
    """(the list in place of the default one or None, the names added): --tolmek-secret-names adds
    its names, or with --tolmek-secret-names-only replaces the list with them."""
    given = config.option.tolmek_secret_names
    names = [] if given is None else [n.strip() for n in given.split(",") if n.strip()]
    return (names, []) if config.option.tolmek_secret_names_only else (None, names)


def names_in_force(config) -> str:
    """Which names' values the recording keeps out, in words, for the summary."""
    names, extra = secret_names(config)
    if names is not None:
        return "only " + (", ".join(names) or "none") + " (--tolmek-secret-names-only)"
    return "the default list" + (" and " + ", ".join(extra) if extra else "")


def curl_lines(exchanges: list[Exchange]) -> str:
    out = []
    for e in exchanges:
        try:
            out.append(e.request.curl)
        except ValueError as error:  # a request no curl command carries: said, with what it was
            out.append(f"# {e.request.method} {e.request.url}: {error}")
    return "\n".join(out)


class TestRecording:
    """What the tolmek_recording fixture gives a test: the requests it has sent so far."""

    __test__ = False  # not a test class, whatever its name

    def __init__(self, recording_: recording.Recording, nodeid: str, start: int) -> None:
        self._recording, self._nodeid, self._start = recording_, nodeid, start

    @property
    def exchanges(self) -> list[Exchange]:
        """This test's exchanges in the order sent, each with its response once that was read whole."""
        found = [e for e in self._recording.exchanges[self._start:] if e.test == self._nodeid]
        for e in found:
            if e.response is None:
                e.response = getattr(e.request, "response", None)
        return found

    @property
    def curl(self) -> list[str]:
        """The curl command of each request (a comment naming why, for one no command carries)."""
        return curl_lines(self.exchanges).split("\n") if self.exchanges else []


class Recorder:
    """With a directory: records the whole session and writes it at its end (a pytest-xdist
    controller records nothing itself and merges its workers' part files). Without: records
    only the tests that use the tolmek_recording fixture, each on its own."""

    def __init__(self, config, directory: str | None, places: dict[str, int] | None = None) -> None:
        self.config = config
        self.directory = directory
        self.recording: recording.Recording | None = None
        self.places = places or {}
        self.item = None  # the test being recorded
        self.start = 0  # where its exchanges start in the recording
        self.parts_dir: str | None = None  # a controller's: where its workers write their parts
        self.warnings: list[str] = []
        self.workers: list[str] = []  # a controller's workers, by id, as they were started
        self.written: list[str] | None = None  # the files written at the session's end
        self.count = 0  # the requests in them
        # The secrets seen so far in self.recording (and how many of its exchanges were read for
        # them), which a failing test's report hides as the files do.
        self.vault = None
        self.vault_of: recording.Recording | None = None
        self.gathered = 0

    # --- the session ---------------------------------------------------------------------------

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionstart(self, session) -> None:
        if self.directory is None or self.config.pluginmanager.has_plugin("dsession"):
            return  # a controller: its workers send
        try:
            self.recording = recording.start()
        except recording.RecordingError as e:  # pytest run inside a program's own recording
            self._say(f"--tolmek-record: nothing recorded: {e}")

    @pytest.hookimpl(optionalhook=True)
    def pytest_configure_node(self, node) -> None:
        if self.directory is None:
            return
        if self.parts_dir is None:
            # Private (mkdtemp: 0700, a new name): nothing planted there beforehand is read back.
            self.parts_dir = tempfile.mkdtemp(prefix=".tolmek-parts-", dir=self.directory)
        node.workerinput["tolmek_parts"] = self.parts_dir
        worker = str(node.workerinput.get("workerid"))
        if worker not in self.workers:  # a crashed worker's replacement has an id of its own
            self.workers.append(worker)

    def pytest_collection_finish(self, session) -> None:
        # The same collection in every worker, so the same places.
        self.places = {item.nodeid: i for i, item in enumerate(session.items, 1)}

    def pytest_sessionfinish(self, session) -> None:
        worker = getattr(self.config, "workerinput", None)
        if self.directory is not None and self.recording is not None:
            recording.stop(self.recording)
            self.warnings += [w for w in self.recording.warnings if w not in self.warnings]
            exchanges = self.recording.responses()
            if worker is None:
                self._write(exchanges)
            elif worker.get("tolmek_parts") is None:
                self._say(f"worker {worker.get('workerid')}: the controller gave no place for its part "
                          f"(is the tolmek plugin disabled there?): {len(exchanges)} requests not written")
            else:
                try:
                    partfiles.dump(worker["tolmek_parts"], str(worker.get("workerid", "worker")), exchanges,
                                   self.warnings)
                except OSError as e:
                    self._say(f"worker {worker.get('workerid')}: could not write its part, {len(exchanges)} requests "
                              f"lost: {e}")
        elif self.parts_dir is not None:
            self._write(self._merge())
        if worker is not None:
            # What a worker has to say reaches the controller's summary (pytest_plugin.pytest_testnodedown).
            self.config.workeroutput["tolmek_warnings"] = list(self.warnings)

    def _merge(self) -> list[Exchange]:
        exchanges = []
        try:
            for worker in self.workers:
                path = os.path.join(self.parts_dir, f"{worker}.json")
                if not os.path.exists(path):
                    self._say(f"worker {worker} wrote no part (did it crash?): the requests its tests sent are missing")
                    continue
                try:
                    found, _ = partfiles.load(path)
                except ValueError as e:
                    self._say(str(e))
                    continue
                exchanges += found  # the workers' warnings come with their output
        finally:
            shutil.rmtree(self.parts_dir, ignore_errors=True)
        # Stable: requests outside any test keep their worker's order, the workers in name order.
        exchanges.sort(key=lambda e: e.order)
        return exchanges

    def _write(self, exchanges: list[Exchange]) -> None:
        options = self.config.option
        names, extra = secret_names(self.config)
        try:
            from .writer import write

            # What the files cannot carry is said in the summary, not raised (also with -W error).
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                forms = [f.strip() for f in (getattr(options, "tolmek_forms", None) or "").split(",") if f.strip()]
                self.written = write(self.directory, exchanges, secret_names=names, extra_secret_names=extra,
                                     write_secrets=not options.tolmek_no_secret_files,
                                     **({"forms": forms} if forms else {}))
            self.warnings += [str(w.message) for w in caught]
        except (OSError, ValueError, ImportError) as e:
            self._say(f"could not write the recording of {len(exchanges)} requests into {self.directory}: {e}")
            self.written = None
        self.count = len(exchanges)

    def _say(self, text: str) -> None:
        self.warnings.append(text)
        sys.stderr.write(f"tolmek: {text}\n")

    def pytest_terminal_summary(self, terminalreporter) -> None:
        if getattr(self.config, "workerinput", None) is not None:
            return
        written = self.written
        if written is not None:
            terminalreporter.write_line(f"tolmek: {self.count} requests recorded into {self.directory}: "
                                        + ", ".join(os.path.basename(p) for p in written))
            terminalreporter.write_line(f"tolmek: secret names: {names_in_force(self.config)}")
        for text in self.warnings:
            terminalreporter.write_line(f"tolmek: {text}")

    # --- each test -----------------------------------------------------------------------------

    @pytest.hookimpl(wrapper=True)
    def pytest_runtest_protocol(self, item, nextitem):
        began = self.begin(item) if self.directory is not None or "tolmek_recording" in getattr(
            item, "fixturenames", ()) else False
        try:
            return (yield)
        finally:
            if began:
                self.end(item)

    def begin(self, item) -> bool:
        """The requests sent from now on belong to `item` (recorded on their own without a directory)."""
        if self.directory is None:
            try:
                self.recording = recording.start()
            except recording.RecordingError as e:
                self._say(f"{item.nodeid}: not recorded: {e}")
                return False
        if self.recording is None:
            return False
        self.item = item
        self.start = len(self.recording.exchanges)
        recording.set_test((item.nodeid, folder(item.nodeid), self.places.get(item.nodeid, 0)))
        return True

    def end(self, item) -> None:
        recording.set_test(None)
        self.item = None
        if self.directory is None and self.recording is not None:
            recording.stop(self.recording)
            self.warnings += [w for w in self.recording.warnings if w not in self.warnings]
            self.recording = None

    def view(self, item) -> TestRecording:
        return TestRecording(self.recording, item.nodeid, self.start)

    @pytest.hookimpl(wrapper=True)
    def pytest_runtest_makereport(self, item, call):
        report = yield
        if report.failed and item is self.item and self.recording is not None:
            sent = [e for e in self.recording.exchanges[self.start:] if e.test == item.nodeid]
            if sent:
                try:
                    text = self.redacted(sent)
                except Exception as e:  # the report goes on without the commands, never with the secrets
                    text = f"# the commands cannot be shown ({type(e).__name__})"
                report.sections.append((SECTION, text))
        return report

    def redacted(self, sent: list[Exchange]) -> str:
        """The curl commands of `sent`, every secret the recording has seen so far (with the
        recording's names) replaced by its shell variable, as in the written script: a report ends
        up in terminals, CI logs and junit files that the secrets files never go to."""
        from .redact import Vault, gather
        from .script_out import line

        if self.vault_of is not self.recording:
            self.vault, self.vault_of, self.gathered = Vault(*secret_names(self.config)), self.recording, 0
        exchanges = self.recording.exchanges
        # The test's own exchanges again: their responses may have been read since.
        gather(self.vault, exchanges[self.gathered:] + sent)
        self.gathered = len(exchanges)
        lines = [line(e.request, self.vault) for e in sent]
        used = [n for n in self.vault.values if any(f"${{{n}}}" in x for x in lines)]
        if used:
            where = "secrets.sh of the recording sets them" if self.directory is not None else \
                "the tolmek_recording fixture's curl has the commands with their values"
            lines.insert(0, f"# The secrets are shell variables ({', '.join(used)}): {where}.")
        return "\n".join(lines)
