# Every public target runs through tools/py314, which provides CPython 3.14
# (and the build and test tools) on a machine that has none.
#   make test            build; C++ tests (ctest); the Python suite (pytest);
#                        the examples in quick mode; the stubs against the
#                        module (stubtest) and `mypy --strict examples/`
#   make demo            build the module and draw a microlensing light curve
#   make bench           the benchmarks
# Checks that CI (.ci/run) runs as stages of their own:
#   make tsan            the worker pool's tests under ThreadSanitizer
#   make dist-check      the sdist and the wheel built from it, their contents
#   make test-variants   the Python suite once per kernel variant the CPU
#                        has (LUMORA_KERNELS), and ctest on a build without
#                        the vector kernels (-DLUMORA_SIMD=OFF)
# and, further down, sanitize, refleak, fuzz and fuzz-native.
PY314 := tools/py314
BUILD := build/py314
TSAN := build/tsan
NOSIMD := build/nosimd
WERROR ?= OFF
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 25

# Each public target runs its recipe `_name` through tools/py314.  A new
# target: add its name here and its `_name` recipe under "more targets".
PUBLIC := test demo bench tsan dist-check test-variants sanitize refleak fuzz fuzz-native

.PHONY: $(PUBLIC) $(addprefix _,$(PUBLIC)) clean
.PHONY: _build _ctest _pytest _typing _examples

$(PUBLIC):
	$(PY314) $(MAKE) --no-print-directory _$@ WERROR=$(WERROR) FUZZ_SECONDS=$(FUZZ_SECONDS)

clean:
	rm -rf build

_build:
	cmake -S . -B $(BUILD) -G Ninja -DLUMORA_WERROR=$(WERROR) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# --- make test ---------------------------------------------------------------
_test: _build _ctest _pytest _examples _typing

_ctest: _build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

_pytest: _build
	PYTHONPATH=$(BUILD) python3 -m pytest -q tests

# Every example in its quick mode (plots to a scratch folder).
EXAMPLES_OUT := $(BUILD)/examples

_examples: _build
	rm -rf $(EXAMPLES_OUT) && mkdir -p $(EXAMPLES_OUT)
	PYTHONPATH=$(BUILD) MPLBACKEND=Agg python3 examples/lightcurve.py --points 41 --output $(EXAMPLES_OUT)/lightcurve.png >/dev/null
	PYTHONPATH=$(BUILD) MPLBACKEND=Agg python3 examples/fit_event.py --quick --output $(EXAMPLES_OUT)/fit_event.png >/dev/null
	PYTHONPATH=$(BUILD) MPLBACKEND=Agg python3 examples/limb_darkening_laws.py --quick --output $(EXAMPLES_OUT)/ld_tables.png >/dev/null
	PYTHONPATH=$(BUILD) MPLBACKEND=Agg python3 examples/survey.py --quick >/dev/null
	PYTHONPATH=$(BUILD) MPLBACKEND=Agg python3 examples/fisher_forecast.py --quick --output $(EXAMPLES_OUT)/fisher.png >/dev/null
	@if python3 -c "import jax" 2>/dev/null; then \
	    echo "PYTHONPATH=$(BUILD) python3 examples/jax_recipe.py --quick"; \
	    PYTHONPATH=$(BUILD) python3 examples/jax_recipe.py --quick >/dev/null; \
	else echo "examples/jax_recipe.py skipped: JAX is not installed"; fi

# The stubs against the built module (stubtest) and the examples under
# `mypy --strict`; mypy finds the stub-only package of an installed wheel
# by itself, here it gets the stubs as the package `lumora` on MYPYPATH.
STUBS := $(BUILD)/stubs

_typing: _build
	rm -rf $(STUBS) && mkdir -p $(STUBS)/lumora $(STUBS)/lumora_ld  # stubtest leaves its cache here
	cp src/lumora-stubs/__init__.pyi $(STUBS)/lumora/
	cp src/lumora_ld-stubs/__init__.pyi $(STUBS)/lumora_ld/
	cd $(STUBS) && MYPYPATH=. PYTHONPATH=$(CURDIR)/$(BUILD) \
	    python3 -m mypy.stubtest lumora lumora_ld --mypy-config-file $(CURDIR)/pyproject.toml
	MYPYPATH=$(STUBS) MYPY_CACHE_DIR=$(BUILD)/mypy-cache python3 -m mypy --strict examples/

_demo: _build
	PYTHONPATH=$(BUILD) python3 examples/lightcurve.py

# The whole calls are also compared with a build without the vector kernels
# (the one make test-variants runs ctest on).
_bench: _build
	cmake --build $(BUILD) --target bench_kernels
	cmake -S . -B $(NOSIMD) -G Ninja -DLUMORA_SIMD=OFF -DLUMORA_WERROR=$(WERROR) >/dev/null
	cmake --build $(NOSIMD) -j $(JOBS) --target lumora
	python3 benchmarks/run_all.py --build $(BUILD) --baseline $(NOSIMD)

# --- checks CI runs as stages of their own -------------------------------------

# The worker pool's tests (src/pool/) again, built with ThreadSanitizer.
_tsan:
	cmake -S . -B $(TSAN) -G Ninja -DLUMORA_BUILD_MODULE=OFF -DLUMORA_SANITIZE=thread \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMORA_WERROR=$(WERROR) >/dev/null
	@if grep -q test_pool $(TSAN)/build.ninja; then \
	    cmake --build $(TSAN) -j $(JOBS) --target test_pool && \
	    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN)/test_pool --gtest_brief=1; \
	else echo "GoogleTest not found: the ThreadSanitizer run is skipped"; fi

# The sdist and the wheel built from it, their contents listed and checked.
_dist-check:
	python3 tools/check_dist.py

# The kernel variants LUMORA_KERNELS can choose (auto, the default, is
# what make test runs).  Each variant but scalar needs the CPU flag of
# its name in /proc/cpuinfo; one the CPU lacks would fall back to auto,
# so it is skipped, and said so.
KERNELS := scalar avx2

_test-variants: _build
	@for k in $(KERNELS); do \
	    case $$k in scalar) flag= ;; *) flag=$$k ;; esac; \
	    if [ -n "$$flag" ] && ! grep -qw "$$flag" /proc/cpuinfo; then \
	        echo "== LUMORA_KERNELS=$$k: skipped, this CPU lacks $$flag"; continue; fi; \
	    echo "== LUMORA_KERNELS=$$k: the Python suite"; start=$$(date +%s); \
	    LUMORA_KERNELS=$$k PYTHONPATH=$(BUILD) python3 -m pytest -q -p no:cacheprovider tests || exit 1; \
	    echo "== LUMORA_KERNELS=$$k: $$(( $$(date +%s) - start )) s"; \
	done
	@echo "== -DLUMORA_SIMD=OFF: ctest"
	cmake -S . -B $(NOSIMD) -G Ninja -DLUMORA_SIMD=OFF -DLUMORA_WERROR=$(WERROR) >/dev/null
	cmake --build $(NOSIMD) -j $(JOBS)
	ctest --test-dir $(NOSIMD) --output-on-failure -j $(JOBS)

# --- more targets ----------------------------------------------------------------

# --- end of more targets -----------------------------------------------------------

# ---- checks: sanitizers, reference leaks, property and native fuzzing ------
#   make sanitize      module and C++ tests under AddressSanitizer and
#                      UBSan; ctest and the whole pytest suite against them
#   make refleak       every entry point (lumora_ld's too) on its success and
#                      error paths under the debug interpreter: references
#                      and blocks stay flat
#   make fuzz          the property tests with >= 10^5 examples per function
#   make fuzz-native   libFuzzer targets for the elliptic routines and kernels
#                      (FUZZ_SECONDS per target)
ASAN := build/asan
DEBUG_BUILD := build/py314d
FUZZ_BUILD := build/fuzz
# Zero reports allowed: the first one ends the process with an error.
ASAN_OPTS := halt_on_error=1:abort_on_error=0:detect_leaks=0:detect_stack_use_after_return=1:strict_string_checks=1
UBSAN_OPTS := halt_on_error=1:print_stacktrace=1
SANITIZER_ENV := ASAN_OPTIONS=$(ASAN_OPTS) UBSAN_OPTIONS=$(UBSAN_OPTS)

# The interpreter is not instrumented, so the ASan runtime is preloaded into
# it (with libstdc++, whose __cxa_throw ASan must find at start-up); its own
# allocations are not leak-checked, and PYTHONMALLOC=malloc lets ASan see
# every object's memory.  pytest captures standard error, so the reports go
# to files: any file there fails the run, also one from a child process.
_sanitize:
	cmake -S . -B $(ASAN) -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DLUMORA_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=all \
	    -DLUMORA_WERROR=$(WERROR) >/dev/null
	cmake --build $(ASAN) -j $(JOBS)
	$(SANITIZER_ENV) ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)
	rm -rf $(ASAN)/reports && mkdir -p $(ASAN)/reports
	ASAN_OPTIONS=$(ASAN_OPTS):log_path=$(CURDIR)/$(ASAN)/reports/asan \
	    UBSAN_OPTIONS=$(UBSAN_OPTS):log_path=$(CURDIR)/$(ASAN)/reports/ubsan \
	    LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	    PYTHONMALLOC=malloc PYTHONPATH=$(ASAN) python3 -m pytest -q -p no:cacheprovider tests \
	    || { cat $(ASAN)/reports/* 2>/dev/null; exit 1; }
	@if [ -n "$$(ls $(ASAN)/reports)" ]; then cat $(ASAN)/reports/*; exit 1; fi

# The module for Debian's debug interpreter (cpython-314d suffix).  Its
# pyconfig.h leaves Py_DEBUG to the interpreter's own build, so it is
# defined here: without it the module's Py_DECREF skips the reference total
# and every released reference reads as a leak.
_refleak:
	cmake -S . -B $(DEBUG_BUILD) -G Ninja -DBUILD_TESTING=OFF -DPython_EXECUTABLE=$$(command -v python3.14d) \
	    -DCMAKE_CXX_FLAGS=-DPy_DEBUG -DLUMORA_WERROR=$(WERROR) >/dev/null
	cmake --build $(DEBUG_BUILD) -j $(JOBS) --target lumora
	@if grep -q 'build lumora_ld:' $(DEBUG_BUILD)/build.ninja; then \
	    cmake --build $(DEBUG_BUILD) -j $(JOBS) --target lumora_ld; fi
	PYTHONPATH=$(DEBUG_BUILD) python3.14d -X dev -W error tools/refleak.py

# libFuzzer targets under ASan and UBSan, built by CMake with clang (the
# batch kernels need their own per-file instruction sets); each runs
# FUZZ_SECONDS with a 5 s limit per input (a loop that never settles is a
# failure) and prints its statistics.
FUZZ_TARGETS := elliptic kernels

_fuzz-native:
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DLUMORA_BUILD_MODULE=OFF -DBUILD_TESTING=OFF -DLUMORA_FUZZ=ON \
	    -DLUMORA_SANITIZE=fuzzer-no-link,address,undefined -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=all \
	    -DLUMORA_WERROR=$(WERROR) >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_BUILD)/corpus_$$t; \
	    echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	    $(SANITIZER_ENV) $(FUZZ_BUILD)/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=5 -max_len=64 \
	        -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus_$$t 2>$(FUZZ_BUILD)/fuzz_$$t.log \
	        || { tail -40 $(FUZZ_BUILD)/fuzz_$$t.log; exit 1; }; \
	    grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)|^Done" $(FUZZ_BUILD)/fuzz_$$t.log; \
	done

# Every function on >= 10^5 drawn argument sets (the other properties run
# with the ci profile in make test).
_fuzz: _build
	LUMORA_HYPOTHESIS_PROFILE=fuzz PYTHONPATH=$(BUILD) python3 -m pytest -q -p no:cacheprovider \
	    --hypothesis-show-statistics --durations=0 tests/test_properties.py -k TestEveryFunction

include tools/portability.mk
