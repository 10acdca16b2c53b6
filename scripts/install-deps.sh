#!/usr/bin/env bash
# Installs what building and testing quilane needs, skipping whatever is already there:
# the C++ libraries and the fuzzing compiler from Debian and two Python environments, .venv
# (NumPy 2) and .venv-np1 (NumPy 1.26), so the module is tested against both NumPy ABIs. Ray,
# for the tests of quilane.ray, goes into .venv only (those tests skip where it is missing).
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(g++ cmake ninja-build libboost-math-dev libtbb-dev libhwy-dev libgtest-dev
                 libbenchmark-dev clang-14 libclang-rt-14-dev)
missing=()
for pkg in "${debian_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing Debian packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3}
make_venv() {  # make_venv DIR NUMPY_SPEC
    local dir=$1 numpy_spec=$2
    if [ ! -x "$dir/bin/python" ]; then
        "$python" -m venv "$dir"
    fi
    "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
    "$dir/bin/python" -m pip install -q --disable-pip-version-check \
        "$numpy_spec" pytest "scikit-build-core>=0.11" cmake ninja tqdm mypy
}
make_venv .venv "numpy>=2"
if ! .venv/bin/python -c "import ray" 2>/dev/null; then
    .venv/bin/python -m pip install -q --disable-pip-version-check "ray>=2.10"
fi
make_venv .venv-np1 "numpy==1.26.*"
