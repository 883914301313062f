"""The internal-failure path: a result str that cannot be allocated, and the failure class
raised by Python code passing through. They run in a child process, which lowers its own
address-space limit."""

import os
import subprocess
import sys

import pytest

import tolmek
from conftest import EMULATED

SCRIPT = r"""
import os, resource, sys, tolmek
M = tolmek.HTTPMETHOD
t = tolmek.Tolmek("http://x", [], M.POST, "a" * (256 << 20))
c = tolmek.TolmekCollection([t])
soft, hard = resource.getrlimit(resource.RLIMIT_AS)

def attempt(fn):
    # Room for small allocations, but not for the ~256 MiB result str.
    with open("/proc/self/statm") as f:
        vm = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (vm + (64 << 20), hard))
    try:
        fn()
    except Exception:
        return "caught by except Exception"
    except BaseException as e:
        return e
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

for fn in (t.get_request_command, c.export_collection):
    e = attempt(fn)
    print(type(e).__name__, type(e).__bases__ == (BaseException,), e.args)
    print(len(fn()))  # the same instance still renders once memory is available
    sys.stderr.write("-- end --\n")

class Seq(list):  # a sequence whose iteration raises the failure class itself
    def __iter__(self): raise type(e)("custom message")

try:
    tolmek.Tolmek("u", Seq(), M.GET)
except BaseException as passed:
    print(type(passed) is type(e), passed.args)
"""


@pytest.mark.skipif(EMULATED, reason="the emulator reserves the guest's address space itself")
def test_internal_failure():
    path = os.pathsep.join(filter(None, [os.path.dirname(tolmek.__file__), os.environ.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", SCRIPT], env=dict(os.environ, PYTHONPATH=path),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    empty = tolmek.Tolmek("http://x", [], tolmek.HTTPMETHOD.POST, "")
    failed = "InternalFailure True ('Python API call failed',)"
    assert done.stdout.splitlines() == [
        failed, str(len(empty.get_request_command()) + (256 << 20)),
        failed, str(len(tolmek.TolmekCollection([empty]).export_collection()) + (256 << 20)),
        "True ('custom message',)",
    ]
    *failures, passed = done.stderr.split("-- end --\n")
    for text in failures:  # the allocation error is printed, then the diagnostic
        assert text.startswith("MemoryError\n") and "tolmek: internal failure: Python API call failed\n" in text
    assert passed.startswith(
        "tolmek: Python code raised the internal-failure exception.\n"
        "tolmek: it is passed on as an internal failure; its traceback follows.\n"
        "Traceback (most recent call last):\n"
    )
    assert "tolmek.InternalFailure: custom message\n" in passed
