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
DEMO     ?= examples/arith.tcl

.PHONY: all build test demo sanitize memcheck fuzz fuzz-build fuzz-replay bench install clean

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
	    -DKARDUM_TESTS=OFF -DKARDUM_FUZZ=ON

fuzz-build: $(FUZZ)/CMakeCache.txt
	cmake --build $(FUZZ) -j $(JOBS)

fuzz: fuzz-build
	tests/fuzz/run.sh $(FUZZ) $(FUZZ_TARGET) $(FUZZ_SECONDS)

fuzz-replay: fuzz-build
	cd $(FUZZ) && ctest --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(SANITIZE) $(MEMCHECK) $(FUZZ)
