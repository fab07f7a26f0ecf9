# Every public target runs through tools/py314, which provides CPython 3.14
# (and the build and test tools) on a machine that has none.
#   make test    build everything and run the whole test suite on 3.14
#   make demo    build the module and draw a microlensing light curve
#   make bench   the benchmarks
PY314 := tools/py314
BUILD := build/py314
TSAN := build/tsan
NOSIMD := build/nosimd
WERROR ?= OFF
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: test demo bench _build _test _tsan _demo _bench clean
.PHONY: _typing _dist _examples

test:
	$(PY314) $(MAKE) --no-print-directory _test WERROR=$(WERROR)

demo:
	$(PY314) $(MAKE) --no-print-directory _demo

bench:
	$(PY314) $(MAKE) --no-print-directory _bench

_build:
	cmake -S . -B $(BUILD) -G Ninja -DLUMORA_WERROR=$(WERROR) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# The worker pool's tests (src/pool/) again, built with ThreadSanitizer.
_tsan:
	cmake -S . -B $(TSAN) -G Ninja -DLUMORA_BUILD_MODULE=OFF -DLUMORA_SANITIZE=thread \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMORA_WERROR=$(WERROR) >/dev/null
	@if grep -q test_pool $(TSAN)/build.ninja; then \
	    cmake --build $(TSAN) -j $(JOBS) --target test_pool && \
	    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN)/test_pool --gtest_brief=1; \
	else echo "GoogleTest not found: the ThreadSanitizer run is skipped"; fi

_test: _build _tsan _typing _dist _examples
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	PYTHONPATH=$(BUILD) python3 -m pytest -q tests

# --- typing, packaging and examples ------------------------------------------
# The stubs against the built module (stubtest) and the examples under
# `mypy --strict`; mypy finds the stub-only package of an installed wheel
# by itself, here it gets the stubs as the package `lumora` on MYPYPATH.
STUBS := $(BUILD)/stubs
EXAMPLES_OUT := $(BUILD)/examples

_typing: _build
	rm -rf $(STUBS) && mkdir -p $(STUBS)/lumora  # stubtest leaves its cache here
	cp src/lumora-stubs/__init__.pyi $(STUBS)/lumora/
	cd $(STUBS) && MYPYPATH=. PYTHONPATH=$(CURDIR)/$(BUILD) \
	    python3 -m mypy.stubtest lumora --mypy-config-file $(CURDIR)/pyproject.toml
	MYPYPATH=$(STUBS) MYPY_CACHE_DIR=$(BUILD)/mypy-cache python3 -m mypy --strict examples/

# The sdist and the wheel built from it, their contents listed and checked.
_dist:
	python3 tools/check_dist.py

# Every example in its quick mode (plots to a scratch folder).
_examples: _build
	rm -rf $(EXAMPLES_OUT) && mkdir -p $(EXAMPLES_OUT)
	PYTHONPATH=$(BUILD) MPLBACKEND=Agg python3 examples/lightcurve.py --points 41 --output $(EXAMPLES_OUT)/lightcurve.png >/dev/null
	PYTHONPATH=$(BUILD) MPLBACKEND=Agg python3 examples/fit_event.py --quick --output $(EXAMPLES_OUT)/fit_event.png >/dev/null
	PYTHONPATH=$(BUILD) MPLBACKEND=Agg python3 examples/limb_darkening_laws.py --quick --output $(EXAMPLES_OUT)/ld_tables.png >/dev/null
	PYTHONPATH=$(BUILD) MPLBACKEND=Agg python3 examples/survey.py --quick >/dev/null
# --- end of typing, packaging and examples ------------------------------------

_demo: _build
	PYTHONPATH=$(BUILD) python3 examples/lightcurve.py

# The whole calls are also compared with a build without the vector kernels.
_bench: _build
	cmake --build $(BUILD) --target bench_kernels
	cmake -S . -B $(NOSIMD) -G Ninja -DLUMORA_SIMD=OFF -DLUMORA_BUILD_MODULE=ON -DBUILD_TESTING=OFF >/dev/null
	cmake --build $(NOSIMD) -j $(JOBS) --target lumora
	python3 benchmarks/run_all.py --build $(BUILD) --baseline $(NOSIMD)

clean:
	rm -rf build
