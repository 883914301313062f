#!/usr/bin/env bash
# `make wheels`: one wheel per Python (3.12 and 3.13, or only $PYTHON) and
# an sdist, all in dist/.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

pythons_list=$(test_pythons)
mapfile -t pythons <<<"$pythons_list"
[[ -n $pythons_list ]] || die "no Python interpreter to build with"

mkdir -p dist
venv=
for py in "${pythons[@]}"; do
    ver=$(py_minor "$py")
    venv=$ROOT/.venv-$ver
    ensure_venv "$venv" "$py"
    log "Python $ver: building wheel"
    pip_quiet "$venv" wheel -q --no-deps -w dist "$ROOT"
done

# The sdist is the same for every Python; build it with the last venv.
log "building sdist"
pip_quiet "$venv" install -q -r requirements-dev.txt
"$venv/bin/python" -m build -q --sdist --outdir dist "$ROOT"
ls -1 dist
