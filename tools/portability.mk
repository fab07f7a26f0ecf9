# ---- portability: another toolchain, another processor, no interpreter lock --
# Included from the Makefile.  Each target builds what it needs (the
# aarch64 root once, cached outside the checkout), runs the C++ tests and
# the Python suite on that build, and ends with the line `digest: <hex>` of
# tools/digest.py, to be compared with the default build's
# (tools/py314 bash -c "PYTHONPATH=build/py314 python3 tools/digest.py").
#
#   make test-clang          clang and libc++, warnings as errors
#   make test-aarch64        cross-compiled for aarch64, run under qemu-user
#   make test-freethreaded   a free-threaded CPython 3.14 (FT_PYTHON), and a
#                            stress test of 8 threads calling every function
#
# Where the default build exists (make test), its digest is computed too
# and a difference fails the target.  PORT_PYTEST selects the Python tests
# (the CI stages pass a subset).
# lumora_ld is not built here (these targets concern lumora), so its tests
# are left out of every selection.
PORT_PYTEST ?= tests
PORT_PYTEST_ARGS = $(PORT_PYTEST) --ignore=tests/test_ld.py
CLANG_BUILD := build/clang
AARCH64_BUILD := build/aarch64
FT_BUILD := build/freethreaded

.PHONY: test-clang test-aarch64 test-freethreaded _test_clang _aarch64_build _aarch64_ctest

# GoogleTest from its sources (/usr/src/googletest in the 3.14 root),
# built with the compiler and standard library of the build that links it:
# Debian's libgtest is built against libstdc++ for x86-64.
# $(1) build folder, $(2) extra CMake arguments.
define build_gtest
	cmake -S /usr/src/googletest -B $(1)/gtest -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
	    -DCMAKE_INSTALL_PREFIX=$(CURDIR)/$(1)/gtest-install $(2) >/dev/null
	cmake --build $(1)/gtest -j $(JOBS) >/dev/null
	cmake --install $(1)/gtest >/dev/null
endef

# Prints the digest in file $(1) as the last line, after comparing it with
# the default build's (computed by the command $(2)) where that exists.
define check_digest
	@if ls $(BUILD)/lumora*.so >/dev/null 2>&1; then \
	    expected=$$($(2)) && [ "$$expected" = "$$(cat $(1))" ] || \
	    { echo "differs from the default build's $$expected"; cat $(1); exit 1; }; fi
	@cat $(1)
endef

# ---- clang with libc++ ------------------------------------------------------
CLANG_FLAGS := -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
    -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DCMAKE_SHARED_LINKER_FLAGS=-stdlib=libc++ \
    -DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++

test-clang:
	$(PY314) $(MAKE) --no-print-directory _test_clang

_test_clang:
	$(call build_gtest,$(CLANG_BUILD),$(CLANG_FLAGS))
	cmake -S . -B $(CLANG_BUILD) -G Ninja $(CLANG_FLAGS) -DLUMORA_WERROR=ON -DLUMORA_BUILD_LD=OFF \
	    -DGTest_ROOT=$(CURDIR)/$(CLANG_BUILD)/gtest-install >/dev/null
	cmake --build $(CLANG_BUILD) -j $(JOBS)
	@! ldd $(CLANG_BUILD)/lumora.*.so | grep -q libstdc++ || { echo "the module links libstdc++"; exit 1; }
	ctest --test-dir $(CLANG_BUILD) --output-on-failure -j $(JOBS)
	PYTHONPATH=$(CLANG_BUILD) python3 -m pytest -q -p no:cacheprovider $(PORT_PYTEST_ARGS)
	@PYTHONPATH=$(CLANG_BUILD) python3 tools/digest.py >$(CLANG_BUILD)/digest.txt
	$(call check_digest,$(CLANG_BUILD)/digest.txt,PYTHONPATH=$(BUILD) python3 tools/digest.py)

# ---- aarch64 under emulation --------------------------------------------------
# The module and the C++ tests are cross-compiled in the 3.14 root
# (g++-aarch64-linux-gnu) against the Python headers of the aarch64 root of
# tools/aarch64, where the Python suite then runs under qemu-aarch64; ctest
# runs the C++ tests under qemu-aarch64 in the 3.14 root.  The object check:
# no fused multiply-add (fmadd, fmsub, fnmadd, fnmsub, fmla, fmls) anywhere
# in the module, since GCC contracts by default on aarch64.  A cross build
# cannot ask the interpreter for its extension suffix: the module is
# lumora.so, a name CPython imports as well.
AARCH64_FLAGS := -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/tools/aarch64-toolchain.cmake

test-aarch64:
	@mkdir -p $(AARCH64_BUILD)
	@root=$$(tools/aarch64 --root) && \
	    tools/aarch64 python3 -c 'import sysconfig; print(sysconfig.get_config_var("SOABI")); print(sysconfig.get_config_var("MULTIARCH")); print(sysconfig.get_paths()["include"])' \
	        >$(AARCH64_BUILD)/python.txt && \
	    { read -r soabi; read -r multiarch; read -r include; } <$(AARCH64_BUILD)/python.txt && \
	    rm -rf $(AARCH64_BUILD)/python-include && mkdir -p $(AARCH64_BUILD)/python-include/$$multiarch && \
	    cp -a $$root$$include $(AARCH64_BUILD)/python-include/ && \
	    cp -a $$root/usr/include/$$multiarch/$$(basename $$include) $(AARCH64_BUILD)/python-include/$$multiarch/ && \
	    echo "aarch64 root $$root: $$soabi"
	$(PY314) $(MAKE) --no-print-directory _aarch64_ctest
	PYTHONPATH=$(AARCH64_BUILD) tools/aarch64 python3 -m pytest -q -p no:cacheprovider $(PORT_PYTEST_ARGS) \
	    $(AARCH64_NATIVE_ONLY)
	@PYTHONPATH=$(AARCH64_BUILD) tools/aarch64 python3 tools/digest.py >$(AARCH64_BUILD)/digest.txt
	$(call check_digest,$(AARCH64_BUILD)/digest.txt,$(PY314) bash -c 'PYTHONPATH=$(BUILD) python3 tools/digest.py')

_aarch64_build:
	$(call build_gtest,$(AARCH64_BUILD),$(AARCH64_FLAGS))
	include=$$(sed -n 3p $(AARCH64_BUILD)/python.txt) && \
	cmake -S . -B $(AARCH64_BUILD) -G Ninja $(AARCH64_FLAGS) -DLUMORA_WERROR=ON -DLUMORA_BUILD_LD=OFF \
	    -DGTest_ROOT=$(CURDIR)/$(AARCH64_BUILD)/gtest-install \
	    -DPython_INCLUDE_DIR=$(CURDIR)/$(AARCH64_BUILD)/python-include/$$(basename $$include) \
	    -DCMAKE_CXX_FLAGS=-isystem$(CURDIR)/$(AARCH64_BUILD)/python-include >/dev/null
	cmake --build $(AARCH64_BUILD) -j $(JOBS)
	@readelf -h $(AARCH64_BUILD)/lumora*.so | grep -q "Machine: *AArch64" || { echo "the module is not an aarch64 object"; exit 1; }
	@if aarch64-linux-gnu-objdump -d --no-show-raw-insn $(AARCH64_BUILD)/lumora*.so \
	        | grep -E '^\s+[0-9a-f]+:\s+f(n?m(add|sub)|ml[as])\s'; then \
	    echo "fused multiply-adds in the aarch64 module"; exit 1; fi

# qemu-user runs a thread of its own in every process (/proc/self/task
# lists two in a fresh one) and maps its own memory beside the program's,
# so the tests that count a process's threads or limit its address space
# cannot hold under emulation: they are left out there.  So is the deque's
# stealing race (it failed once in about 80 emulated runs, a task taken
# twice; never natively): the owner's take orders its seq_cst store of
# bottom before its seq_cst load of top, compiled to stlr; ldar with no
# barrier between, an order aarch64 keeps (release-consistent, RCsc) but
# which qemu's translation to an x86-64 host, a barrier before the store
# and after the load only, does not.  Real aarch64 hardware must decide.
AARCH64_NATIVE_ONLY := -m 'not address_space' \
    --deselect tests/test_pool.py::TestWhenWorkersRun::test_sequential_functions_start_no_thread \
    --deselect tests/test_pool.py::TestWhenWorkersRun::test_empty_and_one_element_calls_wake_no_worker \
    --deselect tests/test_pool.py::TestProcessLifecycle::test_failed_creation_is_final

_aarch64_ctest: _aarch64_build
	ctest --test-dir $(AARCH64_BUILD) --output-on-failure -j $(JOBS) -E '^(PoolFork\.|PoolDeque\.EveryTaskReturnedOnceUnderStealing)'

# ---- the free-threaded interpreter --------------------------------------------
# A free-threaded CPython 3.14 (FT_PYTHON, python3.14t on PATH by default:
# python.org's installers and several distributions ship one) builds the
# module with the machine's own compiler; the suite runs on it, then the
# stress test (tools/stress_threads.py: 8 threads calling all eight
# functions at once, each result's bits against a single-threaded run) for
# several pool sizes.  The test packages go into a virtual environment of
# that interpreter under build/.
FT_PYTHON ?= python3.14t
FT_SECONDS ?= 20
FT_POOL_THREADS ?= 1 2 3 8
FT_VENV := $(FT_BUILD)/venv

test-freethreaded:
	@$(FT_PYTHON) -c 'import sys; sys.exit("t" not in sys.abiflags)' 2>/dev/null || \
	    { echo "$(FT_PYTHON) is not a free-threaded CPython (set FT_PYTHON)"; exit 1; }
	@[ -x $(FT_VENV)/bin/python ] || { $(FT_PYTHON) -m venv $(FT_VENV) && \
	    $(FT_VENV)/bin/pip install -q pytest hypothesis mpmath numpy scipy cmake ninja; }
	PATH=$(CURDIR)/$(FT_VENV)/bin:$$PATH cmake -S . -B $(FT_BUILD) -G Ninja -DBUILD_TESTING=OFF \
	    -DLUMORA_BUILD_LD=OFF -DPython_EXECUTABLE=$(CURDIR)/$(FT_VENV)/bin/python >/dev/null
	PATH=$(CURDIR)/$(FT_VENV)/bin:$$PATH cmake --build $(FT_BUILD) -j $(JOBS) --target lumora
	PYTHONPATH=$(FT_BUILD) $(FT_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PORT_PYTEST_ARGS)
	@for t in $(FT_POOL_THREADS); do \
	    RAYON_NUM_THREADS=$$t PYTHONPATH=$(FT_BUILD) timeout 600 $(FT_VENV)/bin/python tools/stress_threads.py \
	        --threads 8 --seconds $(FT_SECONDS) || exit 1; \
	done
	@PYTHONPATH=$(FT_BUILD) $(FT_VENV)/bin/python tools/digest.py >$(FT_BUILD)/digest.txt
	$(call check_digest,$(FT_BUILD)/digest.txt,$(PY314) bash -c 'PYTHONPATH=$(BUILD) python3 tools/digest.py')
