"""Release checks on built distributions, run by `make dist`: a wheel holds exactly the extension, its
stubs, the tolmek command and its metadata, byte for byte as in the source tree, is tagged manylinux for
the machine its extension is built for and exports PyInit_tolmek alone; an sdist holds no build output,
environment or installed tooling.

    distcheck.py wheel SOURCE_DIR WHEEL...   (SOURCE_DIR: the tree the wheels were built from)
    distcheck.py sdist SOURCE_DIR SDIST
    distcheck.py version SOURCE_DIR          (prints the version pyproject.toml gives)

Prints one line per problem and exits 1 if there is any; for the build log, also the dynamic symbols
each wheel's extension defines."""

import base64
import email.parser
import hashlib
import os
import pathlib
import re
import subprocess
import sys
import tarfile
import tempfile
import tomllib
import zipfile

NAME = "tolmek"
CLI = "tolmek_cli"
HTTP = "tolmek_http"
FORMS = "tolmek_forms"
STUBS = "tolmek-stubs"
# What may never travel in an sdist: build trees, virtual environments, installed node tooling,
# caches and compiled objects left behind by a development checkout.
_SDIST_TOP_FORBIDDEN = {"build", "dist"}
_SDIST_DIR_FORBIDDEN = {"node_modules", "__pycache__", ".git", ".pytest_cache", ".hypothesis", ".mypy_cache"}
_SDIST_SUFFIX_FORBIDDEN = (".so", ".o", ".a", ".whl", ".pyc")
# ELF e_machine of each architecture a wheel can be tagged for.
_ELF_MACHINES = {"x86_64": 62, "aarch64": 183}


def project_version(source):
    with open(pathlib.Path(source, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]["version"]


def _shipped_sources(source):
    """Wheel path -> bytes for the pure-Python files the wheel must carry unchanged."""
    source = pathlib.Path(source)
    files = {f"{CLI}/{p.name}": p.read_bytes() for p in (source / "python" / CLI).glob("*.py")}
    http = source / "python" / HTTP
    files.update({f"{HTTP}/{p.name}": p.read_bytes() for p in http.glob("*") if p.suffix in (".py", ".pyi") or p.name == "py.typed"})
    forms = source / "python" / FORMS
    files.update({f"{FORMS}/{p.relative_to(forms)}": p.read_bytes() for p in forms.rglob("*.py")})
    stubs = source / "stubs" / STUBS
    files.update({f"{STUBS}/{p.name}": p.read_bytes() for p in stubs.iterdir()
                  if p.suffix == ".pyi" or p.name == "py.typed"})
    return files


def defined_dynamic_symbols(so_path):
    """nm's lines for the dynamic symbols the shared object defines (what another object can bind to)."""
    # Only what nm needs: no sanitizer preload this process may run under, no locale of the caller.
    env = {"PATH": os.environ.get("PATH", os.defpath), "LC_ALL": "C"}
    out = subprocess.run(["nm", "-D", "--defined-only", str(so_path)], capture_output=True, text=True,
                         check=True, env=env).stdout
    return [line for line in out.splitlines() if line.strip()]


def _elf_machine(data):
    """e_machine of a 64-bit little-endian ELF object, else None."""
    if data[:6] != b"\x7fELF\x02\x01":
        return None
    return int.from_bytes(data[18:20], "little")


def _record_digest(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def wheel_problems(wheel, source, show=lambda line: None):
    """The wheel's problems; show() gets the lines worth keeping in a build log."""
    wheel = pathlib.Path(wheel)
    version = project_version(source)
    problems = []
    parts = wheel.name.removesuffix(".whl").split("-")
    if len(parts) != 5:
        return [f"{wheel.name}: not a name-version-python-abi-platform wheel name"]
    name, wheel_version, py, abi, plats = parts
    if (name, wheel_version) != (NAME, version):
        problems.append(f"{wheel.name}: named {name} {wheel_version}, the source tree is {NAME} {version}")
    if not re.fullmatch(r"cp3\d+", py) or abi != py:
        problems.append(f"{wheel.name}: tagged {py}-{abi}, not one CPython's own ABI")
    machines = set()
    for plat in plats.split("."):
        tag = re.fullmatch(r"manylinux_\d+_\d+_(\w+)", plat)
        if tag is None:
            problems.append(f"{wheel.name}: not a manylinux wheel: {plat}")
        elif tag.group(1) not in _ELF_MACHINES:
            problems.append(f"{wheel.name}: tagged for {tag.group(1)}, which tolmek makes no wheel for")
        else:
            machines.add(tag.group(1))
    if len(machines) > 1:
        problems.append(f"{wheel.name}: tagged for more than one machine: {', '.join(sorted(machines))}")
    machine = machines.pop() if len(machines) == 1 else r"[a-z0-9_]+"

    dist_info = f"{NAME}-{version}.dist-info"
    with zipfile.ZipFile(wheel) as z:
        members = {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
    expected = _shipped_sources(source)
    extension = re.compile(rf"{NAME}\.cpython-{py[2:]}-{machine}-linux-gnu\.so")
    so = [m for m in members if extension.fullmatch(m)]
    if len(so) != 1:
        problems.append(f"{wheel.name}: {len(so)} extension modules for {py} at the top, not 1")
    meta = {f"{dist_info}/{m}" for m in ("METADATA", "WHEEL", "RECORD", "entry_points.txt")}
    for member in sorted(members):
        if member in so or member in meta or member.startswith(f"{dist_info}/licenses/"):
            continue
        if member not in expected:
            problems.append(f"{wheel.name}: unexpected file in the wheel: {member}")
        elif members[member] != expected[member]:
            problems.append(f"{wheel.name}: {member} differs from the source tree")
    for member in sorted((expected.keys() | meta) - members.keys()):
        problems.append(f"{wheel.name}: missing from the wheel: {member}")
    if problems:
        return problems

    problems += _metadata_problems(wheel.name, members, dist_info, version, {f"{py}-{abi}-{p}" for p in plats.split(".")})
    # A cross build that fell back to this machine's compiler would still be named and tagged as asked.
    built_for = _elf_machine(members[so[0]])
    if built_for is None:
        problems.append(f"{wheel.name}: the extension is not a 64-bit little-endian ELF object")
    elif built_for != _ELF_MACHINES[machine]:
        names = {number: arch for arch, number in _ELF_MACHINES.items()}
        problems.append(f"{wheel.name}: the extension is built for {names.get(built_for, f'ELF machine {built_for}')}, "
                        f"the wheel is tagged {machine}")
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp, so[0])
        path.write_bytes(members[so[0]])
        symbols = defined_dynamic_symbols(path)
        show(f"{wheel.name}: nm -D --defined-only {so[0]}")
        for line in symbols:
            show(f"    {line}")
        extra = sorted(s for line in symbols if (s := line.split()[-1]) != f"PyInit_{NAME}")
        if extra:
            problems.append(f"{wheel.name}: the extension exports more than PyInit_{NAME}: {', '.join(extra)}")
    # A build path in the binary makes it differ from machine to machine and shows users our paths.
    if str(pathlib.Path(source).resolve()).encode() in members[so[0]]:
        problems.append(f"{wheel.name}: the extension holds the build's source path {pathlib.Path(source).resolve()}")
    return problems


def _metadata_problems(wheel_name, members, dist_info, version, tags):
    problems = []
    parse = email.parser.BytesHeaderParser().parsebytes
    info = parse(members[f"{dist_info}/WHEEL"])
    if info["Root-Is-Purelib"] != "false" or set(info.get_all("Tag", [])) != tags:
        problems.append(f"{wheel_name}: WHEEL says purelib {info['Root-Is-Purelib']}, tags "
                        f"{sorted(info.get_all('Tag', []))}; the name says {sorted(tags)}")
    metadata = parse(members[f"{dist_info}/METADATA"])
    if (metadata["Name"], metadata["Version"]) != (NAME, version):
        problems.append(f"{wheel_name}: METADATA names {metadata['Name']} {metadata['Version']}")
    entry_points = members[f"{dist_info}/entry_points.txt"].decode()
    if not re.search(rf"^\[console_scripts\]\n{NAME} = {CLI}:main$", entry_points, re.M):
        problems.append(f"{wheel_name}: no console script {NAME} = {CLI}:main")
    record = {}
    for line in members[f"{dist_info}/RECORD"].decode().splitlines():
        path, digest, _size = line.rsplit(",", 2)
        record[path] = digest
    for member, data in sorted(members.items()):
        if member != f"{dist_info}/RECORD" and record.get(member) != _record_digest(data):
            problems.append(f"{wheel_name}: RECORD does not hold the hash of {member}")
    return problems


def sdist_problems(sdist, source):
    sdist = pathlib.Path(sdist)
    version = project_version(source)
    top = f"{NAME}-{version}"
    if sdist.name != f"{top}.tar.gz":
        return [f"{sdist.name}: not {top}.tar.gz"]
    problems = []
    with tarfile.open(sdist) as t:
        names = [m.name for m in t.getmembers()]
        pkg_info = t.extractfile(f"{top}/PKG-INFO") if f"{top}/PKG-INFO" in names else None
        version_line = re.search(rb"^Version: (.*)$", pkg_info.read(), re.M) if pkg_info else None
    if version_line is None or version_line.group(1).decode() != version:
        problems.append(f"{sdist.name}: PKG-INFO does not say Version: {version}")
    for name in names:
        parts = pathlib.PurePosixPath(name).parts
        if parts[0] != top:
            problems.append(f"{sdist.name}: {name} is outside {top}/")
            continue
        inner = parts[1:]
        at_top = bool(inner) and inner[0] in _SDIST_TOP_FORBIDDEN
        anywhere = any(p in _SDIST_DIR_FORBIDDEN or p.startswith(".venv") for p in inner)
        if at_top or anywhere or name.endswith(_SDIST_SUFFIX_FORBIDDEN):
            problems.append(f"{sdist.name}: build output or tooling in the sdist: {name}")
    return problems


def main(argv):
    if argv[:1] == ["version"] and len(argv) == 2:
        print(project_version(argv[1]))
        return 0
    if len(argv) < 3 or argv[0] not in ("wheel", "sdist"):
        print(__doc__, file=sys.stderr)
        return 2
    if argv[0] == "wheel":
        problems = [p for path in argv[2:] for p in wheel_problems(path, argv[1], show=print)]
    else:
        problems = [p for path in argv[2:] for p in sdist_problems(path, argv[1])]
    for p in problems:
        print(p)
    if not problems:
        print(f"{argv[0]} checks passed: {', '.join(pathlib.Path(p).name for p in argv[2:])}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
