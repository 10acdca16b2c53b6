#!/usr/bin/env bash
# Installs what building and testing quilane needs and is missing: the C++ libraries and the
# fuzzing compiler from Debian, and two Python environments, .venv (NumPy 2, and Ray for the tests
# of quilane.ray) and .venv-np1 (NumPy 1.26, where those tests skip), so the module is tested
# against both NumPy ABIs. When everything is there it touches neither the network nor the
# system, so it runs offline and unprivileged.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(g++ cmake ninja-build libboost-math-dev libtbb-dev libgtest-dev
                 libbenchmark-dev clang-14 libclang-rt-14-dev clang-format-14)
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
python_packages=(pytest "scikit-build-core>=0.11" cmake ninja tqdm mypy cloudpickle)
make_venv() {  # make_venv DIR REQUIREMENT...
    local dir=$1
    shift
    local requirements=("$@" "${python_packages[@]}")
    if [ ! -x "$dir/bin/python" ]; then
        "$python" -m venv "$dir"
        "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
    fi
    # pip's own check, which needs no network when every requirement is already met.
    if ! "$dir/bin/python" - "${requirements[@]}" <<'PY' 2>/dev/null; then
import sys
from importlib.metadata import version, PackageNotFoundError
from pip._vendor.packaging.requirements import Requirement
for text in sys.argv[1:]:
    requirement = Requirement(text)
    try:
        if not requirement.specifier.contains(version(requirement.name), prereleases=True):
            sys.exit(1)
    except PackageNotFoundError:
        sys.exit(1)
PY
        "$dir/bin/python" -m pip install -q --disable-pip-version-check "${requirements[@]}"
    fi
}
make_venv .venv "numpy>=2" "ray>=2.10"
make_venv .venv-np1 "numpy==1.26.*"
