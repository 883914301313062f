"""The `tolmek` command: HAR files, Postman collections, JSON Lines and vcrpy and betamax cassettes in; curl scripts and collections out."""

import sys

__all__ = ["main"]


def installed_version():
    """The version in the metadata installed beside this package: read straight from it, as
    importlib.metadata's search of every path entry costs more than a whole conversion."""
    import os

    site = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        names = [n for n in os.listdir(site) if n.startswith("tolmek-") and n.endswith(".dist-info")]
        if len(names) == 1:
            with open(os.path.join(site, names[0], "METADATA"), encoding="utf-8") as f:
                for line in f:
                    if line.startswith("Version:"):
                        return line[len("Version:"):].strip()
                    if line == "\n":  # the end of the headers
                        break
    except OSError:
        pass
    from importlib.metadata import version

    return version("tolmek")


def main(argv=None):
    """Run the command with `argv` (default: the process's arguments); returns the exit status."""
    try:
        return _main(sys.argv[1:] if argv is None else list(argv))
    except KeyboardInterrupt:  # before the run's own handlers are in place
        return 130


class Options:
    """The options of a run, as argparse's namespace holds them."""

    def __init__(self, **values):
        self.__dict__.update(values)


# Plain runs are read here: argparse and the regular expressions it needs cost more start-up than a
# whole small conversion. Anything else (help, abbreviations, --opt=value, values starting with "-",
# mistakes) goes to argparse, which reads it as before.
_FLAGS = {"--strict": "strict", "--keep-variables": "keep_variables", "--insecure-file-read": "insecure_file_read"}
_VALUED = {"--from": "source_format", "-o": "output", "--output": "output", "-g": "globals", "--globals": "globals",
           "-e": "environment", "--environment": "environment", "--working-dir": "working_dir",
           "--curl-version": "curl_version"}
_REPEATED = {"--global-var": "global_var", "--env-var": "env_var", "--placeholder": "placeholder"}
_FORMATS = ("har", "postman", "jsonl", "vcr", "betamax", "curl")


def quick(argv):
    """The Options of a plain run's arguments, or None where argparse is to read them."""
    if not argv or argv[0] not in ("curl", "postman"):
        return None
    values = {"command": argv[0], "files": [], "source_format": None, "output": None, "strict": False,
              "globals": None, "global_var": None, "environment": None, "env_var": None, "keep_variables": False,
              "working_dir": None, "insecure_file_read": False, "placeholder": None, "curl_version": None}
    flags = _FLAGS
    if argv[0] == "curl":
        values.update(script=False, comments=False, curl_option=None)
        flags = {**_FLAGS, "--script": "script", "--comments": "comments"}
    files = values["files"]
    i, n = 1, len(argv)
    while i < n:
        arg = argv[i]
        if arg == "-" or not arg.startswith("-"):
            if arg == "-" and arg in files:
                return None
            files.append(arg)
            i += 1
            continue
        if arg in flags:
            values[flags[arg]] = True
            i += 1
            continue
        name = _VALUED.get(arg) or _REPEATED.get(arg)
        if name is None or i + 1 == n:
            return None
        value = argv[i + 1]
        if value.startswith("-") and value != "-" or (name == "source_format" and value not in _FORMATS):
            return None
        if arg in _REPEATED:
            values[name] = [*(values[name] or ()), value]
        else:
            values[name] = value
        i += 2
    return Options(**values)


def _main(argv):
    if argv == ["--version"]:
        print(f"tolmek {installed_version()}")
        raise SystemExit(0)  # as argparse's --version ends
    args = quick(argv)
    if args is None:
        args = parsed(argv)
    if not args.files:
        args.files = ["-"]
        if _terminal(sys.stdin):
            # Nothing piped in: a person at the terminal more likely forgot the FILE.
            from .options import parser
            from .streams import Diagnostics

            subparsers = {}
            parser(subparsers)
            say = Diagnostics().say
            say(subparsers[args.command].format_usage().rstrip("\n"))
            say("tolmek: error: no FILE given and standard input is a terminal (- reads it)")
            return 2
    from .run import run

    return run(args)


def parsed(argv):
    """The arguments as argparse reads them; SystemExit for help, --version and mistakes."""
    from .options import parser

    subparsers = {}
    top = parser(subparsers)
    if argv and argv[0] not in subparsers and _input_like(argv[0]):
        top.error(f"argument SUBCOMMAND: {argv[0]!r} is not a subcommand (curl, postman): did you mean "
                  f"\"tolmek curl {_shell_words(argv)}\"?")
    args, extra = top.parse_known_args(argv)
    sub = subparsers[args.command]
    # argparse takes the files as one run of arguments: those after an option come back here.
    unknown = [arg for arg in extra if arg.startswith("-") and arg != "-"]
    if unknown:
        sub.error(f"unrecognized arguments: {' '.join(unknown)}")
    args.files += extra
    if args.files.count("-") > 1:
        sub.error("- (standard input) may be named only once")
    if getattr(args, "curl_option", None):
        from .curl_options import checked

        try:
            args.curl_option = checked(args.curl_option)
        except ValueError as e:
            sub.error(str(e))
    return args


_INPUT_SUFFIXES = (".har", ".json", ".jsonl", ".ndjson", ".yaml", ".yml")


def _input_like(arg):
    """Whether an argument where the subcommand belongs looks like an input file rather than a
    mistyped subcommand."""
    import os

    return arg == "-" or arg.lower().endswith(_INPUT_SUFFIXES) or (not arg.startswith("-") and os.path.exists(arg))


def _shell_words(argv):
    """The arguments as a shell would take them back, shown on one line."""
    import shlex

    from .fields import file_name

    return file_name(" ".join(shlex.quote(arg) for arg in argv))


def _terminal(stream):
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError):
        return False
