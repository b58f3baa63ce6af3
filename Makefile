# Quenfold's front door.
#   make run    start the program under Wine (under Xvfb, with a screenshot, when there is no display)
#   make test   build everything and run every test: native unit tests, Windows tests under Wine,
#               end-to-end tests of the program under Xvfb
#   make build  build only; make bench: the benchmarks
# Each target installs the tools it needs first (tools/setup.sh).

BUILD     ?= build
JOBS      ?= $(shell nproc)
TEST_ARCH := $(shell tools/test-arch.sh)

NATIVE_DIR := $(BUILD)/native
SHIP_DIR   := $(BUILD)/win-i686
TEST_DIR   := $(BUILD)/win-$(TEST_ARCH)

.PHONY: all setup build native windows test test-native test-windows run bench clean

all: build

setup:
	@tools/setup.sh

$(NATIVE_DIR)/CMakeCache.txt:
	cmake -S . -B $(NATIVE_DIR) -DCMAKE_BUILD_TYPE=Debug

$(BUILD)/win-%/CMakeCache.txt:
	cmake -S . -B $(BUILD)/win-$* -DCMAKE_BUILD_TYPE=Release \
	      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$*.cmake -DQF_WINE_ARCH=$*

native: setup $(NATIVE_DIR)/CMakeCache.txt
	cmake --build $(NATIVE_DIR) -j $(JOBS)

windows: setup $(SHIP_DIR)/CMakeCache.txt $(TEST_DIR)/CMakeCache.txt
	cmake --build $(SHIP_DIR) -j $(JOBS)
	cmake --build $(TEST_DIR) -j $(JOBS)

build: native windows

test-native: native
	tools/run-native-tests.sh $(NATIVE_DIR)

test-windows: windows
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

test: test-native test-windows

bench: native
	QF_SAMPLES=$(CURDIR)/$(NATIVE_DIR)/samples $(NATIVE_DIR)/bench/qf_bench

run: windows
	tools/run.sh $(TEST_DIR) $(TEST_ARCH)

clean:
	rm -rf $(BUILD)
