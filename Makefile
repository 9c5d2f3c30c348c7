# Set-up and checks. Each target makes its own virtual environment and installs what it needs.
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin
DEV_BUILD := build/dev
WHEEL_DIR := dist

.PHONY: test dev native demo bench bench-native wheel clean asan

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install --quiet --upgrade pip
	$(BIN)/python -m pip install --quiet -r requirements-dev.txt

# The one abi3 wheel, built once and installed into every test environment. The stamp
# file makes it a file target: it is rebuilt only when a source of the wheel changed.
WHEEL_SOURCES := $(shell find src python -type f) CMakeLists.txt pyproject.toml
WHEEL_STAMP := $(WHEEL_DIR)/.built
wheel: $(WHEEL_STAMP)
$(WHEEL_STAMP): $(WHEEL_SOURCES) | $(BIN)/python
	rm -rf $(WHEEL_DIR)
	$(BIN)/python -m pip wheel --quiet --no-deps -w $(WHEEL_DIR) .
	touch $@

# The wheel and the runtime package (editable, from runtime/) installed into $(VENV).
$(VENV)/.zelk-installed: $(WHEEL_STAMP)
	$(BIN)/python -m pip install --quiet --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	touch $@
$(VENV)/.zelk-runtime: runtime/pyproject.toml | $(BIN)/python
	$(BIN)/python -m pip install --quiet --no-deps -e runtime
	touch $@

# Test-only targets: the probe module that exercises the frame's failure paths, and the
# native test programs of the pure cores.
dev: $(BIN)/python
	cmake -S . -B $(DEV_BUILD) -G Ninja -DZELK_DEV_TARGETS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE=$(abspath $(BIN)/python) -DSKBUILD_SABI_COMPONENT=Development.SABIModule >/dev/null
	cmake --build $(DEV_BUILD)

native: dev
	@set -e; for t in $(DEV_BUILD)/test_*; do echo "== $$t"; $$t; done

# The suite, run with the one wheel on each interpreter of TEST_PYTHONS (by default the
# one that builds; CI passes every CPython from 3.11 on that pyenv has).
TEST_PYTHONS ?= $(PYTHON)
test: wheel dev
	@set -e; for py in $(TEST_PYTHONS); do \
		version=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
		env=$(VENV)-$$version; \
		echo "== CPython $$version ($$py)"; \
		[ -x $$env/bin/python ] || { $$py -m venv $$env && $$env/bin/python -m pip install --quiet --upgrade pip && \
			$$env/bin/python -m pip install --quiet -r requirements-dev.txt; }; \
		$$env/bin/python -m pip install --quiet --force-reinstall --no-deps $(WHEEL_DIR)/*.whl; \
		[ -f $$env/.zelk-runtime ] || { $$env/bin/python -m pip install --quiet --no-deps -e runtime && touch $$env/.zelk-runtime; }; \
		(cd tests && ZELK_DEV_BUILD=$(abspath $(DEV_BUILD)) ../$$env/bin/python -m pytest -q -p no:cacheprovider .); \
	done

# The demo keeps its run in build/demo-run: a second `make demo` resumes it.
DEMO_STORE ?= build/demo-run
demo: $(VENV)/.zelk-installed $(VENV)/.zelk-runtime
	$(BIN)/python demo/demo.py --store $(DEMO_STORE)

# The benchmark's own environment with the peers it compares against; a peer that fails to
# install is left out (the bench skips it with a note). BENCH_ARGS="--quick -k top_k" and so on.
BENCH_VENV := .venv-bench
BENCH_ARGS ?=
$(BENCH_VENV)/installed: requirements-bench.txt
	[ -x $(BENCH_VENV)/bin/python ] || $(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install --quiet --upgrade pip
	@grep -v '^#' requirements-bench.txt | while read -r requirement; do \
		[ -z "$$requirement" ] || $(BENCH_VENV)/bin/python -m pip install --quiet "$$requirement" || \
			echo "note: $$requirement did not install; the bench skips it"; \
	done
	touch $@

bench: wheel $(BENCH_VENV)/installed
	$(BENCH_VENV)/bin/python -m pip install --quiet --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	$(BENCH_VENV)/bin/python bench/bench.py $(BENCH_ARGS)

# The scoring kernels of top_k against one read of the matrix, timed natively.
bench-native: dev
	$(DEV_BUILD)/bench_vectors

clean:
	rm -rf build $(WHEEL_DIR) $(VENV) $(VENV)-3.* $(BENCH_VENV)

# The extension, probe and native tests built with address and undefined-behaviour
# sanitizers, and the suite run against that build.
ASAN_BUILD := build/asan
asan: wheel
	$(BIN)/python -m pip install --quiet --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DZELK_DEV_TARGETS=ON -DZELK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
		-DPython_EXECUTABLE=$(abspath $(BIN)/python) -DSKBUILD_SABI_COMPONENT=Development.SABIModule >/dev/null
	cmake --build $(ASAN_BUILD)
	@set -e; for t in $(ASAN_BUILD)/test_*; do $$t; done
	cd tests && LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
		PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		PYTHONPATH=$(abspath $(ASAN_BUILD)) ZELK_DEV_BUILD=$(abspath $(ASAN_BUILD)) \
		../$(BIN)/python -m pytest -q -p no:cacheprovider -x .
