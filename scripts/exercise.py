"""Run every tolmek operation, error paths included, ROUNDS times (default 300).

Used by `make valgrind`: the operations are the ones tests/test_leaks.py checks for leaks, so
the two stay in step. Needs tolmek and pytest importable."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import test_leaks  # noqa: E402

rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 300
test_leaks.run(test_leaks.OPERATIONS, rounds)
print(f"exercise: {rounds} rounds of {len(test_leaks.OPERATIONS)} operations done")
