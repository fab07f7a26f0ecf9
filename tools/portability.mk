# ---- portability: another toolchain, another processor, no interpreter lock --
# Included from the Makefile.  Each target builds what it needs (cached
# outside the checkout after the first run), runs the C++ tests and the
# Python suite on that build, and ends with the line `digest: <hex>` of
# tools/digest.py, to be compared with the default build's
# (tools/py314 bash -c "PYTHONPATH=build/py314 python3 tools/digest.py").
#
#   make test-clang          clang and libc++, warnings as errors
#
# PORT_PYTEST selects the Python tests (the CI stages pass a subset).
# lumora_ld is not built here: these targets concern lumora.
PORT_PYTEST ?= tests
CLANG_BUILD := build/clang
AARCH64_BUILD := build/aarch64
FT_BUILD := build/freethreaded

.PHONY: test-clang _test_clang

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
	PYTHONPATH=$(CLANG_BUILD) python3 -m pytest -q -p no:cacheprovider $(PORT_PYTEST)
	@PYTHONPATH=$(CLANG_BUILD) python3 tools/digest.py
