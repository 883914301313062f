"""Writing the result: to standard output, or to a file replaced only once it is whole."""

import os
import stat
import sys
import tempfile

_BATCH = 1024           # commands encoded and written at a time
_SLICE = 1 << 20        # characters of a collection document encoded and written at a time


def script(commands, shebang):
    """The text of a shell script running the commands in order, in pieces."""
    if shebang:
        yield "#!/bin/sh\n"
    for i in range(0, len(commands), _BATCH):
        yield "\n".join(commands[i:i + _BATCH]) + "\n"


def document(text):
    """The collection document and a closing line break, in pieces."""
    for i in range(0, len(text), _SLICE):
        yield text[i:i + _SLICE]
    yield "\n"


def write(pieces, path):
    """Write the pieces as UTF-8 to `path`, or to standard output when it is None or "-"."""
    if path is None or path == "-":
        out = sys.stdout.buffer
        for piece in pieces:
            out.write(piece.encode())
        out.flush()
        return
    directory, name = os.path.split(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            for piece in pieces:
                f.write(piece.encode())
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, _mode(path))
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _mode(path):
    """The permissions the file gets: those of the file it replaces, else what the umask allows
    (a temporary file starts out readable by its owner alone)."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask
