# Convenience wrapper around CMake: no flags needed.
BUILD    ?= build
SANITIZE ?= build-sanitize
MEMCHECK ?= build-memcheck
FUZZ     ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGET  ?= script
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX   ?= /usr/local
# The Tcl to build for: 8.6 or 9.0 (`make TCL_VERSION=9.0`); empty: the one
# this machine has.  The choice sticks to the build tree.
# An existing build tree keeps the Tcl it was made for.
ifeq ($(origin TCL_VERSION),undefined)
TCL_VERSION := $(shell sed -n 's/^KARDUM_TCL_BUILT_FOR:INTERNAL=//p' $(BUILD)/CMakeCache.txt 2>/dev/null)
endif
export TCL_VERSION
# The tclsh for the demo and the benchmarks; empty: the configured Tcl's.
TCLSH    ?=
DEMO     ?= examples/demo.tcl
DEMO_ARGS ?=
# kardum.dll for 32- and 64-bit Windows, cross-compiled with mingw-w64,
# one tree per architecture: build-windows-i686/, build-windows-x86_64/.
# The DLL links the stub library of a Windows Tcl cross-built from Debian's
# source of Tcl (WINDOWS_TCL: 8.6, or 9.0 from sid) in build-wintcl/, and
# the tests run in that Tcl under Wine.
WINDOWS_ARCHS ?= i686 x86_64
WINDOWS_BUILD ?= build-windows
WINDOWS_TCL   ?= 8.6
WINDOWS_TCL_DIR ?= build-wintcl
WINDOWS_TCL_SUITE ?= $(if $(filter 8.%,$(WINDOWS_TCL)),,sid)
# Tcl 9's trees get their own names, so that both can exist side by side.
WINDOWS_TAG = $(if $(filter 8.6,$(WINDOWS_TCL)),,-tcl$(WINDOWS_TCL))
WINDOWS_TCL_SRC = $(WINDOWS_TCL_DIR)/src-tcl$(WINDOWS_TCL)

.PHONY: deps all build test shell strict lint demo sanitize memcheck fuzz fuzz-build fuzz-replay storm bench bench-matrixinv install clean \
        test-tcl9 test-fresh \
        windows windows-tcl windows-dll windows-check windows-test

all: build

# Every target first has tools/deps.sh install (as root) or name what the
# goals on the command line need.
DEPS_GOALS := $(or $(filter-out all build clean deps,$(MAKECMDGOALS)),build)
deps:
	@sh tools/deps.sh $(DEPS_GOALS)

CMAKE_TCL = $(if $(TCL_VERSION),-DKARDUM_TCL_VERSION=$(TCL_VERSION))

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_TCL)

build: $(BUILD)/CMakeCache.txt | deps
	$(if $(TCL_VERSION),cmake -S . -B $(BUILD) $(CMAKE_TCL) >/dev/null)
	cmake --build $(BUILD) -j $(JOBS)

# $(call ctest_run,TREE,TARGETS[,CTEST_ARGS]): the recipe of every target
# that runs CTest.  It configures the tree again first (GoogleTest may have
# arrived since the tree was made: tools/deps.sh installs it for the tests),
# builds TARGETS there and runs CTest in it.
define ctest_run
	cmake -S . -B $(1) >/dev/null
	cmake --build $(1) -j $(JOBS) --target $(2)
	cd $(1) && ctest --output-on-failure -j $(JOBS) $(3)
endef

# `make test TESTFLAGS="-file gridfill.test -match gridfill-2.*"` runs only
# those tcltest files and tests (options of tests/all.tcl and tcltest).
test: build | deps
ifeq ($(strip $(TESTFLAGS)),)
	$(call ctest_run,$(BUILD),all kardum_tests)
else
	$(BUILD)/tclsh.sh tests/all.tcl $(TESTFLAGS)
endif

# A tclsh with the build tree's library and packages on its path.
shell: build | deps
	$(BUILD)/tclsh.sh

# The library and every test program built with warnings as errors, by
# g++ and by clang++, each in its own tree ($(STRICT)-gcc, $(STRICT)-clang).
STRICT ?= build-strict
strict: | deps
	@set -e; for pair in gcc:g++ clang:clang++; do \
	    dir=$(STRICT)-$${pair%%:*}; cxx=$${pair#*:}; \
	    [ -f $$dir/CMakeCache.txt ] || \
	        cmake -S . -B $$dir -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=$$cxx \
	              -DKARDUM_WERROR=ON -DKARDUM_BENCH=OFF $(CMAKE_TCL); \
	    cmake --build $$dir -j $(JOBS) --target all kardum_tests; \
	done

# cppcheck over the library's sources (tools/lint.sh); fails on any finding.
lint: | deps
	sh tools/lint.sh

# build/kardum-env.sh names the library and the tclsh of the configured Tcl.
demo: build | deps
	. $(BUILD)/kardum-env.sh && KARDUM_LIBRARY=$$KARDUM_LIBRARY $(or $(TCLSH),$$KARDUM_TCLSH) $(DEMO) $(DEMO_ARGS)

$(SANITIZE)/CMakeCache.txt: | deps
	cmake -S . -B $(SANITIZE) -DCMAKE_BUILD_TYPE=Debug -DKARDUM_SANITIZE=ON $(CMAKE_TCL)

sanitize: $(SANITIZE)/CMakeCache.txt | deps
	$(call ctest_run,$(SANITIZE),all kardum_tests)

# The tests again under valgrind memcheck (RelWithDebInfo build).
$(MEMCHECK)/CMakeCache.txt: | deps
	cmake -S . -B $(MEMCHECK) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKARDUM_MEMCHECK=ON $(CMAKE_TCL)

memcheck: $(MEMCHECK)/CMakeCache.txt | deps
	$(call ctest_run,$(MEMCHECK),all kardum_tests,-L memcheck)

# libFuzzer targets (clang++): `make fuzz FUZZ_SECONDS=N FUZZ_TARGET=script|workers|files`
# fuzzes for N seconds, growing a scratch corpus in $(FUZZ)/corpus-<target>
# seeded from tests/fuzz/corpus/<target>; `make fuzz-replay` runs every
# input of the committed corpus once (deterministic, as CI does).
$(FUZZ)/CMakeCache.txt: | deps
	cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	    -DKARDUM_TESTS=OFF -DKARDUM_BENCH=OFF -DKARDUM_FUZZ=ON $(CMAKE_TCL)

fuzz-build: $(FUZZ)/CMakeCache.txt | deps
	cmake --build $(FUZZ) -j $(JOBS)

fuzz: fuzz-build
	tests/fuzz/run.sh $(FUZZ) $(FUZZ_TARGET) $(FUZZ_SECONDS)

fuzz-replay: $(FUZZ)/CMakeCache.txt | deps
	$(call ctest_run,$(FUZZ),all)

# `make storm`: the storm of random calls (tests/storm.tcl) on new seeds,
# one after the other, for STORM_SECONDS; a fault prints its seed and call
# for replaying with -seed S -first N -calls 1.
STORM_SECONDS ?= 1800
storm: build
	cd $(BUILD) && ./tclsh.sh ../tests/storm.tcl -seed $$(date +%s) -seconds $(STORM_SECONDS)

# One table of side-by-side timings (bench/README.md); installs the
# comparators (tcllib, reference LAPACK) when they are missing.
bench: $(BUILD)/CMakeCache.txt | deps
	cmake -S . -B $(BUILD) -DKARDUM_BENCH=ON >/dev/null
	cmake --build $(BUILD) --target kardum_bench -j $(JOBS)

# The Google Benchmark view of MatrixInv_C against LAPACK.
bench-matrixinv: $(BUILD)/CMakeCache.txt | deps
	cmake -S . -B $(BUILD) -DKARDUM_BENCH=ON >/dev/null
	cmake --build $(BUILD) --target kardum_bench_matrixinv -j $(JOBS)
	$(BUILD)/bench/kardum_bench_matrixinv

install: build | deps
	cmake --install $(BUILD) --prefix $(PREFIX)

# The project's commands in minimal Debian roots (as root; each root is
# kept in build-roots/ for the next run): `make test-tcl9` builds, installs
# and tests on Tcl 9.0 in Debian 13; `make test-fresh` runs `make demo`
# and `make test` in a fresh clone on a bare Debian 12.
test-tcl9: | deps
	bash tools/debian-root.sh tcl9

test-fresh: | deps
	bash tools/debian-root.sh fresh

# `make windows-tcl`: the Windows Tcl of each architecture, built once from
# Debian's Tcl source (tests/windows/tcl-source.sh, build-tcl.sh).
windows-tcl: | deps
	@set -e; bash tests/windows/tcl-source.sh tcl$(WINDOWS_TCL) $(WINDOWS_TCL_DIR) $(WINDOWS_TCL_SUITE) >/dev/null; \
	for arch in $(WINDOWS_ARCHS); do \
	    JOBS=$(JOBS) bash tests/windows/build-tcl.sh $$arch $(WINDOWS_TCL_SRC) \
	        $(WINDOWS_TCL_DIR)/tcl$(WINDOWS_TCL)-$$arch >/dev/null; \
	done

# `make windows`: both DLLs, then the checks of their exports and of the
# checks themselves.  `make windows-dll` only builds them (the build itself
# checks that each DLL imports nothing but Windows' own DLLs).
windows: windows-check

windows-dll: windows-tcl | deps
	@set -e; for arch in $(WINDOWS_ARCHS); do \
	    dir=$(WINDOWS_BUILD)$(WINDOWS_TAG)-$$arch; \
	    tcl=$(abspath $(WINDOWS_TCL_DIR))/tcl$(WINDOWS_TCL)-$$arch/install; \
	    if [ -f $$dir/CMakeCache.txt ]; then \
	        cmake -S . -B $$dir -DKARDUM_WINDOWS_TCL=$$tcl >/dev/null; \
	    else \
	        cmake -S . -B $$dir -DCMAKE_BUILD_TYPE=Release \
	              -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$$arch.cmake -DKARDUM_WINDOWS_TCL=$$tcl; \
	    fi; \
	    cmake --build $$dir -j $(JOBS); \
	done

# The check runs for every architecture before failing, so that all
# differences show at once.
windows-check: windows-dll
	@status=0; for arch in $(WINDOWS_ARCHS); do \
	    dir=$(WINDOWS_BUILD)$(WINDOWS_TAG)-$$arch; \
	    echo "== $$dir"; \
	    cmake --build $$dir --target check-imports-selftest || status=1; \
	    cmake --build $$dir --target check-exports-selftest || status=1; \
	    cmake --build $$dir --target check-exports || status=1; \
	done; exit $$status

# `make windows-test`: the script tests, the examples and the documentation's
# examples in the Windows Tcl under Wine, for each architecture (32-bit
# needs wine32 from the i386 architecture).
windows-test: windows-check
	@status=0; for arch in $(WINDOWS_ARCHS); do \
	    dir=$(WINDOWS_BUILD)$(WINDOWS_TAG)-$$arch; \
	    bash tests/windows/wine-test.sh $(WINDOWS_TCL_DIR)/tcl$(WINDOWS_TCL)-$$arch/install \
	        $$(ls $$dir/*kardum.dll) $(abspath $(WINDOWS_TCL_DIR))/wineprefix || status=1; \
	done; exit $$status

clean:
	rm -rf $(BUILD) $(SANITIZE) $(MEMCHECK) $(FUZZ) $(STRICT)-gcc $(STRICT)-clang $(WINDOWS_BUILD)-* $(WINDOWS_TCL_DIR)
