"""One run of a subcommand: read and check the whole input, report skips, then write the output."""

import os
import sys

from . import convert, output
from .source import InputError, Source


def _fail(message):
    print(f"tolmek: error: {message}", file=sys.stderr)
    return 2


def run(args):
    try:
        return _run(args)
    except InputError as e:
        return _fail(e)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # Whoever read the output went away; say nothing more on a closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 2


def _run(args):
    if args.file == "-":
        stream, name = sys.stdin.buffer, "<stdin>"
    else:
        try:
            stream, name = open(args.file, "rb"), args.file
        except OSError as e:
            return _fail(f"cannot read {args.file}: {e.strerror}")
    try:
        src = Source(stream, name)
        items = convert.READERS[args.source_format or convert.detect(src)](src, args)
        report = convert.Report(src)
        if args.command == "curl":
            pieces = output.script(convert.commands(items, report), args.script)
        else:
            pieces = output.document(convert.collection(items, report).export_collection())
    except OSError as e:
        return _fail(f"cannot read {name}: {e.strerror}")
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()

    for line in report.lines:
        print(f"tolmek: {line}", file=sys.stderr)
    skipped = len(report.lines)
    if skipped:
        total = skipped + report.converted
        counted = f"{skipped} of {total} request{'s' if total != 1 else ''} skipped"
        if args.strict:
            print(f"tolmek: {counted}; nothing written (--strict)", file=sys.stderr)
            return 1
        print(f"tolmek: {counted}", file=sys.stderr)
    try:
        output.write(pieces, args.output)
    except BrokenPipeError:
        raise
    except OSError as e:
        return _fail(f"cannot write {args.output or '<stdout>'}: {e.strerror or e}")
    return 0
