"""A run's requests written in one of the other forms (Python, Node, Hurl, HTTPie, .http, wget, Bruno): the
files, and each request's skip or loss reported under the file it came from."""

import os

from . import output
from .source import InputError


def check(args):
    """Stop a run whose output cannot be placed, before anything is read."""
    import tolmek_forms

    if tolmek_forms.writer(args.command).FOLDER and args.output in (None, "-"):
        raise InputError(f"tolmek {args.command} writes a folder of files: name it with -o DIR")


def written(args, values):
    """What writes the output (called once the run is known to write one); the reports updated."""
    import tolmek_forms

    to_stdout = args.output in (None, "-")
    result = tolmek_forms.write(args.command, values, strict=args.strict, files=not to_stdout)
    for value in values:
        value.report.converted += 1
    for value, reason in result.skipped:
        report = value.report
        label = f" {value.label}" if value.label else ""
        report.lines.append(f"{value.offset}: skipped{label}: {reason}")
        report.skipped += 1
        report.converted -= 1
    for value, loss in result.losses:
        label = f" {value.label}" if value.label else ""
        value.report.lines.append(f"{value.offset}:{label} not exact in {result.form}: {loss}")
    mod = tolmek_forms.writer(args.command)

    def write():
        if mod.FOLDER:
            _folder(args.output, result.files)
            return
        main = result.files.pop(result.main)
        output.write([main], args.output)
        if result.files:
            _folder(os.path.dirname(os.path.abspath(args.output)), result.files)

    return write


def _folder(directory, files):
    """Each file under `directory` (made when missing), replaced only once it is whole."""
    for path, data in files.items():
        target = os.path.join(directory, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        output.write([data], target)
