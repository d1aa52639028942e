# Convenience wrapper around CMake: no flags needed.
BUILD    ?= build
SANITIZE ?= build-sanitize
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX   ?= /usr/local
TCLSH    ?= tclsh
DEMO     ?= examples/demo.tcl
DEMO_ARGS ?=

.PHONY: all build test demo sanitize bench install clean

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

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(SANITIZE)
