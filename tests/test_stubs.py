"""The type stubs: mypy (strict) accepts correct use of every class and method and reports each
misuse in tests/typing/bad.py, both for the stub files in the source tree and for the
tolmek-stubs package and tolmek_http's stub a wheel installs."""

import pathlib
import re
import runpy
import shutil
import site
import subprocess
import sys
import sysconfig

import pytest

from conftest import foreign_env

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent
TYPING = ROOT / "tests" / "typing"
SOURCE_STUB = ROOT / "stubs" / "tolmek-stubs" / "__init__.pyi"
# The pure-Python package for the HTTP clients carries its stubs beside its code (the package's and
# the pytest recorder's, which types the tolmek_recording fixture).
HTTP_STUBS = sorted((ROOT / "python" / "tolmek_http").glob("*.pyi"))


def installed_stub():
    dirs = {sysconfig.get_path("purelib"), sysconfig.get_path("platlib"), *site.getsitepackages()}
    found = [p for d in dirs if (p := pathlib.Path(d, "tolmek-stubs", "__init__.pyi")).is_file()]
    return found[0] if found else None


def test_good_usage_runs():
    """What the stubs accept must also work at run time (keyword names included)."""
    runpy.run_path(str(TYPING / "good.py"))


@pytest.mark.parametrize("where", ["source", "installed"])
def test_mypy(where, tmp_path):
    env = foreign_env()  # mypy does not load tolmek, so it needs no sanitizer runtime
    env.pop("MYPYPATH", None)
    args = ["--python-executable", sys.executable]
    if where == "source":
        # A stub file named after the module, ahead of anything in site-packages.
        (tmp_path / "stubs").mkdir()
        shutil.copy(SOURCE_STUB, tmp_path / "stubs" / "tolmek.pyi")
        (tmp_path / "stubs" / "tolmek_http").mkdir()
        for stub in HTTP_STUBS:
            shutil.copy(stub, tmp_path / "stubs" / "tolmek_http" / stub.name)
        env["MYPYPATH"] = str(tmp_path / "stubs")
        args.append("--no-site-packages")
    else:
        stub = installed_stub()
        if stub is None:
            pytest.skip("tolmek-stubs is not installed (module used from a build tree)")
        assert stub.read_bytes() == SOURCE_STUB.read_bytes()
        for http_stub in HTTP_STUBS:
            assert (stub.parent.parent / "tolmek_http" / http_stub.name).read_bytes() == http_stub.read_bytes()
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file=", "--no-error-summary", "--show-error-codes",
         "--cache-dir", str(tmp_path / "cache"), *args, str(TYPING / "good.py"), str(TYPING / "bad.py")],
        capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300)
    errors = re.findall(r"^(\S+?\.py):(\d+): error: .*\[([a-z-]+)\]$", done.stdout, re.M)
    assert {(f, int(n), code) for f, n, code in errors} == {
        (str(TYPING / "bad.py"), n, m.group(1))
        for n, line in enumerate((TYPING / "bad.py").read_text().splitlines(), 1)
        if (m := re.search(r"# E: ([a-z-]+)$", line))
    }, done.stdout + done.stderr
    assert done.returncode == 1 and len(errors) == done.stdout.count(": error:")
