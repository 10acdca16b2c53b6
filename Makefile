# Two entry points: `make demo` builds the module and runs the end-to-end demo, `make test` runs
# every test. Both install what they need first (and touch the network only for what is missing).
# `make check` is the everyday subset: the engine tests and the Python tests, in a few minutes.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
VENVS := .venv .venv-np1
# Warnings are errors in CI (which sets CI), never in a user's build.
WERROR ?= $(if $(CI),ON,OFF)
CMAKE_CONFIGURE := cmake -G Ninja -DQUILANE_WERROR=$(WERROR)
PIP_INSTALL := -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C cmake.define.QUILANE_WERROR=$(WERROR) .

.PHONY: deps engine engine-test sanitize python-test isa-test test check demo format clean module \
        examples typecheck wheel-check real bench

deps:
	bash scripts/install-deps.sh

engine: deps
	$(CMAKE_CONFIGURE) -S . -B build -DQUILANE_BUILD_TESTS=ON
	cmake --build build -j $(JOBS)

engine-test: engine
	ctest --test-dir build --output-on-failure -j $(JOBS)

sanitize: deps
	$(CMAKE_CONFIGURE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUILANE_SANITIZE=ON \
	    -DQUILANE_BUILD_TESTS=ON
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

python-test: deps
	@for venv in $(VENVS); do \
	    echo "== pytest in $$venv"; \
	    $$venv/bin/python $(PIP_INSTALL) && \
	    $$venv/bin/python -m pytest -q tests/python || exit 1; \
	done

test: engine-test sanitize python-test isa-test examples typecheck wheel-check

# The Python tests again on every instruction set this processor has besides the best, which the
# runs above use: QUILANE_ISA forces one, and the module refuses at import one the processor lacks.
# The Ray tests, which run no kernel of their own, are left out.
isa-test: module
	@supported=(); for isa in scalar avx2 avx512; do \
	    QUILANE_ISA=$$isa .venv/bin/python -c "import _quilane" 2>/dev/null && supported+=($$isa); \
	done; \
	for isa in "$${supported[@]:0:$${#supported[@]}-1}"; do \
	    echo "== pytest with QUILANE_ISA=$$isa"; \
	    QUILANE_ISA=$$isa .venv/bin/python -m pytest -q tests/python \
	        --ignore=tests/python/test_ray.py || exit 1; \
	done

check: engine-test module
	.venv/bin/python -m pytest -q tests/python

# The module from this tree, installed into the test environment.
module: deps
	.venv/bin/python $(PIP_INSTALL)

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

# Opt-in: search and add against FAISS and NumPy (bench/compare.py), serving from threads and cold
# processes (bench/serving.py), then filtered search and re-ranking (bench/value.py), in their own
# environment (.venv-bench), with the BLAS overrides of this machine removed, as they slow NumPy
# down.
bench: deps
	bash bench/setup-venv.sh
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE .venv-bench/bin/python bench/compare.py
	.venv-bench/bin/python bench/serving.py
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE .venv-bench/bin/python bench/value.py

demo: module
	.venv/bin/python -m quilane

format:
	clang-format-14 -i src/*.cpp src/*.hpp tests/*.cpp tests/*.hpp python/*.cpp python/*.hpp \
	    fuzz/*.cpp fuzz/*.hpp bench/*.cpp

clean:
	rm -rf build build-* dist wheelhouse

# --- Reliability: fuzzing, thread and address sanitizers on the module, leaks ---
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
ASAN_PYTHON_BUILD ?= build-asan-python

.PHONY: fuzz tsan sanitize-python valgrind

test: fuzz tsan sanitize-python

# Each libFuzzer harness (clang, ASan + UBSan) for FUZZ_SECONDS from its corpus. Every build with
# tests also replays the corpus through CTest, the sanitizer build included.
fuzz: deps
	QUILANE_FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) bash fuzz/run.sh $(FUZZ_SECONDS)

# The searches that run threads (the pool's scans, concurrent searches racing to build the
# caches, the thread limit changing under them, interrupted loops) under ThreadSanitizer, against
# a oneTBB built with it too (tests/build-tsan-tbb.sh says why). Without function entry hooks:
# the engine's per-processor clones are chosen by resolvers that run before the sanitizer's
# runtime is up.
tsan: deps
	bash tests/build-tsan-tbb.sh $(TSAN_BUILD)-tbb
	$(CMAKE_CONFIGURE) -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DQUILANE_BUILD_TESTS=ON \
	    -DTBB_DIR=$(CURDIR)/$(TSAN_BUILD)-tbb/lib/cmake/TBB \
	    "-DCMAKE_CXX_FLAGS=-fsanitize=thread --param=tsan-instrument-func-entry-exit=0" \
	    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target engine_tests
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/engine_tests \
	    --gtest_filter='ConcurrentSearch.*:GyrelIndexCaches.Concurrent*:OnceCell.*:ScanPaths.EveryKind*:Parallel.*'

# The pytest suite against a module built with ASan + UBSan. The interpreter is not instrumented,
# so the ASan runtime is preloaded, with the C++ runtime that its exception interceptor needs.
# Left out: leak detection (CPython keeps memory until exit by design) and the tests that measure
# the resident set or limit the address space, which ASan's quarantine and shadow memory defeat;
# leaks are covered by the plain pytest run and the valgrind target. The wide files take minutes
# under ASan; the engine's ASan build converts records as far apart (WideRecords).
SANITIZED_PYTEST_SKIP := not (no_growth_over_many_calls or no_leak_over_many_calls \
    or out_of_memory or sizes_that_overflow_or_wrap or address_space_limit or wide_sparse_files \
    or take_the_memory_they_hold)
sanitize-python: deps
	$(CMAKE_CONFIGURE) -S . -B $(ASAN_PYTHON_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DQUILANE_SANITIZE=ON -DQUILANE_BUILD_PYTHON=ON -DQUILANE_BUILD_TESTS=OFF \
	    -DPython_EXECUTABLE=$(CURDIR)/.venv/bin/python
	cmake --build $(ASAN_PYTHON_BUILD) -j $(JOBS)
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    PYTHONPATH=$(CURDIR)/$(ASAN_PYTHON_BUILD)/python \
	    .venv/bin/python -m pytest -q -p no:cacheprovider tests/python -k "$(SANITIZED_PYTEST_SKIP)"

# Opt-in (a few minutes): part of the pytest suite under valgrind, failing on any definite leak
# in our code.
valgrind: module
	bash tests/valgrind-leaks.sh .venv/bin/python
