# Convenience wrapper around CMake: no flags needed.
BUILD    ?= build
SANITIZE ?= build-sanitize
MEMCHECK ?= build-memcheck
FUZZ     ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGET  ?= script
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX   ?= /usr/local
TCLSH    ?= tclsh
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

.PHONY: all build test demo sanitize memcheck fuzz fuzz-build fuzz-replay bench bench-matrixinv install clean \
        windows windows-tcl windows-dll windows-check windows-test

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	KARDUM_LIBRARY=$(abspath $(BUILD))/libkardum.so $(TCLSH) $(DEMO) $(DEMO_ARGS)

$(SANITIZE)/CMakeCache.txt:
	cmake -S . -B $(SANITIZE) -DCMAKE_BUILD_TYPE=Debug -DKARDUM_SANITIZE=ON

sanitize: $(SANITIZE)/CMakeCache.txt
	cmake --build $(SANITIZE) -j $(JOBS)
	cd $(SANITIZE) && ctest --output-on-failure -j $(JOBS)

# The tests again under valgrind memcheck (RelWithDebInfo build).
$(MEMCHECK)/CMakeCache.txt:
	cmake -S . -B $(MEMCHECK) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKARDUM_MEMCHECK=ON

memcheck: $(MEMCHECK)/CMakeCache.txt
	cmake --build $(MEMCHECK) -j $(JOBS)
	cd $(MEMCHECK) && ctest --output-on-failure -j $(JOBS) -L memcheck

# libFuzzer targets (clang++): `make fuzz FUZZ_SECONDS=N FUZZ_TARGET=script|workers`
# fuzzes for N seconds, growing a scratch corpus in $(FUZZ)/corpus-<target>
# seeded from tests/fuzz/corpus/<target>; `make fuzz-replay` runs every
# input of the committed corpus once (deterministic, as CI does).
$(FUZZ)/CMakeCache.txt:
	cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	    -DKARDUM_TESTS=OFF -DKARDUM_BENCH=OFF -DKARDUM_FUZZ=ON

fuzz-build: $(FUZZ)/CMakeCache.txt
	cmake --build $(FUZZ) -j $(JOBS)

fuzz: fuzz-build
	tests/fuzz/run.sh $(FUZZ) $(FUZZ_TARGET) $(FUZZ_SECONDS)

fuzz-replay: fuzz-build
	cd $(FUZZ) && ctest --output-on-failure -j $(JOBS)

# One table of side-by-side timings (bench/README.md); installs the
# comparators (tcllib, reference LAPACK) when they are missing.
bench: $(BUILD)/CMakeCache.txt
	TCLSH=$(TCLSH) sh bench/deps.sh
	cmake -S . -B $(BUILD) -DKARDUM_BENCH=ON >/dev/null
	cmake --build $(BUILD) --target kardum_bench -j $(JOBS)

# The Google Benchmark view of MatrixInv_C against LAPACK.
bench-matrixinv: $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD) -DKARDUM_BENCH=ON >/dev/null
	cmake --build $(BUILD) --target kardum_bench_matrixinv -j $(JOBS)
	$(BUILD)/bench/kardum_bench_matrixinv

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# `make windows-tcl`: the Windows Tcl of each architecture, built once from
# Debian's Tcl source (tests/windows/tcl-source.sh, build-tcl.sh).
windows-tcl:
	@set -e; bash tests/windows/tcl-source.sh tcl$(WINDOWS_TCL) $(WINDOWS_TCL_DIR) $(WINDOWS_TCL_SUITE) >/dev/null; \
	for arch in $(WINDOWS_ARCHS); do \
	    JOBS=$(JOBS) bash tests/windows/build-tcl.sh $$arch $(WINDOWS_TCL_SRC) \
	        $(WINDOWS_TCL_DIR)/tcl$(WINDOWS_TCL)-$$arch >/dev/null; \
	done

# `make windows`: both DLLs, then the checks of their exports and of the
# checks themselves.  `make windows-dll` only builds them (the build itself
# checks that each DLL imports nothing but Windows' own DLLs).
windows: windows-check

windows-dll: windows-tcl
	@set -e; for arch in $(WINDOWS_ARCHS); do \
	    dir=$(WINDOWS_BUILD)$(WINDOWS_TAG)-$$arch; \
	    [ -f $$dir/CMakeCache.txt ] || \
	        cmake -S . -B $$dir -DCMAKE_BUILD_TYPE=Release \
	              -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$$arch.cmake \
	              -DKARDUM_WINDOWS_TCL=$(abspath $(WINDOWS_TCL_DIR))/tcl$(WINDOWS_TCL)-$$arch/install; \
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
	rm -rf $(BUILD) $(SANITIZE) $(MEMCHECK) $(FUZZ) $(WINDOWS_BUILD)-* $(WINDOWS_TCL_DIR)
