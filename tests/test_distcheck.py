"""The release checker `make dist` runs on every wheel and sdist (scripts/distcheck.py): it passes a wheel
that holds exactly what tolmek ships and names every stray, missing, stale or mis-tagged piece of one that
does not, reading exported symbols from real shared objects."""

import importlib.util
import io
import pathlib
import shutil
import subprocess
import tarfile
import zipfile

import pytest

from conftest import foreign_env, missing

ROOT = pathlib.Path(__file__).resolve().parent.parent
_spec = importlib.util.spec_from_file_location("distcheck", ROOT / "scripts" / "distcheck.py")
distcheck = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(distcheck)

GOOD = "tolmek-1.2.3-cp313-cp313-manylinux_2_24_x86_64.whl"
SO = "tolmek.cpython-313-x86_64-linux-gnu.so"
INFO = "tolmek-1.2.3.dist-info"
INIT = '__attribute__((visibility("default"))) int PyInit_tolmek(void) { return 0; }\n'


@pytest.fixture(scope="module")
def objects(tmp_path_factory):
    """Two real shared objects: one exporting PyInit_tolmek alone, one exporting a helper too."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        missing("a C compiler is needed to make the shared objects the checker reads")
    d = tmp_path_factory.mktemp("objects")

    def build(name, code):
        (d / f"{name}.c").write_text(code)
        subprocess.run([cc, "-shared", "-fPIC", "-fvisibility=hidden", "-o", str(d / f"{name}.so"),
                        str(d / f"{name}.c")], check=True, timeout=60, env=foreign_env())
        # Made for this machine, whichever it is; marked x86_64 in the header (all the machine check
        # reads) like the wheels below are tagged.
        return for_machine((d / f"{name}.so").read_bytes(), 62)

    return {"init": build("init", INIT),
            "leaky": build("leaky", INIT + '__attribute__((visibility("default"))) int helper(void) { return 1; }\n')}


@pytest.fixture
def source(tmp_path):
    src = tmp_path / "src"
    (src / "python" / "tolmek_cli").mkdir(parents=True)
    (src / "stubs" / "tolmek-stubs").mkdir(parents=True)
    (src / "pyproject.toml").write_text('[project]\nname = "tolmek"\nversion = "1.2.3"\n')
    (src / "python" / "tolmek_cli" / "__init__.py").write_text("def main():\n    return 0\n")
    (src / "python" / "tolmek_cli" / "run.py").write_text("RUN = 1\n")
    (src / "stubs" / "tolmek-stubs" / "__init__.pyi").write_text("class Tolmek: ...\n")
    return src


def members(source, so, tags=("cp313-cp313-manylinux_2_24_x86_64",), so_name=SO):
    """What a correct wheel of `source` holds, RECORD aside."""
    files = {f"tolmek_cli/{p.name}": p.read_bytes() for p in (source / "python" / "tolmek_cli").iterdir()}
    files["tolmek-stubs/__init__.pyi"] = (source / "stubs" / "tolmek-stubs" / "__init__.pyi").read_bytes()
    files[so_name] = so
    files[f"{INFO}/METADATA"] = b"Metadata-Version: 2.2\nName: tolmek\nVersion: 1.2.3\n"
    files[f"{INFO}/WHEEL"] = ("Wheel-Version: 1.0\nRoot-Is-Purelib: false\n"
                              + "".join(f"Tag: {t}\n" for t in tags)).encode()
    files[f"{INFO}/entry_points.txt"] = b"[console_scripts]\ntolmek = tolmek_cli:main\n"
    return files


def write_wheel(path, files, stale_record=()):
    """A wheel of `files` with a RECORD of their hashes; members in stale_record get a wrong one."""
    record = "".join(f"{m},{distcheck._record_digest(b'x' if m in stale_record else data)},{len(data)}\n"
                     for m, data in files.items())
    with zipfile.ZipFile(path, "w") as z:
        for m, data in files.items():
            z.writestr(m, data)
        z.writestr(f"{INFO}/RECORD", record + f"{INFO}/RECORD,,\n")
    return path


def test_a_wheel_holding_exactly_what_tolmek_ships_passes(tmp_path, source, objects):
    assert distcheck.wheel_problems(write_wheel(tmp_path / GOOD, members(source, objects["init"])), source) == []


@pytest.mark.parametrize("stray", [
    "tests/test_curl.py", "build/cp313-cp313-linux_x86_64/CMakeCache.txt", "tolmek.libs/libstdc++-1a2b.so.6",
    "tolmek_cli/__pycache__/run.cpython-313.pyc", "tolmek.cpython-312-x86_64-linux-gnu.so",
])
def test_anything_beyond_the_extension_stubs_command_and_metadata_is_named(tmp_path, source, objects, stray):
    files = members(source, objects["init"]) | {stray: b"junk"}
    assert distcheck.wheel_problems(write_wheel(tmp_path / GOOD, files), source) == [
        f"{GOOD}: unexpected file in the wheel: {stray}"]


def test_missing_and_stale_files_are_named(tmp_path, source, objects):
    files = members(source, objects["init"])
    del files["tolmek_cli/run.py"], files[f"{INFO}/entry_points.txt"]
    files["tolmek-stubs/__init__.pyi"] = b"class Old: ...\n"
    assert distcheck.wheel_problems(write_wheel(tmp_path / GOOD, files), source) == [
        f"{GOOD}: tolmek-stubs/__init__.pyi differs from the source tree",
        f"{GOOD}: missing from the wheel: {INFO}/entry_points.txt",
        f"{GOOD}: missing from the wheel: tolmek_cli/run.py",
    ]


@pytest.mark.parametrize("name, expected", [
    ("tolmek-1.2.3-cp313-cp313-linux_x86_64.whl", ["not a manylinux wheel: linux_x86_64"]),
    ("tolmek-1.2.4-cp313-cp313-manylinux_2_24_x86_64.whl", ["named tolmek 1.2.4, the source tree is tolmek 1.2.3"]),
    ("tolmek-1.2.3-cp312-cp312-manylinux_2_24_x86_64.whl", ["0 extension modules for cp312 at the top, not 1",
                                                            f"unexpected file in the wheel: {SO}"]),
    ("tolmek-1.2.3-cp313-abi3-manylinux_2_24_x86_64.whl", ["tagged cp313-abi3, not one CPython's own ABI"]),
])
def test_a_name_that_does_not_match_the_build_is_refused(tmp_path, source, objects, name, expected):
    path = write_wheel(tmp_path / name, members(source, objects["init"]))
    assert distcheck.wheel_problems(path, source) == [f"{name}: {e}" for e in expected]


def for_machine(so, number):
    """The shared object with its ELF header naming another machine (all the checker reads of it)."""
    return so[:18] + number.to_bytes(2, "little") + so[20:]


ARM_SO = "tolmek.cpython-313-aarch64-linux-gnu.so"


@pytest.mark.parametrize("plat, so_name, machine, expected", [
    ("manylinux_2_24_aarch64", ARM_SO, 183, []),
    ("manylinux_2_24_aarch64", ARM_SO, 62, ["the extension is built for x86_64, the wheel is tagged aarch64"]),
    ("manylinux_2_24_x86_64", SO, 183, ["the extension is built for aarch64, the wheel is tagged x86_64"]),
    ("manylinux_2_24_x86_64", SO, 40, ["the extension is built for ELF machine 40, the wheel is tagged x86_64"]),
    ("manylinux_2_24_aarch64", SO, 183, ["0 extension modules for cp313 at the top, not 1",
                                         f"unexpected file in the wheel: {SO}"]),
    # What a cross build gives when CMake is not told the interpreter's suffix: loadable by any interpreter.
    ("manylinux_2_24_aarch64", "tolmek.so", 183, ["0 extension modules for cp313 at the top, not 1",
                                                  "unexpected file in the wheel: tolmek.so"]),
    ("manylinux_2_24_x86_64.manylinux_2_24_aarch64", SO, 62, [
        "tagged for more than one machine: aarch64, x86_64"]),
    ("manylinux_2_17_ppc64le", "tolmek.cpython-313-powerpc64le-linux-gnu.so", 21, [
        "tagged for ppc64le, which tolmek makes no wheel for"]),
])
def test_the_extension_is_built_for_the_machine_the_wheel_is_tagged_for(tmp_path, source, objects, plat, so_name,
                                                                        machine, expected):
    name = f"tolmek-1.2.3-cp313-cp313-{plat}.whl"
    tags = [f"cp313-cp313-{p}" for p in plat.split(".")]
    files = members(source, for_machine(objects["init"], machine), tags=tags, so_name=so_name)
    assert distcheck.wheel_problems(write_wheel(tmp_path / name, files), source) == [f"{name}: {e}" for e in expected]


def test_metadata_that_disagrees_with_the_name_or_the_files_is_named(tmp_path, source, objects):
    files = members(source, objects["init"], tags=("cp313-cp313-linux_x86_64",))
    files[f"{INFO}/entry_points.txt"] = b"[console_scripts]\ntolmek = tolmek_cli.run:main\n"
    path = write_wheel(tmp_path / GOOD, files, stale_record={"tolmek_cli/run.py"})
    assert distcheck.wheel_problems(path, source) == [
        f"{GOOD}: WHEEL says purelib false, tags ['cp313-cp313-linux_x86_64']; "
        "the name says ['cp313-cp313-manylinux_2_24_x86_64']",
        f"{GOOD}: no console script tolmek = tolmek_cli:main",
        f"{GOOD}: RECORD does not hold the hash of tolmek_cli/run.py",
    ]


def test_an_extension_exporting_more_than_its_init_function_is_refused(tmp_path, source, objects):
    path = write_wheel(tmp_path / GOOD, members(source, objects["leaky"]))
    assert distcheck.wheel_problems(path, source) == [f"{GOOD}: the extension exports more than PyInit_tolmek: helper"]


def test_an_extension_holding_the_source_path_is_refused(tmp_path, source, objects):
    so = objects["init"] + b"\0" + str(source.resolve()).encode() + b"/src/binding/error.cpp\0"
    assert distcheck.wheel_problems(write_wheel(tmp_path / GOOD, members(source, so)), source) == [
        f"{GOOD}: the extension holds the build's source path {source.resolve()}"]


def write_sdist(path, names, version="1.2.3"):
    with tarfile.open(path, "w:gz") as t:
        for name, data in [("tolmek-1.2.3/PKG-INFO", f"Name: tolmek\nVersion: {version}\n".encode())] + [
                (n, b"x") for n in names]:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
    return path


def test_sdist_holds_sources_only(tmp_path, source):
    clean = ["tolmek-1.2.3/src/module.cpp", "tolmek-1.2.3/tests/node/package-lock.json",
             "tolmek-1.2.3/scripts/build.sh", "tolmek-1.2.3/python/tolmek_cli/__init__.py"]
    assert distcheck.sdist_problems(write_sdist(tmp_path / "tolmek-1.2.3.tar.gz", clean), source) == []
    junk = ["tolmek-1.2.3/build/cp313-cp313-linux_x86_64/CMakeCache.txt", "tolmek-1.2.3/tests/node/node_modules/a.js",
            "tolmek-1.2.3/.venv-3.12/pyvenv.cfg", "tolmek-1.2.3/src/module.o",
            "tolmek-1.2.3/python/tolmek_cli/__pycache__/run.cpython-313.pyc", "elsewhere/README.md"]
    sdist = write_sdist(tmp_path / "tolmek-1.2.3.tar.gz", clean + junk, version="1.2.2")
    assert distcheck.sdist_problems(sdist, source) == [
        "tolmek-1.2.3.tar.gz: PKG-INFO does not say Version: 1.2.3",
        *[f"tolmek-1.2.3.tar.gz: build output or tooling in the sdist: {n}" for n in junk[:-1]],
        "tolmek-1.2.3.tar.gz: elsewhere/README.md is outside tolmek-1.2.3/",
    ]
