"""What writing one form gives: its files, the bodies placed beside them, and what it could not carry."""

from __future__ import annotations

__all__ = ["Written", "Unfit", "BODY_DIR"]

# Side files go here, beside the output, named by the request's place in the run: every form
# written into one directory shares them (and a recording's script and collection too).
BODY_DIR = "bodies"


class Unfit(Exception):
    """A request the form cannot carry at all; the message says why."""


class Written:
    """The files of one form (relative path -> bytes; `main` is the one a single-file form prints),
    each request's losses (one line per loss) and the skipped requests with their reasons."""

    def __init__(self, form: str, main: str):
        self.form = form
        self.main = main
        self.files: dict[str, bytes] = {}
        self.losses: list[tuple[object, str]] = []  # (request, reason)
        self.skipped: list[tuple[object, str]] = []  # (request, reason)
        self.converted = 0
        self.allow_files = True

    def lose(self, request, reason: str) -> None:
        """Name what the form cannot carry of this request; the writer also says it in the output."""
        request.losses.append(reason)

    def body_file(self, request) -> str:
        """The path (relative, with "./" where a form needs it stripped by the writer) of a file
        holding the request's body bytes, written once. Unfit when the output has no place beside it."""
        if not self.allow_files:
            raise Unfit("its body goes in a file beside the output, which standard output has no room for "
                        "(write with -o FILE)")
        path = f"{BODY_DIR}/{request.index + 1:03d}.bin"
        self.files.setdefault(path, request.body or b"")
        return path

    def side_files(self) -> bool:
        return any(p != self.main for p in self.files)
