"""The extension's sources are standard C++20 outside src/platform.*, which names each platform
facility with its fallback: GCC and clang accept compiler builtins, system headers and SSE2
intrinsics that other compilers and machines do not, so only the source can show them."""

import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
PLATFORM_FILES = {"platform.hpp", "platform.cpp"}

NOT_STANDARD = re.compile(
    r"__builtin_\w+|__attribute__|__declspec|__asm__|\basm\b"
    r"|#\s*include\s*<(?:sys/[\w/]+\.h|unistd\.h|windows\.h|\w*intrin\.h)>"
    r"|\b(?:__SSE\w*__|__AVX\w*__|__GNUC__|__clang__|_MSC_VER|__linux__|_WIN32|__APPLE__|_M_X64|_M_IX86_FP)\b"
)
SSE2 = re.compile(r"\b_mm_\w+|\b__m128i?\b")
CONDITION = re.compile(r"#\s*(if|ifdef|ifndef|elif|else|endif)\b\s*(.*)")


def sources():
    for path in sorted(SRC.rglob("*")):
        if path.suffix in (".hpp", ".cpp"):
            yield path.relative_to(SRC).as_posix(), path.read_text(encoding="utf-8").splitlines()


def code_of(line):
    return line.split("//", 1)[0]


def test_platform_facilities_only_in_the_platform_files():
    found = [
        f"src/{name}:{number}: {match.group()}"
        for name, lines in sources()
        if name not in PLATFORM_FILES
        for number, line in enumerate(lines, 1)
        for match in NOT_STANDARD.finditer(code_of(line))
    ]
    assert found == []


def test_sse2_code_only_where_the_platform_chose_it():
    """Every SSE2 type or intrinsic lies in the TOLMEK_SSE2 branch of a conditional, so a build
    for another machine (or with TOLMEK_PORTABLE) never sees one."""
    # Per open conditional, which branch the lines are in: "sse2" (only TOLMEK_SSE2 builds take
    # it), "portable" (only the others do) or "other".
    after_else = {"sse2": "portable", "portable": "sse2", "other": "other"}
    found = []
    for name, lines in sources():
        if name in PLATFORM_FILES:
            continue
        stack = []
        for number, line in enumerate(lines, 1):
            directive = CONDITION.match(line.strip())
            if directive:
                kind, condition = directive.group(1), code_of(directive.group(2)).strip()
                if kind in ("if", "ifdef", "ifndef"):
                    stack.append({"TOLMEK_SSE2": "sse2", "!TOLMEK_SSE2": "portable"}.get(condition, "other"))
                elif kind == "elif":
                    stack[-1] = "other"
                elif kind == "else":
                    stack[-1] = after_else[stack[-1]]
                else:
                    stack.pop()
            elif SSE2.search(code_of(line)) and "sse2" not in stack:
                found.append(f"src/{name}:{number}: {line.strip()}")
    assert found == []
