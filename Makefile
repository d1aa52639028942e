# Convenience wrapper around CMake: no flags needed.
BUILD    ?= build
SANITIZE ?= build-sanitize
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX   ?= /usr/local
TCLSH    ?= tclsh
DEMO     ?= examples/demo.tcl
DEMO_ARGS ?=
# kardum.dll for 32- and 64-bit Windows, cross-compiled with mingw-w64,
# one tree per architecture: build-windows-i686/, build-windows-x86_64/.
WINDOWS_ARCHS ?= i686 x86_64
WINDOWS_BUILD ?= build-windows

.PHONY: all build test demo sanitize bench bench-matrixinv install clean \
        windows windows-dll windows-check

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

# `make windows`: both DLLs, then the export check of each against
# include/kardum.h.  `make windows-dll` only builds them (the build itself
# checks that each DLL imports nothing but the Tcl DLL and Windows' own).
windows: windows-check

windows-dll:
	@set -e; for arch in $(WINDOWS_ARCHS); do \
	    dir=$(WINDOWS_BUILD)-$$arch; \
	    [ -f $$dir/CMakeCache.txt ] || \
	        cmake -S . -B $$dir -DCMAKE_BUILD_TYPE=Release \
	              -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$$arch.cmake; \
	    cmake --build $$dir -j $(JOBS); \
	done

# The check runs for every architecture before failing, so that all
# differences show at once.
windows-check: windows-dll
	@status=0; for arch in $(WINDOWS_ARCHS); do \
	    dir=$(WINDOWS_BUILD)-$$arch; \
	    echo "== $$dir"; \
	    cmake --build $$dir --target check-exports-selftest || status=1; \
	    cmake --build $$dir --target check-exports || status=1; \
	done; exit $$status

clean:
	rm -rf $(BUILD) $(SANITIZE) $(WINDOWS_ARCHS:%=$(WINDOWS_BUILD)-%)
