"""The command's argparse parser and its help texts, built only when a run needs more than a plain reading."""

import argparse

from . import installed_version
from .curl_options import ALLOWED

_FORMATS = """\
input formats (recognised by content, or named with --from):
  har       HAR 1.2: browser developer tools, proxies, test recorders
  postman   a Postman v2.0 or v2.1 collection, each request as newman sends it
  jsonl     JSON Lines: {"url": ..., "method": ..., "headers": [[name, value], ...], "body": ...}
  vcr       a vcrpy cassette (YAML needs PyYAML: pip install 'tolmek[yaml]'; or JSON)
  betamax   a betamax cassette (JSON)
  curl      curl command lines, as a browser's "Copy as cURL" (bash or cmd) or docs write them
"""

# What the help leaves to the documentation, where each format, what is carried and what is skipped, -o
# and the exit statuses are described in full.
_MORE = """
A request that cannot be carried is skipped with a line on standard error naming its place and why.
exit status: 0 converted (some may be skipped); 1 skipped under --strict, or nothing converted;
  2 bad input or arguments, unreadable input, unwritable output; 128+N stopped by signal N.
Each format and form, what is carried and skipped, -o OUT and the exit statuses in full:
docs/command.md and docs/forms.md in the source tree (make docs builds them as a site).
"""

_CURL = """\
Print one curl command per request, each ending with a line break, so that the output is a
shell script that replays the requests in order (those of several FILEs one file after another).

examples:
  tolmek curl capture.har > replay.sh
  tolmek curl login.har api.postman_collection.json > replay.sh
"""

_POSTMAN = """\
Print the Postman v2.1.0 collection document of the requests, one line: one collection holding
the requests of every FILE, in order.

examples:
  tolmek postman capture.har -o capture.postman_collection.json
  tolmek postman login.har checkout.har -o session.postman_collection.json
"""


# The other forms: subcommand -> its one-line summary.
FORM_COMMANDS = {
    "python": "Python code sending each request with httpx (the same as httpx)",
    "httpx": "Python code sending each request with httpx, exactly",
    "requests": "Python code sending each request with requests",
    "node": "a Node script sending each request with node:http, exactly",
    "hurl": "a Hurl file",
    "httpie": "a shell script of HTTPie commands",
    "http": "a .http file for httpyac, VS Code REST Client and JetBrains",
    "wget": "a shell script of wget commands",
    "bruno": "a Bruno collection folder (needs -o DIR)",
}

_FORM = """\
Write the requests of every FILE, in order, as {summary}.
What the form cannot carry of a request is named on standard error and in a comment of the output; with --strict such a request
is skipped. A body the form's source cannot hold exactly goes in bodies/NNN.bin beside -o OUT.
"""


class _Version(argparse.Action):
    """--version: the installed distribution's version, looked up only when asked for."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="print the version and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"tolmek {installed_version()}")
        parser.exit()


def parser(subparsers):
    top = argparse.ArgumentParser(
        prog="tolmek", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Turn captured HTTP traffic (HAR), Postman collections, JSON Lines, vcrpy and betamax\n"
                    "cassettes and copied curl commands into curl scripts, Postman collections and the\n"
                    "other forms people share a request in: tolmek FORM FILE... with FORM one of python\n"
                    "(httpx), requests, node, hurl, httpie, http (.http), wget, bruno.",
        epilog=_FORMATS + _MORE + "`tolmek SUBCOMMAND --help` lists each subcommand's options.")
    top.add_argument("--version", action=_Version)
    subs = top.add_subparsers(dest="command", required=True, metavar="SUBCOMMAND")
    forms = [(name, None, _FORM.format(summary=summary)) for name, summary in FORM_COMMANDS.items()]
    for name, summary, description in (
            ("curl", "print a curl command per request: a shell script", _CURL),
            ("postman", "print the requests as a Postman v2.1.0 collection", _POSTMAN), *forms):
        # The forms go unlisted one by one: the description names them together.
        listed = {"help": summary} if summary else {}
        sub = subs.add_parser(name, description=description, epilog=_MORE,
                              formatter_class=argparse.RawDescriptionHelpFormatter, **listed)
        sub.add_argument("files", nargs="*", metavar="FILE",
                         help="the input files, read and converted in order; - (once) or nothing "
                              "reads standard input")
        sub.add_argument("--from", dest="source_format", choices=("har", "postman", "jsonl", "vcr", "betamax", "curl"),
                         help="the input format, when it should not be recognised by content")
        sub.add_argument("-o", "--output", metavar="OUT",
                         help="write to OUT (replaced only once the output is whole) instead of "
                              "standard output")
        sub.add_argument("--strict", action="store_true",
                         help="fail (exit status 1, nothing written) if any request is skipped")
        if name == "curl":
            sub.add_argument("--script", action="store_true",
                             help="start with a #!/bin/sh line (a new OUT is made executable)")
            sub.add_argument("--comments", action="store_true",
                             help="a comment line before each command naming where it comes from: file:line:column "
                                  "and the entry (log.entries[3]), or the item's path and name")
            sub.add_argument("--curl-option", metavar="ARG", action="append",
                             help="one curl argument added to every command, quoted (repeatable; a value comes as "
                                  "the next one: --curl-option=-sS --curl-option=--max-time --curl-option=10). Only "
                                  f"options that leave the request as it is: {ALLOWED}")
        _variable_options(sub)
        sub.add_argument("--placeholder", metavar="TEXT", action="append",
                         help="a text a cassette's filter wrote in place of a secret, made a variable like the "
                              "placeholders found by themselves (<NAME>, FILTERED, REDACTED, ****) (repeatable)")
        sub.add_argument("--curl-version", metavar="VERSION",
                         help="the curl a copied curl command is taken to run with: a command without -A sends "
                              "User-Agent curl/VERSION (default 7.88.1)")
        sub.add_argument("--working-dir", metavar="DIR",
                         help="the directory a collection's file bodies and fields may come from, relative paths "
                              "starting there, as for newman (without it they are skipped)")
        sub.add_argument("--insecure-file-read", action="store_true",
                         help="carry files outside --working-dir too (newman reads them unless told not to)")
        subparsers[name] = sub
    return top


def _variable_options(sub):
    """The flags that give a collection's {{variables}} values, named as newman names them."""
    group = sub.add_argument_group(
        "Postman variables", "{{name}} in a collection is replaced as Postman does; an environment value "
        "wins over the collection's, which wins over a global one")
    group.add_argument("-g", "--globals", metavar="FILE", help="a Postman globals export")
    group.add_argument("--global-var", metavar="NAME=VALUE", action="append", help="a global variable (repeatable)")
    group.add_argument("-e", "--environment", metavar="FILE", help="a Postman environment export")
    group.add_argument("--env-var", metavar="NAME=VALUE", action="append",
                       help="an environment variable (repeatable)")
    group.add_argument("--keep-variables", action="store_true",
                       help="print {{name}} that has no value, and {{$dynamic}} ones, as written instead of "
                            "skipping the request")


