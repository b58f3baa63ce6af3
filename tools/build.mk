# The build and test steps behind the Makefile; called with BUILD, JOBS and TEST_ARCH set.
NATIVE_DIR := $(BUILD)/native
SHIP_DIR   := $(BUILD)/win-i686
TEST_DIR   := $(BUILD)/win-$(TEST_ARCH)

.PHONY: build native windows test test-native test-windows run bench

$(NATIVE_DIR)/CMakeCache.txt:
	cmake -S . -B $(NATIVE_DIR) -DCMAKE_BUILD_TYPE=Debug

$(BUILD)/win-%/CMakeCache.txt:
	cmake -S . -B $(BUILD)/win-$* -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$*.cmake

native: $(NATIVE_DIR)/CMakeCache.txt
	cmake --build $(NATIVE_DIR) -j $(JOBS)

windows: $(SHIP_DIR)/CMakeCache.txt $(TEST_DIR)/CMakeCache.txt
	cmake --build $(SHIP_DIR) -j $(JOBS)
	cmake --build $(TEST_DIR) -j $(JOBS)

build: native windows

test-native: native
	tools/run-native-tests.sh $(NATIVE_DIR)

test-windows: windows
	@echo "Windows tests run the $(TEST_ARCH) build ($(TEST_DIR))"
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

test: test-native test-windows

bench: native
	QF_SAMPLES=$(CURDIR)/$(NATIVE_DIR)/samples $(NATIVE_DIR)/bench/qf_bench

run: windows
	tools/run.sh $(TEST_DIR) $(TEST_ARCH)
