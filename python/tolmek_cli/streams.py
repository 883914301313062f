"""Descriptors of the command: whole reads and writes that wait on non-blocking ones, diagnostics, signals."""

import fcntl
import os
import select
import stat
import sys

# The C half of the signal module: the module itself makes enums of every signal and handler, which
# costs more start-up than a whole small conversion. Its functions take and give plain numbers.
import _signal as signal

# The signals that stop a run: it cleans up and exits with 128 + the signal number.
STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


# The read end of the pipe the interpreter writes a byte into as a stopping signal arrives, while
# Signals is entered (None otherwise).
_wakeup = None


def _wait(fd, event):
    """Block until `fd` is ready, or a stopping signal arrives; False for the signal. Waiting here
    rather than in the read or write itself closes a race: a signal that lands just before a
    blocking call would only be handled once the call returns, which may be never (an input
    that stays open). The signal's byte in the wakeup pipe ends the wait whenever it came, and
    its handler runs as the caller's loop goes round. A descriptor someone else made non-blocking
    is waited on here too, rather than changed, as its flags are shared with every process
    holding it."""
    poll = select.poll()
    poll.register(fd, event)
    wakeup = _wakeup
    if wakeup is not None:
        poll.register(wakeup, select.POLLIN)
    ready = {ready_fd for ready_fd, _ in poll.poll()}
    if wakeup in ready:
        try:
            while os.read(wakeup, 64):
                pass
        except BlockingIOError:
            pass
        return False
    return True


def _may_block(fd):
    """Whether writing to `fd` can wait on a reader (a pipe, socket or terminal; not a file)."""
    try:
        return not stat.S_ISREG(os.fstat(fd).st_mode)
    except OSError:
        return True


def lift(fd):
    """`fd` moved above the standard descriptors. With one of them closed, a file opened now would
    take its number, and whatever writes to that number (the C library's stderr) would write into it."""
    if fd > 2:
        return fd
    try:
        return fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 3)
    finally:
        os.close(fd)


class Input:
    """A binary stream over a descriptor whose `read(n)` returns n bytes unless the input ends first."""

    def __init__(self, fd, owned):
        self.fd = fd
        self._owned = owned

    def read(self, n):
        parts = []
        got = 0
        while got < n:
            if not _wait(self.fd, select.POLLIN):
                continue  # a stopping signal: its handler runs here
            try:
                part = os.read(self.fd, n - got)
            except BlockingIOError:
                continue
            if not part:
                break
            parts.append(part)
            got += len(part)
        return b"".join(parts)

    def close(self):
        if self._owned:
            self._owned = False
            os.close(self.fd)


def open_input(path):
    """The named file as an Input."""
    return Input(lift(os.open(path, os.O_RDONLY | os.O_CLOEXEC)), True)


def stdin():
    """Standard input as a binary stream; None when it was closed when the command started."""
    stream = sys.stdin
    if stream is None:
        return None
    try:
        return Input(stream.fileno(), False)
    except (AttributeError, OSError, ValueError):
        return stream.buffer  # an in-memory stream put in place by an embedding program


def write_all(fd, data):
    """Write all of `data` to `fd`. Where a write can wait on a reader it waits in _wait first and
    then writes at most PIPE_BUF bytes, which a pipe that polls writable takes without blocking."""
    view = memoryview(data)
    waits = _wakeup is not None and _may_block(fd)
    while view:
        if waits and not _wait(fd, select.POLLOUT):
            continue  # a stopping signal: its handler runs here
        try:
            view = view[os.write(fd, view[:select.PIPE_BUF] if waits else view):]
        except BlockingIOError:
            if not waits:
                _wait(fd, select.POLLOUT)


class Diagnostics:
    """Lines for standard error. They go there only: with it closed or gone they are dropped (the
    exit status still tells), never written anywhere else."""

    def __init__(self):
        self.stream = sys.stderr
        try:
            self._fd = self.stream.fileno()
        except (AttributeError, OSError, ValueError):
            self._fd = None

    def say(self, line):
        stream = self.stream
        if stream is None:
            return
        try:
            if self._fd is None:
                stream.write(line + "\n")
                stream.flush()
            else:
                stream.flush()
                write_all(self._fd, (line + "\n").encode(stream.encoding or "utf-8", "backslashreplace"))
        except (OSError, ValueError):
            self.stream = None


class Stopped(BaseException):
    """A stopping signal arrived; the run unwinds through its clean-ups and exits 128 + `signum`."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class Signals:
    """While entered, SIGINT, SIGTERM and SIGHUP raise Stopped in the main thread, once: a second one
    does not cut the clean-up of the first short. A signal the caller ignores (nohup, a background
    job) stays ignored; on leaving, the previous handlers are restored."""

    def __init__(self):
        self._saved = {}
        self._stopping = False

    def _handle(self, signum, frame):
        if not self._stopping:
            self._stopping = True
            raise Stopped(signum)

    def __enter__(self):
        global _wakeup
        for signum in STOPPING:
            current = signal.getsignal(signum)
            if current in (signal.SIG_DFL, signal.default_int_handler):
                try:
                    self._saved[signum] = signal.signal(signum, self._handle)
                except ValueError:  # not the main thread, where only handlers can be set: none are
                    return self
        if self._saved:
            read_end, write_end = os.pipe()
            self._pipe = (lift(read_end), lift(write_end))
            for end in self._pipe:
                os.set_blocking(end, False)
            self._previous_wakeup = signal.set_wakeup_fd(self._pipe[1], warn_on_full_buffer=False)
            _wakeup = self._pipe[0]
        return self

    def __exit__(self, *exc):
        global _wakeup
        self._stopping = True  # the run is over: a signal now cannot cut anything short
        for signum, previous in self._saved.items():
            signal.signal(signum, previous)
        if self._saved:
            signal.set_wakeup_fd(self._previous_wakeup)
            _wakeup = None
            for end in self._pipe:
                os.close(end)
        self._saved.clear()


class held:
    """A block in which the stopping signals wait, so that a step and the note of what it made
    (a temporary file's name) cannot be parted."""

    def __enter__(self):
        self._mask = signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING)

    def __exit__(self, *exc):
        signal.pthread_sigmask(signal.SIG_SETMASK, self._mask)
