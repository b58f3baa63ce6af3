# The build and test steps behind the Makefile; called with BUILD, JOBS and TEST_ARCH set.
SHELL := /bin/bash
NATIVE_DIR := $(BUILD)/native
SHIP_DIR   := $(BUILD)/win-i686
# The tests run trees with the test hooks (-DQF_TEST_SEAMS=ON); the shipped ones are configured
# without asking, as any build is, so test-release checks the default. The Windows test tree is a
# tree of its own even when both are i686.
TEST_DIR   := $(BUILD)/win-$(TEST_ARCH)$(if $(filter i686,$(TEST_ARCH)),-test)

.PHONY: build native windows test test-tsan test-native test-windows run bench fuzz release dist dist-check test-release \
        rescue rescue-source test-rescue
VERSION := $(shell sed -n 's/^project.quenfold VERSION //p' CMakeLists.txt | cut -d' ' -f1)
RELEASE_DIR := $(BUILD)/linux-release

$(NATIVE_DIR)/CMakeCache.txt:
	cmake -S . -B $(NATIVE_DIR) -DCMAKE_BUILD_TYPE=Debug -DQF_TEST_SEAMS=ON

# The Windows trees' tests hold qfscan.exe against the Linux qfscan of the native tree.
WIN_CMAKE = -DCMAKE_BUILD_TYPE=Release -DQF_RELEASE=ON -DQF_NATIVE_QFSCAN=$(abspath $(NATIVE_DIR))/qfscan
$(SHIP_DIR)/CMakeCache.txt:
	cmake -S . -B $(SHIP_DIR) $(WIN_CMAKE) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
$(TEST_DIR)/CMakeCache.txt:
	cmake -S . -B $(TEST_DIR) $(WIN_CMAKE) -DQF_TEST_SEAMS=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$(TEST_ARCH).cmake

native: $(NATIVE_DIR)/CMakeCache.txt
	cmake --build $(NATIVE_DIR) -j $(JOBS)

windows: native $(SHIP_DIR)/CMakeCache.txt $(TEST_DIR)/CMakeCache.txt
	cmake --build $(SHIP_DIR) -j $(JOBS)
	cmake --build $(TEST_DIR) -j $(JOBS)

build: native windows

test-native: native
	tools/run-native-tests.sh $(NATIVE_DIR)

# The walks that share a frontier, and qfscan --jobs, under ThreadSanitizer (which cannot join
# the address sanitizer of the native tree): the walk's unit tests and qfscan's threaded tests.
TSAN_DIR := $(BUILD)/tsan
test-tsan:
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DQF_TEST_SEAMS=ON -DQF_SANITIZE=-fsanitize=thread >/dev/null
	cmake --build $(TSAN_DIR) -j $(JOBS) --target qf_unit_tests qfscan
	cd $(TSAN_DIR) && QF_SAMPLES=$(abspath $(TSAN_DIR))/samples TSAN_OPTIONS=halt_on_error=1 \
	    $(abspath tools/without-dac.sh) tests/unit/qf_unit_tests --gtest_filter='*Walk*'
	cd $(TSAN_DIR) && QF_SAMPLES=$(abspath $(TSAN_DIR))/samples TSAN_OPTIONS=halt_on_error=1 \
	    $(abspath tools/without-dac.sh) /usr/bin/python3 $(abspath tests/console/qfscan_test.py) --linux ./qfscan \
	    -k jobs -k stop_with -k report_that

test-windows: windows
	@echo "Windows tests run the $(TEST_ARCH) build ($(TEST_DIR))"
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS) -E xp_imports
	cd $(SHIP_DIR) && ctest --output-on-failure -R xp_imports

test: test-native test-tsan test-windows fuzz test-release dist-check test-rescue

# The Linux qfscan as it ships: optimized, stripped, static, with no sanitizers.
$(RELEASE_DIR)/CMakeCache.txt:
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DQF_RELEASE=ON

release: $(SHIP_DIR)/CMakeCache.txt $(RELEASE_DIR)/CMakeCache.txt
	cmake --build $(SHIP_DIR) -j $(JOBS) --target quenfold qfscan
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target qfscan qf_wof_plugin

# dist/: the archives, the rescue image and their checksums. With SIGN_CERT and SIGN_KEY (PEM files; SIGN_URL a
# timestamp server, optional) both Windows programs are signed before they are packed.
STAGE := $(BUILD)/dist-stage
dist: release
	rm -rf dist $(STAGE) && mkdir -p $(STAGE)
	cp $(SHIP_DIR)/quenfold.exe $(SHIP_DIR)/qfscan.exe $(STAGE)/
	if [ -n "$(SIGN_CERT)" ] && [ -n "$(SIGN_KEY)" ]; then \
	    tools/release/sign.sh "$(SIGN_CERT)" "$(SIGN_KEY)" $(SIGN_URL) -- $(STAGE)/quenfold.exe $(STAGE)/qfscan.exe; fi
	SOURCE_DATE_EPOCH=$$(git log -1 --format=%ct) tools/rescue/make-rescue.sh $(VERSION) $(RELEASE_DIR)/qfscan \
	    $(STAGE) dist $(RESCUE_WORK)
	SOURCE_DATE_EPOCH=$$(git log -1 --format=%ct) tools/release/make-dist.py $(VERSION) $(STAGE) $(RELEASE_DIR) dist
	cd dist && ls -l && sha256sum -c SHA256SUMS

dist-check:
	tools/release/dist-check.sh $(JOBS)

# The shipped programs themselves: manifests, version resources, no debug sections, signing, the
# Linux build in an empty root.
test-release: release native
	/usr/bin/python3 tests/release/release_test.py $(SHIP_DIR) $(RELEASE_DIR) $(NATIVE_DIR)/samples

# Quenfold Rescue: the bootable ISO and the PXE files, from Debian's packages (tools/rescue).
RESCUE_WORK := $(BUILD)/rescue
RESCUE_ISO := dist/quenfold-rescue-$(VERSION)-x86_64.iso
rescue: release
	SOURCE_DATE_EPOCH=$$(git log -1 --format=%ct) tools/rescue/make-rescue.sh $(VERSION) $(RELEASE_DIR)/qfscan \
	    $(SHIP_DIR) dist $(RESCUE_WORK)

# The Debian source packages of what the rescue holds, into dist/quenfold-rescue-source/.
rescue-source: rescue
	tools/rescue/fetch-source.sh $(RESCUE_WORK)/sources.txt dist

# The rescue booted in QEMU from CD, stick and network, on BIOS, UEFI and Secure Boot.
test-rescue: rescue
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target qf_samples
	QF_SAMPLES=$(abspath $(RELEASE_DIR))/samples /usr/bin/python3 tests/rescue/rescue_test.py $(RESCUE_ISO) \
	    $(RESCUE_WORK)/pxe $(RELEASE_DIR)/qfscan

# Benchmarks build optimised and without sanitizers, in a tree of their own; the Windows side
# runs the test architecture's build under Wine.
BENCH_DIR := $(BUILD)/bench
bench: windows
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DQF_SANITIZE= -DQF_TEST_SEAMS=OFF >/dev/null
	cmake --build $(BENCH_DIR) -j $(JOBS) --target qfscan qf_native_floor qf_parallel_floor qf_whole_file qf_measure qf_corpus_plant \
	    qf_wof_plugin qf_samples
	bench/run-bench.sh $(BENCH_DIR) $(TEST_DIR) $(TEST_ARCH)

run: windows
	tools/run.sh $(TEST_DIR) $(TEST_ARCH)

# Fuzzes the PE decision, from memory and through the file source, for QF_FUZZ_SECONDS (60 unless
# set), seeded with the sample programs and infected copies, then replays every crash input saved in
# tests/fuzz/crashes; a new crash lands there too.
FUZZ_DIR := $(BUILD)/fuzz
FUZZ_SOURCES := src/detect/pe_image.cpp src/detect/file_source.cpp src/fs/file_system_posix.cpp
$(FUZZ_DIR)/pe_fuzz: tests/fuzz/pe_fuzz.cpp $(FUZZ_SOURCES) $(wildcard src/detect/*.h src/fs/*.h)
	mkdir -p $(FUZZ_DIR)
	clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -Isrc tests/fuzz/pe_fuzz.cpp $(FUZZ_SOURCES) -o $@

fuzz: native $(FUZZ_DIR)/pe_fuzz
	mkdir -p $(FUZZ_DIR)/corpus tests/fuzz/crashes
	cp $(NATIVE_DIR)/samples/*.exe $(NATIVE_DIR)/samples/*.dll $(FUZZ_DIR)/corpus/
	$(NATIVE_DIR)/bench/qf_corpus_plant 10 $(NATIVE_DIR)/samples/sample32.exe $(FUZZ_DIR)/corpus/infected10.exe \
	    00 $(NATIVE_DIR)/samples/sample32.exe $(FUZZ_DIR)/corpus/infected00.exe
	cd $(FUZZ_DIR) && ./pe_fuzz -max_total_time=$${QF_FUZZ_SECONDS:-60} -max_len=65536 -print_final_stats=1 \
	    -artifact_prefix=$(CURDIR)/tests/fuzz/crashes/ corpus 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' ; \
	    test $${PIPESTATUS[0]} -eq 0
	@saved=$$(find tests/fuzz/crashes -type f ! -name '.*'); \
	if [ -n "$$saved" ]; then echo "replaying saved crash inputs"; $(FUZZ_DIR)/pe_fuzz $$saved; fi
