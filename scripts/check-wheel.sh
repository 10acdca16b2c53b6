#!/usr/bin/env bash
# Builds the wheel as `pip wheel .` builds it for a user, then checks that
#   - it is one cp310-abi3 wheel holding only the extension module, the quilane package with its
#     stubs and py.typed, and the licence;
#   - the extension uses only the stable ABI of CPython 3.10 (abi3audit);
#   - it installs, imports and searches on every CPython from 3.10 to 3.13, with NumPy 1.26
#     where NumPy 1.26 supports that Python, and with NumPy 2.
# Interpreters are taken from pyenv, else from PATH. Outside CI a missing one is reported and
# skipped; in CI (CI=true) it fails the check.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${WHEEL_CHECK_DIR:-build-wheel}
pip=(-q --disable-pip-version-check)
fail() { echo "wheel check: $*" >&2; exit 1; }

rm -rf "$work/dist"
python3 -m pip wheel "${pip[@]}" --no-deps . -w "$work/dist" -C build-dir="$work/tree"
wheels=("$work"/dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || fail "expected one wheel, got: ${wheels[*]}"
wheel=${wheels[0]}
[ "$(basename "$wheel")" = "quilane-0.2.4-cp310-abi3-linux_x86_64.whl" ] ||
    fail "unexpected wheel name $(basename "$wheel")"

expected="_quilane.abi3.so
_quilane.pyi
quilane-0.2.4.dist-info/METADATA
quilane-0.2.4.dist-info/RECORD
quilane-0.2.4.dist-info/WHEEL
quilane-0.2.4.dist-info/licenses/LICENSE
quilane/__init__.py
quilane/__init__.pyi
quilane/__main__.py
quilane/py.typed"
actual=$(python3 -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$wheel")
if [ "$actual" != "$expected" ]; then
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    fail "the wheel's files differ from the expected list (< expected, > found)"
fi
echo "wheel check: $(basename "$wheel") holds exactly the expected files"

tools=$work/venv-tools
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install "${pip[@]}" abi3audit
"$tools/bin/abi3audit" --strict --assume-minimum-abi3 3.10 "$wheel"
echo "wheel check: only stable-ABI symbols of CPython 3.10"

find_python() {  # find_python 3.12
    local version=$1 candidate
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version"; do
        [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
    command -v "python$version" || true
}

smoke() {  # smoke VENV NUMPY_SPEC
    "$1/bin/python" -m pip install "${pip[@]}" "$2"
    # From a directory outside the tree, so that only the installed wheel can be imported.
    (cd "$work" && "$root/$1/bin/python" "$root/scripts/wheel_smoke.py")
}

for version in 3.10 3.11 3.12 3.13; do
    interpreter=$(find_python "$version")
    if [ -z "$interpreter" ]; then
        [ "${CI:-}" = "true" ] && fail "no CPython $version found"
        echo "wheel check: no CPython $version here, skipped"
        continue
    fi
    venv=$work/venv-$version
    [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"
    "$venv/bin/python" -m pip install "${pip[@]}" --force-reinstall --no-deps "$wheel"
    if [ "$version" != 3.13 ]; then  # NumPy 1.26 was never built for 3.13
        smoke "$venv" "numpy==1.26.*"
    fi
    smoke "$venv" "numpy>=2"
done
