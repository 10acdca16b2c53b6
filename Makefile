# Two entry points: `make demo` builds the module and runs the end-to-end demo, `make test` runs
# every test. Both install what they need first.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
VENVS := .venv .venv-np1

.PHONY: deps engine engine-test sanitize python-test test demo format clean module examples \
        typecheck wheel-check real bench

deps:
	bash scripts/install-deps.sh

engine: deps
	cmake -S . -B build -G Ninja -DQUILANE_BUILD_TESTS=ON
	cmake --build build -j $(JOBS)

engine-test: engine
	ctest --test-dir build --output-on-failure -j $(JOBS)

sanitize: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILANE_SANITIZE=ON \
	    -DQUILANE_BUILD_TESTS=ON
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

python-test: deps
	@for venv in $(VENVS); do \
	    echo "== pytest in $$venv"; \
	    $$venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation . && \
	    $$venv/bin/python -m pytest -q tests/python || exit 1; \
	done

test: engine-test sanitize python-test examples typecheck wheel-check

# The module from this tree, installed into the test environment.
module: deps
	.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation .

# Every example at a small size.
examples: module
	bash scripts/run-examples.sh .venv/bin/python

# The examples, the demo and the wheel's smoke test, against the installed package's stubs
# (the file list and settings are in pyproject.toml).
typecheck: module
	.venv/bin/python -m mypy --strict

# One abi3 wheel with only the expected files and stable-ABI symbols, importing on CPython
# 3.10 to 3.13 with NumPy 1.26 and 2.
wheel-check: deps
	bash scripts/check-wheel.sh

# Opt-in: recall and speed on real sentence embeddings, in its own environment (.venv-real).
real: deps
	bash scripts/run-real.sh

# Opt-in: search and add against FAISS and NumPy (bench/compare.py) in its own environment
# (.venv-bench), with the BLAS overrides of this machine removed, as they slow NumPy down.
bench: deps
	bash bench/setup-venv.sh
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE .venv-bench/bin/python bench/compare.py

demo: deps
	.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation .
	.venv/bin/python -m quilane

format:
	clang-format -i src/*.cpp src/*.hpp tests/*.cpp python/*.cpp python/*.hpp

clean:
	rm -rf build build-asan dist
