#!/usr/bin/env bash
# Runs every example at a small size in a scratch directory, with the interpreter given (the
# test environment's by default). Any example that fails fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-.venv/bin/python}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

run() { echo "== $*"; "$python" "$@"; }
run examples/build_and_save.py --out "$scratch/vectors.qlix" --n 3000 --dim 64
run examples/load_and_serve.py --index "$scratch/vectors.qlix" --requests 50
run examples/id_map_updates.py --items 2000 --dim 32
run examples/sharding.py --n 6000 --shards 3 --dim 48 --queries 50
run examples/serve_http.py --index "$scratch/vectors.qlix" --smoke 8 --threads 1
