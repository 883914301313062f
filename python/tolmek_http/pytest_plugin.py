"""The pytest plugin tolmek installs (entry point pytest11 "tolmek"): its options and the tolmek_recording fixture; cheap to load, idle unless asked."""

# Loaded in every pytest run of anyone who installs tolmek: nothing but pytest and os is imported
# here, and no hook does anything unless --tolmek-record is given or a test uses the fixture.
import os

import pytest


def pytest_addoption(parser) -> None:
    group = parser.getgroup("tolmek", "recording the HTTP requests of the tests (tolmek)")
    group.addoption("--tolmek-record", metavar="DIRECTORY", default=None,
                    help="record every request the tests send (requests, urllib3, httpx, aiohttp, urllib.request) "
                         "with its response into DIRECTORY: a Postman collection and a curl script, a folder per test")
    group.addoption("--tolmek-secret-names", metavar="NAMES", default=None,
                    help="comma-separated header, query and form names whose values are kept out of the recording "
                         "as variables, besides the default list")
    group.addoption("--tolmek-secret-names-only", action="store_true", default=False,
                    help="the names of --tolmek-secret-names replace the default list instead")
    group.addoption("--tolmek-no-secret-files", action="store_true", default=False,
                    help="write no file holding the secret values kept out")
    group.addoption("--tolmek-forms", metavar="FORMS", default=None,
                    help="comma-separated forms to write the requests in too, under DIRECTORY/forms: python "
                         "(httpx), requests, node, wget, ... (the tolmek command's FORM subcommands)")


def pytest_configure(config) -> None:
    directory = config.getoption("tolmek_record")
    if directory is None:
        return
    if not directory:
        raise pytest.UsageError("--tolmek-record: the directory is empty")
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as e:
        raise pytest.UsageError(f"--tolmek-record: cannot make the directory {directory}: {e.strerror}") from None
    forms = config.getoption("tolmek_forms")
    if forms:
        from tolmek_forms import writer

        for form in forms.split(","):
            try:
                writer(form.strip())
            except ValueError as e:
                raise pytest.UsageError(f"--tolmek-forms: {e}") from None
    from .pytest_recorder import NAME, Recorder

    config.pluginmanager.register(Recorder(config, os.path.abspath(directory)), NAME)


def pytest_collection_finish(session) -> None:
    # Without the option, the recorder comes only for a session with a test using the fixture.
    config = session.config
    if config.pluginmanager.has_plugin("tolmek-recorder"):
        return
    if any("tolmek_recording" in getattr(item, "fixturenames", ()) for item in session.items):
        from .pytest_recorder import NAME, Recorder

        config.pluginmanager.register(
            Recorder(config, None, {item.nodeid: i for i, item in enumerate(session.items, 1)}), NAME)


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node, error) -> None:
    # A pytest-xdist worker's warnings (clients not recorded, parts not written), for the summary.
    said = getattr(node, "workeroutput", {}).get("tolmek_warnings")
    if said:
        kept = node.config.__dict__.setdefault("_tolmek_worker_warnings", [])
        kept += [text for text in said if text not in kept]


def pytest_terminal_summary(terminalreporter, config) -> None:
    for text in config.__dict__.get("_tolmek_worker_warnings", ()):
        terminalreporter.write_line(f"tolmek: {text}")


@pytest.fixture
def tolmek_recording(request):
    """The requests this test sends, recorded from its setup on: `.exchanges` (tolmek_http
    Exchange objects; `exchange.request.curl` is its curl command), `.curl` (the commands).
    Without --tolmek-record only the tests using this fixture are recorded."""
    from .pytest_recorder import NAME, Recorder

    recorder = request.config.pluginmanager.get_plugin(NAME)
    if recorder is None:  # asked for with request.getfixturevalue: recorded from here on
        recorder = Recorder(request.config, None)
        request.config.pluginmanager.register(recorder, NAME)
    item = request.node
    if recorder.item is not item:
        if recorder.begin(item):
            request.addfinalizer(lambda: recorder.end(item))
    if recorder.recording is None:
        pytest.fail("tolmek_recording: another recording is active, so this test's requests are not recorded",
                    pytrace=False)
    return recorder.view(item)
