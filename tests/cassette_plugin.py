"""A pytest plugin recording each test of a suite into a vcrpy cassette of its own (TOLMEK_CASSETTES names the folder)."""

import os
import pathlib
import re

import pytest

import cassette_matrix

OUT = pathlib.Path(os.environ.get("TOLMEK_CASSETTES", "."))


@pytest.fixture(autouse=True)
def _cassette(request):
    """Each test's requests in OUT/<test>.yaml; the recorder's tag file names the test meanwhile,
    so that what arrives is known by test. A cassette vcrpy cannot write is named in OUT/<test>.why."""
    import vcr

    name = re.sub(r"[^\w.-]+", "_", request.node.nodeid)
    (OUT / ".tag").write_text(name)
    my_vcr = vcr.VCR(record_mode="all")
    my_vcr.register_serializer("yaml", cassette_matrix._vcr_yaml())
    cassette = my_vcr.use_cassette(str(OUT / f"{name}.yaml"))
    cassette.__enter__()
    yield
    try:
        cassette.__exit__(None, None, None)
    except Exception as e:  # noqa: BLE001 - vcrpy refused to write it
        (OUT / f"{name}.why").write_text(f"{type(e).__name__}: {str(e).splitlines()[0][:120]}")
