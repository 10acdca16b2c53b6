#!/usr/bin/env bash
# The benchmark's own environment (.venv-bench): this tree's module plus the peers it is compared
# with. Kept apart from the test environments, which never need the peers.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
VENV=.venv-bench
if [ ! -x "$VENV/bin/python" ]; then
    # shellcheck disable=SC2086
    $PYTHON -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --disable-pip-version-check numpy faiss-cpu matplotlib psutil \
    scikit-build-core
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation .
