# Build and test entry points; the logic lives in scripts/.
#
#   make test     build with -Werror and run pytest on Python 3.12 and 3.13 here and on 3.14 and
#                 3.15 in a Debian unstable root (curl 8); TOLMEK_TEST_VERSIONS picks versions;
#                 then the documentation is built once
#   make demo     build into .venv and run examples/quickstart.py
#   make fresh-check  `make demo` and `make test` from a fresh clone of HEAD inside a pristine Debian 12
#                 root (debootstrap, cached as a tarball) that has only what a new machine comes with;
#                 catches an install step that only an earlier run made; log in build/fresh-check.log
#   make bench    build into .venv-bench-X.Y and run bench/run.py (collector on and off) on the
#                 newest Python here, then on 3.14 and 3.15 in the Debian root
#   make wheels   wheels for 3.12 and 3.13 plus an sdist, in dist/ (unrepaired, for local use)
#   make dist     release files: sdist + manylinux wheels (x86_64 3.12-3.15, aarch64 3.13-3.15),
#                 checked, each installed into a fresh venv of its own interpreter and run
#                 through the whole suite; log in build/dist.log
#   make sanitize build with ASan+UBSan into .venv-sanitize and run pytest
#   make valgrind run fuzz/exercise.py under memcheck; fails on a leak in tolmek
#   make fuzz     libFuzzer over the renderers, then the Python state machine of
#                 fuzz/hostile_fuzz.py under the sanitizer build; FUZZ_SECONDS each (default 60)
#   make docs     the documentation site (docs/, mkdocs.yml) with `mkdocs build --strict` into
#                 build/site, MkDocs in .venv-docs; `make test` builds it too, once
#   make docs-serve  the same served on http://127.0.0.1:8000 while editing the pages
#   make clean    remove build trees, dist/ and the virtualenvs
#
# PYTHON=/path/to/python restricts every target to that one interpreter.
# PYTEST_ARGS="..." is passed on to pytest by `make test`.

SHELL := /bin/bash

PYTHON ?=
PYTEST_ARGS ?=
TOLMEK_TEST_VERSIONS ?=
export PYTHON PYTEST_ARGS TOLMEK_TEST_VERSIONS

.PHONY: all test fresh-check demo bench sanitize valgrind fuzz wheels dist docs docs-serve clean

all: test

test:
	@bash scripts/test.sh

demo:
	@bash scripts/demo.sh

fresh-check:
	@bash scripts/fresh-check.sh

bench:
	@bash scripts/bench.sh

sanitize:
	@bash scripts/sanitize.sh

valgrind:
	@bash scripts/valgrind.sh

fuzz:
	@bash scripts/fuzz.sh

wheels:
	@bash scripts/wheels.sh

dist:
	@bash scripts/dist.sh

docs:
	@bash scripts/docs.sh build

docs-serve:
	@bash scripts/docs.sh serve

clean:
	rm -rf build dist .venv .venv-* *.egg-info .pytest_cache .hypothesis
