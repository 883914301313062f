"""The examples of README.md and docs/ run as shown, and README's links lead to pages that are there.

Every ```python, ```sh and ```console block of a page runs, in the page's order, in a scratch folder
holding the files the examples name (tests/data/docs/), with `tolmek` on PATH and the address
127.0.0.1:8000 served by a loopback recorder. What a block shows is what it must print: a python
block's `#> ` lines, a console block's lines after each `$ ` command (standard output and error); a
line `...` stands for any lines, `...` inside a line for any text. A block that cannot run here has
`<!-- not run: REASON -->` before it; ```text and ```json blocks only show."""

import contextlib
import io
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import traceback
import unicodedata

import pytest

import tolmek
from recorder import Recorder

ROOT = pathlib.Path(__file__).resolve().parent.parent
FILES = ROOT / "tests" / "data" / "docs"
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
ADDRESS = "127.0.0.1:8000"
# The commands the examples run, each with the interpreter under test. The time limits are generous:
# an emulated wheel's suite (make dist) takes most of a minute to start a pytest.
SHIMS = {"tolmek": "-m tolmek_cli", "python": "", "pytest": "-m pytest"}
RUN, SHOW = ("python", "sh", "console"), ("text", "json")
FENCE = re.compile(r"^( *)```(\S*).*?\n(.*?)^\1```[ \t]*$", re.M | re.S)
NOT_RUN = re.compile(r"<!-- not run: (\S[^\n]*?) -->\s*\Z")


def blocks(page):
    """(line, language, code, why it is not run or None) for each fenced block of the page."""
    text = page.read_text("utf-8")
    for m in FENCE.finditer(text):
        indent = len(m.group(1))
        code = "".join(line[indent:] for line in m.group(3).splitlines(keepends=True))
        reason = NOT_RUN.search(text, 0, m.start())
        yield text.count("\n", 0, m.start()) + 1, m.group(2), code, reason and reason.group(1)


def prompts(code):
    """A console block's (command, the lines it shows) for each `$ ` line."""
    return [(part.split("\n", 1)[0], part.splitlines()[1:]) for part in re.split(r"^\$ ", code, flags=re.M)[1:]]


def shown(language, code):
    """What the block shows it prints, as lines; for a console block one list per command."""
    if language == "python":
        return [line[3:] if line.startswith("#> ") else "" for line in code.splitlines() if re.match(r"#>( |$)", line)]
    if language == "console":
        return [lines for _, lines in prompts(code)]
    return None


def matches(lines, made):
    pattern = "".join(r"(?:[^\n]*\n)*?" if line == "..." else re.escape(line).replace(r"\.\.\.", "[^\n]*") + "\n"
                      for line in lines)
    return re.fullmatch(pattern, made if made.endswith("\n") or not made else made + "\n") is not None


def run(examples):
    """In the scratch folder (the working directory): each (line, language, code) in order; the
    output of each python block, or of each command of a console block, and its exit status."""
    results, namespace = [], {"__name__": "__main__"}
    for line, language, code in examples:
        if language == "python":
            out, status = io.StringIO(), 0
            with contextlib.redirect_stdout(out):
                try:
                    exec(compile(code, f"<block at line {line}>", "exec"), namespace)
                except BaseException:
                    traceback.print_exc(file=out)
                    status = 1
            results.append([(out.getvalue(), status)])
        else:
            # A sh block stops at its first failing command; a console one shows what each gives.
            commands, flag = ([code], "-e") if language == "sh" else ([c for c, _ in prompts(code)], "+e")
            ran = [subprocess.run(["bash", flag, "-c", command], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, timeout=300) for command in commands]
            results.append([(r.stdout, r.returncode) for r in ran])
    return results


def slug(heading):
    """The anchor MkDocs gives a heading."""
    text = unicodedata.normalize("NFKD", heading).encode("ascii", "ignore").decode()
    return re.sub(r"[-\s]+", "-", re.sub(r"[^\w\s-]", "", text).strip().lower())


@pytest.mark.parametrize("page", PAGES, ids=[str(p.relative_to(ROOT)) for p in PAGES])
def test_examples_print_what_they_show(page, tmp_path):
    examples = []
    for line, language, code, reason in blocks(page):
        assert language in RUN + SHOW, f"line {line}: a block is one of {RUN} (run) or {SHOW} (shown)"
        if language in RUN and not reason:
            examples.append((line, language, code))
    if not examples:
        return
    scratch, bin_dir = tmp_path / "scratch", tmp_path / "bin"
    bin_dir.mkdir()
    for name, args in SHIMS.items():
        (bin_dir / name).write_text(f'#!/bin/sh\nexec "{sys.executable}" {args} "$@"\n')
        (bin_dir / name).chmod(0o755)
    with Recorder() as recorder:
        here = f"127.0.0.1:{recorder.port}"
        # This run's packages first (PYTHONPATH, made absolute for the scratch folder), then its module.
        path = os.pathsep.join(os.path.abspath(p) for p in [*os.environ.get("PYTHONPATH", "").split(os.pathsep),
                                                            os.path.dirname(tolmek.__file__)] if p)
        shutil.copytree(FILES, scratch)
        for file in scratch.rglob("*"):
            if file.is_file():
                file.write_text(file.read_text("utf-8").replace(ADDRESS, here), "utf-8")
        # The environment as it is (a sanitizer build's module needs its preload in every interpreter the
        # examples start) but for proxies, which would stand between the examples and the loopback.
        env = dict({k: v for k, v in os.environ.items() if "proxy" not in k.lower()}, PYTHONPATH=path,
                   HOME=str(scratch), PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
        given = [(line, language, code.replace(ADDRESS, here)) for line, language, code in examples]
        child = subprocess.run([sys.executable, __file__], input=json.dumps(given), capture_output=True, text=True,
                               cwd=scratch, env=env, timeout=900)
    assert child.returncode == 0, child.stderr
    for (line, language, code), outputs in zip(examples, json.loads(child.stdout)):
        expected = shown(language, code) if language == "console" else [shown(language, code)]
        for lines, (made, status) in zip(expected, outputs):
            made = made.replace(here, ADDRESS)
            assert status == 0 or language == "console", f"{page.name}:{line}: exit status {status}\n{made}"
            if lines is not None:
                assert matches(lines, made), f"{page.name}:{line}: printed\n{made}\nbut shows\n" + "\n".join(lines)


def test_readme_links_lead_to_pages_and_headings():
    text = (ROOT / "README.md").read_text("utf-8")
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue
        file, _, anchor = target.partition("#")
        page = ROOT / file if file else ROOT / "README.md"
        assert page.is_file(), f"README links to {target}, which is not a file"
        if anchor:
            headings = re.findall(r"^#+ (.*)$", re.sub(FENCE, "", page.read_text("utf-8")), re.M)
            assert anchor in {slug(h) for h in headings}, f"README links to {target}: no such heading"


if __name__ == "__main__":
    # The child that runs one page's examples (above): its blocks in, their outputs out.
    json.dump(run(json.load(sys.stdin)), sys.__stdout__)
