#!/usr/bin/env bash
# `make docs`: the documentation site (docs/, mkdocs.yml) built with `mkdocs build --strict` into
# build/site, so that a broken link or anchor, a page left out of the navigation or a docstring that
# cannot be read fails it. `make docs-serve` (`scripts/docs.sh serve`) serves it on
# http://127.0.0.1:8000, rebuilding as the pages change. MkDocs and its theme live in .venv-docs,
# made with $PYTHON or the first of TOLMEK_PY_VERSIONS and requirements-docs.txt; nothing is built or
# imported of tolmek itself (the API reference is read from the sources and stubs).
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# MkDocs 1.x prints a notice about its successors on every run; it says nothing of this site.
export NO_MKDOCS_2_WARNING=1

venv=$ROOT/.venv-docs
ensure_venv "$venv" "$(first_python)"
# pip is quick when everything is already there; a missing or changed pin is installed.
pip_quiet "$venv" install -q -r requirements-docs.txt

case ${1:-build} in
build)
    log "mkdocs build --strict (into build/site)"
    # Not --quiet: it silences the warnings that --strict counts, and a broken link would pass.
    "$venv/bin/mkdocs" build --strict --site-dir "$ROOT/build/site"
    log "documentation: build/site/index.html ($(find "$ROOT/build/site" -name index.html | wc -l) pages)"
    ;;
serve)
    exec "$venv/bin/mkdocs" serve --strict --dev-addr "${DOCS_ADDRESS:-127.0.0.1:8000}"
    ;;
*)
    die "usage: scripts/docs.sh [build|serve]"
    ;;
esac
