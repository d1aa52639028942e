# Convenience wrapper around CMake: no flags needed.
BUILD    ?= build
SANITIZE ?= build-sanitize
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX   ?= /usr/local
TCLSH    ?= tclsh
DEMO     ?= examples/arith.tcl

.PHONY: all build test demo sanitize bench bench-matrixinv install clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	KARDUM_LIBRARY=$(abspath $(BUILD))/libkardum.so $(TCLSH) $(DEMO)

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

clean:
	rm -rf $(BUILD) $(SANITIZE)
