#!/usr/bin/env bash
# Runs a small part of the pytest suite under valgrind and fails if any block definitely lost
# was allocated by our code (the module or the engine). The interpreter and NumPy keep some
# memory until exit by design; only stacks through quilane count.
#   usage: tests/valgrind-leaks.sh [python]   (the module must be importable by that python)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-.venv/bin/python}
log=${VALGRIND_LOG:-$(mktemp)}
[ -n "${VALGRIND_LOG:-}" ] || trap 'rm -f "$log"' EXIT
# PYTHONMALLOC=malloc: every Python allocation goes to valgrind's malloc, without arenas.
PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite --num-callers=40 \
    --log-file="$log" "$python" -m pytest -q -p no:cacheprovider \
    tests/python/test_gyrel_index.py tests/python/test_id_map_index.py \
    tests/python/test_hostile_files.py -k "not sizes_that_overflow"
grep -E 'definitely lost:|ERROR SUMMARY' "$log" || true
# A loss record runs from its "definitely lost" line to the next blank line.
ours=$(awk '/definitely lost in loss record/ {record = 1; text = ""} record {text = text $0 "\n"}
            record && /^==[0-9]+== $/ {if (text ~ /quilane|_quilane/) printf "%s", text; record = 0}' "$log")
if [ -n "$ours" ]; then
    echo "definite leaks in quilane code:" >&2
    echo "$ours" >&2
    exit 1
fi
echo "valgrind: no definite leak in quilane code"
