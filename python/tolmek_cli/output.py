"""Writing the result: to standard output, or to OUT as the shell's `>` would, but a regular file
replaced only once it is whole."""

import errno
import os
import stat
import sys

from .streams import held, lift, write_all

_BATCH = 1024           # commands encoded and written at a time
_SLICE = 1 << 20        # characters of a collection document encoded and written at a time
_NAME_CHARACTERS = "abcdefghijklmnopqrstuvwxyz0123456789_"
_NAME_LENGTH = 8
_TEMPORARY_EXTRA = len(".") + len(".") + _NAME_LENGTH + len(".tmp")  # what a temporary name adds to OUT's
# Names of this process's own descriptors: opening one opens the file behind it anew, from its start.
_STANDARD = {"/dev/stdout": 1, "/dev/stderr": 2}
_NUMBERED = ("/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/", "/proc/%d/fd/")
_LINK_HOPS = 40


class Closed(Exception):
    """Standard output was closed when the command started."""


def _bytes(piece):
    """A piece as written: text in UTF-8, bytes (a form's side file) as they are."""
    return piece.encode() if type(piece) is str else piece


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


def write(pieces, path, executable=False):
    """Write the pieces as UTF-8 to `path`, or to standard output when it is None or "-".

    A regular file (or a new one, made executable when asked) is written beside itself and renamed
    into place; a symbolic link is followed and its final target replaced so; a name of one of
    this process's descriptors (/dev/stdout, /dev/fd/N) is written through that descriptor; anything
    else (a device, a FIFO, a file of several names) is written to as it is, the output being whole
    by then."""
    if path is None or path == "-":
        _to_stdout(pieces)
        return
    fd = _descriptor(path)
    if fd is not None:
        # As the shell opened it: at its offset, appending where it appends, nothing truncated.
        os.fstat(fd)  # EBADF for a descriptor that is not open, as the shell says
        for piece in pieces:
            write_all(fd, _bytes(piece))
        return
    try:
        found = os.stat(path)
    except FileNotFoundError:
        found = None  # a new file, or a link to one
    if found is not None and not stat.S_ISREG(found.st_mode):
        if stat.S_ISDIR(found.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        _in_place(pieces, path)
        return
    final = os.path.realpath(path)
    if found is not None:
        try:
            same = os.stat(final)
        except OSError:
            same = None
        if same is None or (same.st_dev, same.st_ino) != (found.st_dev, found.st_ino):
            # A link the file system resolves but no path names (/proc/self/fd/N of a deleted file).
            _in_place(pieces, path)
            return
    if found is not None:
        _writable(final)
    _replace(pieces, final, found, executable)


def _descriptor(path):
    """The descriptor of this process that `path` names (through symbolic links), or None."""
    numbered = _NUMBERED[:-1] + (_NUMBERED[-1] % os.getpid(),)
    for _ in range(_LINK_HOPS):
        if path.startswith("/"):
            name = os.path.normpath(path)
            if name in _STANDARD:
                return _STANDARD[name]
            for prefix in numbered:
                number = name[len(prefix):]
                if name.startswith(prefix) and number and all(c in "0123456789" for c in number):
                    return int(number)
        try:
            target = os.readlink(path)
        except (OSError, ValueError):
            return None
        path = os.path.join(os.path.dirname(os.path.abspath(path)), target)
    return None


def _writable(path):
    """Raise what `>` would meet opening the file for writing: a read-only file its user may not
    write is not replaced behind their back."""
    os.close(os.open(path, os.O_WRONLY | os.O_CLOEXEC | os.O_NONBLOCK))


def _to_stdout(pieces):
    stream = sys.stdout
    if stream is None:
        raise Closed()
    try:
        fd = stream.fileno()
    except (AttributeError, OSError, ValueError):
        out = stream.buffer  # an in-memory stream put in place by an embedding program
        for piece in pieces:
            out.write(_bytes(piece))
        out.flush()
        return
    stream.flush()
    for piece in pieces:
        write_all(fd, _bytes(piece))


def _in_place(pieces, path):
    fd = lift(os.open(path, os.O_WRONLY | os.O_TRUNC | os.O_CLOEXEC))
    try:
        for piece in pieces:
            write_all(fd, _bytes(piece))
    finally:
        os.close(fd)


def _temporary(directory, prefix):
    """(descriptor, path) of a new file beside OUT that only this run opened, made as
    tempfile.mkstemp makes one: tempfile brings shutil and the regular expressions with it, which
    cost more start-up than a small conversion."""
    flags = os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | getattr(os, "O_NOFOLLOW", 0)
    for _ in range(100):
        name = "".join(_NAME_CHARACTERS[b % len(_NAME_CHARACTERS)] for b in os.urandom(_NAME_LENGTH))
        path = os.path.join(directory, f"{prefix}{name}.tmp")
        try:
            return os.open(path, flags, 0o600), path
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no unused temporary file name found")


def _replace(pieces, final, found, executable):
    directory, name = os.path.split(final)
    temporary = None
    try:
        try:
            with held():
                fd, temporary = _temporary(directory, f".{_cut(name, directory)}.")
        except PermissionError:
            if found is None:
                raise
            # A file one may write in a directory one may not: written through, as `>` does.
            _in_place(pieces, final)
            return
        try:
            fd = lift(fd)
            for piece in pieces:
                write_all(fd, _bytes(piece))
            os.fsync(fd)
            if found is None:
                os.fchmod(fd, (0o777 if executable else 0o666) & ~_umask())
            elif found.st_nlink > 1:
                # A file of several names is one file: written in place, as `>` does, so that
                # every name shows the output; it is whole before the file is touched.
                os.lseek(fd, 0, os.SEEK_SET)
                _copy(fd, final)
                return
            elif not _keep_owner(fd, found):
                # Only root can give a file away: write through instead, as `>` does.
                os.lseek(fd, 0, os.SEEK_SET)
                _copy(fd, final)
                return
            else:
                os.fchmod(fd, stat.S_IMODE(found.st_mode))
        finally:
            os.close(fd)
        try:
            os.rename(temporary, final)
            temporary = None
        except OSError as e:
            # A bind-mounted file (EBUSY) or a directory on another file system (EXDEV) takes no
            # rename; the output is whole, so it is copied in.
            if e.errno not in (errno.EBUSY, errno.EXDEV):
                raise
            fd = lift(os.open(temporary, os.O_RDONLY | os.O_CLOEXEC))
            try:
                _copy(fd, final)
            finally:
                os.close(fd)
    finally:
        if temporary is not None:
            try:
                os.unlink(temporary)
            except OSError:
                pass


def _copy(source, path):
    """The rest of the file open as `source`, written over the file at `path`."""
    fd = lift(os.open(path, os.O_WRONLY | os.O_TRUNC | os.O_CLOEXEC))
    try:
        while block := os.read(source, 1 << 20):
            write_all(fd, block)
    finally:
        os.close(fd)


def _keep_owner(fd, found):
    """Give the temporary file OUT's owner and group; False when that is not allowed."""
    mine = os.fstat(fd)
    if (mine.st_uid, mine.st_gid) == (found.st_uid, found.st_gid):
        return True
    try:
        os.fchown(fd, found.st_uid, found.st_gid)
    except PermissionError:
        return False
    return True


def _cut(name, directory):
    """OUT's name, cut so that the temporary name fits the file system's limit on a name's length."""
    try:
        limit = os.pathconf(directory, "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = 255
    raw = os.fsencode(name)
    room = max(limit - _TEMPORARY_EXTRA, 1)
    return name if len(raw) <= room else os.fsdecode(raw[:room])


def _umask():
    umask = os.umask(0)
    os.umask(umask)
    return umask
