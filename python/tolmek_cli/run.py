"""One run of a subcommand: read and check the whole input, report skips, then write the output."""

import sys

from . import convert, output
from .fields import file_name, shown
from .source import InputError, RunError, Source
from .streams import Diagnostics, Signals, Stopped, open_input, stdin


class _Held:
    """Standard error while the module works: it writes its diagnostics there before it raises,
    and the command makes one error line of them instead."""

    _LIMIT = 4096

    def __init__(self):
        self.text = ""

    def write(self, text):
        if len(self.text) < self._LIMIT:
            self.text += text[: self._LIMIT]
        return len(text)

    def flush(self):
        pass


def _internal(error):
    """Whether `error` is the module's own failure class (which derives from BaseException)."""
    kind = type(error)
    return kind.__name__ == "InternalFailure" and kind.__module__ == "tolmek"


def run(args):
    """The exit status of one run; diagnostics go to standard error only, one line each."""
    # A signal may arrive anywhere, also while another error is being reported: caught out here.
    try:
        with Signals():
            return _run(args)
    except Stopped as e:
        return 128 + e.signum
    except KeyboardInterrupt:
        return 130


def _run(args):
    diagnostics = Diagnostics()
    say = diagnostics.say

    def fail(message):
        say(f"tolmek: error: {message}")
        return 2

    to_stdout = args.output in (None, "-")
    if args.output == "":
        return fail("cannot write '': the file name is empty")
    held = _Held()
    try:
        before, sys.stderr = sys.stderr, held
        try:
            pieces, outcomes = _convert(args)
        finally:
            sys.stderr = before
        for line in held.text.splitlines():
            say(line)
        return _finish(args, pieces, outcomes, say)
    except InputError as e:
        return fail(e)
    except MemoryError:
        return fail("out of memory")
    except output.Closed:
        return fail("cannot write <stdout>: standard output is closed")
    except OSError as e:
        if to_stdout and isinstance(e, BrokenPipeError):
            return 2  # whoever read the output went away; nothing more to say on a closed pipe
        return fail(f"cannot write {'<stdout>' if to_stdout else file_name(args.output)}: {e.strerror or e}")
    except Exception as e:  # a fault of the command itself: one line, not a traceback
        return fail(f"internal error: {type(e).__name__}: {shown(str(e), 200)} (please report it)")
    except BaseException as e:
        if not _internal(e):
            raise
        if held.text.startswith("MemoryError"):
            return fail("out of memory")
        where = [line.strip() for line in held.text.splitlines() if line.startswith("  at ")]
        return fail(f"internal failure of the tolmek module: {e}{' (' + where[0] + ')' if where else ''}")


def _convert(args):
    """(pieces of the output, the outcome of each file in order: the report of its skips, or the
    message of why it could not be converted); everything read and checked."""
    outcomes = []
    commands = []
    collection = convert.Collection() if args.command == "postman" else None
    form = args.command not in ("curl", "postman")
    if form:
        from .forms import check

        check(args)
        collection = []  # the request values of every file, written in the form at the end
    args.shared = {}  # what the readers of the run's files share
    for path in args.files:
        try:
            report, made = _file(args, path, collection)
        except RunError:
            raise
        except InputError as e:
            # One file that cannot be read or is not its format: the others are still converted.
            outcomes.append(str(e))
            continue
        outcomes.append(report)
        if made is not None:
            if commands:
                commands.extend(made)
            else:
                commands = made
    if all(type(outcome) is str for outcome in outcomes):
        return None, outcomes  # nothing to write
    if form:
        from .forms import written

        return written(args, collection), outcomes
    if collection is None:
        return output.script(commands, args.script), outcomes
    return output.document(collection.document()), outcomes


def _file(args, path, collection):
    """(report of the skips, the commands) of one input file; its requests go into `collection`
    instead when there is one."""
    if path == "-":
        stream, name = stdin(), "<stdin>"
        if stream is None:
            raise InputError("cannot read <stdin>: standard input is closed")
    else:
        try:
            stream, name = open_input(path), file_name(path)
        except OSError as e:
            raise InputError(f"cannot read {file_name(path)}: {e.strerror}") from None
    try:
        src = Source(stream, name)
        items = convert.reader(args.source_format or convert.detect(src))(src, args)
        report = convert.Report(src)
        if collection is None:
            words = getattr(args, "curl_option", None)
            if words:
                from .curl_options import suffix

                words = suffix(words)
            return report, convert.commands(items, report, words or "", getattr(args, "comments", False))
        if type(collection) is list:
            start = len(collection)
            try:
                collection.extend(convert.values(items, report, lambda: collection.__delitem__(slice(start, None)),
                                                 start))
            except BaseException:
                del collection[start:]
                raise
            return report, None
        collection.add(items, report)
        return report, None
    except OSError as e:
        raise InputError(f"cannot read {name}: {e.strerror}") from None
    finally:
        if hasattr(stream, "close") and stream is not getattr(sys.stdin, "buffer", None):
            stream.close()


def _finish(args, pieces, outcomes, say):
    skipped = converted = failed = 0
    for outcome in outcomes:
        if type(outcome) is str:
            say(f"tolmek: error: {outcome}")
            failed += 1
            continue
        for line in outcome.lines:
            say(f"tolmek: {line}")
        skipped += outcome.skipped
        converted += outcome.converted
    if failed == len(outcomes):
        return 2
    notes = []
    if skipped:
        total = skipped + converted
        notes.append(f"{skipped} of {total} request{'s' if total != 1 else ''} skipped")
    if failed:
        notes.append(f"{failed} of {len(outcomes)} files not converted")
    if args.strict and notes:
        say(f"tolmek: {'; '.join(notes)}; nothing written (--strict)")
        return 2 if failed else 1
    if not converted:
        # An empty script that exits 0 would pass for a replay of everything.
        if not skipped:
            notes.insert(0, "the inputs hold none" if len(outcomes) > 1 else "the input holds none")
        say(f"tolmek: no request converted ({'; '.join(notes)}); nothing written")
        return 2 if failed else 1
    for note in notes:
        say(f"tolmek: {note}")
    if callable(pieces):
        pieces()  # a form's files, written in place
    else:
        output.write(pieces, args.output, executable=getattr(args, "script", False))
    return 2 if failed else 0
