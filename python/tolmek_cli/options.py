"""The command's argparse parser and its help texts, built only when a run needs more than a plain reading."""

import argparse

from . import installed_version
from .curl_options import ALLOWED

_FORMATS = """\
input formats (recognised by content, or named with --from):
  har       HAR 1.2 (browser developer tools, proxies, test recorders): log.entries[].request
            with method, url, headers in order (HTTP/2 pseudo-headers such as :authority and
            Content-Length, which curl computes, are left out), queryString and cookies the
            url and headers lack, and postData.text, or postData.params sent as a form when
            there is no text
  postman   a Postman v2.0 or v2.1 collection (tolmek's own exports too): each request as
            newman sends it: {{variables}} replaced (-g, -e and friends below), auth inherited
            from folders and the collection (bearer, basic, apikey, oauth2 with a stored token),
            url built from its parts and encoded, raw, urlencoded, graphql and text formdata
            bodies with the Content-Type Postman adds, GET and HEAD bodies dropped as Postman
            drops them
  jsonl     JSON Lines: one object a line with "url", "headers" (a list of [name, value]
            pairs), "method" and an optional "body"
  vcr       a vcrpy cassette (YAML, which needs PyYAML: pip install 'tolmek[yaml]'; or JSON):
            interactions[].request with method, uri, headers (one value per name, in the
            cassette's order) and body (text, !!binary, an iterator's chunks; data recorded
            from aiohttp's json= is sent as JSON text, with a note)
  betamax   a betamax cassette (JSON): http_interactions[].request with method, uri, headers
            and body (string, or base64_string when the exact bytes were kept)
  curl      curl command lines as pasted from a browser's "Copy as cURL" (bash or cmd) or docs:
            each read as curl 7.88 reads its options, curl's own headers (User-Agent
            curl/7.88.1, Accept, the form type) made explicit; files from --working-dir only;
            what depends on the shell ($VAR, $(...), globs, pipes) is skipped

What a cassette did not keep is named on standard error ("carried as recorded: ..." and "note:"
lines); the request is still converted.

A request that cannot be carried (a method that is not an HTTP token, or in a collection one
other than GET, POST, PUT, DELETE, HEAD, OPTIONS, PATCH, TRACE and CONNECT, a binary body in a
collection, a body the recording did not keep, a field of the wrong type, an undefined or
dynamic {{variable}}, an auth type or file upload no command carries, a request no command line
can carry) is skipped with one line on standard error naming its place and the reason, and a
count at the end. A HAR body recorded base64-encoded
that is not text goes to curl byte for byte, through the shell's printf into
curl --data-binary @-.

Input is UTF-8, or UTF-16 or UTF-32 (told by a byte order mark or by the text itself).
With no FILE and a terminal as standard input, the usage is printed: - reads the terminal.
Several FILEs are read in order, each recognised by its own content; messages name the file.

exit status:
  0      every request converted (or some skipped without --strict)
  1      requests were skipped under --strict, or none was converted (every one skipped, or
         the input holds none); nothing is written
  2      bad input: not JSON, not UTF-8, an unknown format, a v1 collection, a file structure
         that is not the format's (the message names the place in the file), a variables file
         that cannot be read; nothing is written. Also an input that cannot be read, output
         that cannot be written, or not enough memory. With several FILEs, one that cannot be
         read or converted is named and the others are still converted and written (with
         --strict nothing is)
  128+N  stopped by signal N (130 SIGINT, 143 SIGTERM, 129 SIGHUP); a regular file OUT is
         left as it was, with no temporary file beside it
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


_OUT = """
-o OUT writes the output as `> OUT` would, once it is whole: a regular file (or a new one) is
written beside itself and renamed into place, so a failed run never leaves a half-written
file and OUT keeps its owner and permissions; a symbolic link's target is replaced so (the
link stays); a device or FIFO (/dev/null, /dev/stdout) is written to. A new file made with
--script is executable.
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
        description="Turn captured HTTP traffic (HAR), Postman collections and JSON Lines into curl "
                    "scripts and Postman collections.",
        epilog=_FORMATS + "\n`tolmek SUBCOMMAND --help` describes each subcommand.")
    top.add_argument("--version", action=_Version)
    top.epilog += _OUT
    subs = top.add_subparsers(dest="command", required=True, metavar="SUBCOMMAND")
    for name, summary, description in (
            ("curl", "print a curl command per request: a shell script", _CURL),
            ("postman", "print the requests as a Postman v2.1.0 collection", _POSTMAN)):
        sub = subs.add_parser(name, help=summary, description=description + "\n" + _FORMATS + _OUT,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
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


