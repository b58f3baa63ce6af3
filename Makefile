# Quenfold's front door: every target, once. Each first installs the packages of its own parts of
# tools/setup.sh (setup-PART), so `make build` installs no emulator and `make run` no QEMU.
#   make run     start the program under Wine (under Xvfb, with a screenshot, when there is no display)
#   make test    build everything and run every test: the native tests, the Windows tests under Wine,
#                the fuzzer, the release, the rescue booted in QEMU
#   make check   the quick check: the native unit tests and the Windows unit tests under Wine
#   make build   the native tree and the shipped Windows programs; make bench: the benchmarks;
#                make test-tsan: the threaded walk under ThreadSanitizer; make fuzz: libFuzzer
#   make dist    the release archives in dist/ (SIGN_CERT=... SIGN_KEY=... to sign); make dist-check:
#                the same bytes from two clones
SHELL := /bin/bash
BUILD ?= build
JOBS  ?= $(shell nproc)
# One target at a time: the set-up parts call apt-get, and each build runs JOBS jobs itself.
.NOTPARALLEL:

.PHONY: all build native windows check test test-native test-tsan test-windows run bench fuzz \
        release dist dist-check test-release rescue rescue-source test-rescue clean

SETUP_PARTS := build test wine fuzz release rescue rescue-test bench
.PHONY: $(addprefix setup-,$(SETUP_PARTS))
$(addprefix setup-,$(SETUP_PARTS)):
	@tools/setup.sh $(@:setup-%=%)

VERSION := $(shell sed -n 's/^project.quenfold VERSION //p' CMakeLists.txt | cut -d' ' -f1)
NATIVE_DIR  := $(BUILD)/native
SHIP_DIR    := $(BUILD)/win-i686
RELEASE_DIR := $(BUILD)/linux-release
# The architecture whose Windows build the tests run (tools/test-arch.sh starts Wine to see):
# asked once, and only when a recipe that needs it runs, after its set-up installed Wine.
TEST_ARCH = $(eval TEST_ARCH := $$(shell tools/test-arch.sh))$(TEST_ARCH)
# The tests run trees with the test hooks (-DQF_TEST_SEAMS=ON); the shipped ones are configured
# without asking, as any build is, so test-release checks the default. The Windows test tree is a
# tree of its own even when both are i686.
TEST_DIR = $(BUILD)/win-$(TEST_ARCH)$(if $(filter i686,$(TEST_ARCH)),-test)
EPOCH = $$(git log -1 --format=%ct)

all: build

$(NATIVE_DIR)/CMakeCache.txt: | setup-build
	cmake -S . -B $(NATIVE_DIR) -DCMAKE_BUILD_TYPE=Debug -DQF_TEST_SEAMS=ON

# The Windows trees' tests hold qfscan.exe against the Linux qfscan of the native tree.
WIN_CMAKE = -DCMAKE_BUILD_TYPE=Release -DQF_RELEASE=ON -DQF_NATIVE_QFSCAN=$(abspath $(NATIVE_DIR))/qfscan
$(SHIP_DIR)/CMakeCache.txt: | setup-build
	cmake -S . -B $(SHIP_DIR) $(WIN_CMAKE) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The Linux qfscan as it ships: optimized, stripped, static, with no sanitizers.
$(RELEASE_DIR)/CMakeCache.txt: | setup-build
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DQF_RELEASE=ON
# The Windows test tree: named by the test architecture, so configured in the recipes that ask for it.
CONFIGURE_TEST_DIR = [ -f $(TEST_DIR)/CMakeCache.txt ] || \
	cmake -S . -B $(TEST_DIR) $(WIN_CMAKE) -DQF_TEST_SEAMS=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$(TEST_ARCH).cmake

native: setup-build $(NATIVE_DIR)/CMakeCache.txt
	cmake --build $(NATIVE_DIR) -j $(JOBS)

# What a developer builds: the native tree (with the sanitizers and the test hooks) and the
# Windows programs as they ship.
build: native $(SHIP_DIR)/CMakeCache.txt
	cmake --build $(SHIP_DIR) -j $(JOBS)

# Both Windows trees, the one the tests run included.
windows: setup-wine build
	$(CONFIGURE_TEST_DIR)
	cmake --build $(TEST_DIR) -j $(JOBS)

# The quick check, a few minutes: the native unit tests, and the Windows unit tests under Wine
# (the GoogleTest programs; not the programs run whole, the end-to-end tests, nor the rescue).
check: setup-wine native
	cd $(NATIVE_DIR) && $(abspath tools/without-dac.sh) ctest --output-on-failure -j $(JOBS) -L unit
	$(CONFIGURE_TEST_DIR)
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS) -L unit

test: test-native test-tsan test-windows fuzz test-release dist-check test-rescue

test-native: setup-test native
	tools/run-native-tests.sh $(NATIVE_DIR)

# The walks that share a frontier, and qfscan --jobs, under ThreadSanitizer (which cannot join
# the address sanitizer of the native tree): the walk's unit tests and qfscan's threaded tests.
TSAN_DIR := $(BUILD)/tsan
test-tsan: setup-build setup-test
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DQF_TEST_SEAMS=ON -DQF_SANITIZE=-fsanitize=thread >/dev/null
	cmake --build $(TSAN_DIR) -j $(JOBS) --target qf_unit_tests qfscan
	cd $(TSAN_DIR) && QF_SAMPLES=$(abspath $(TSAN_DIR))/samples TSAN_OPTIONS=halt_on_error=1 \
	    $(abspath tools/without-dac.sh) tests/unit/qf_unit_tests --gtest_filter='*Walk*'
	cd $(TSAN_DIR) && QF_SAMPLES=$(abspath $(TSAN_DIR))/samples TSAN_OPTIONS=halt_on_error=1 \
	    $(abspath tools/without-dac.sh) /usr/bin/python3 $(abspath tests/console/qfscan_test.py) --linux ./qfscan \
	    -k jobs -k stop_with -k report_that

test-windows: setup-test windows
	@echo "Windows tests run the $(TEST_ARCH) build ($(TEST_DIR))"
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS) -E xp_imports
	cd $(SHIP_DIR) && ctest --output-on-failure -R xp_imports

run: windows
	tools/run.sh $(TEST_DIR) $(TEST_ARCH)

# Benchmarks build optimised and without sanitizers, in a tree of their own; the Windows side
# runs the test architecture's build under Wine.
BENCH_DIR := $(BUILD)/bench
bench: setup-bench windows
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DQF_SANITIZE= -DQF_TEST_SEAMS=OFF >/dev/null
	cmake --build $(BENCH_DIR) -j $(JOBS) --target qfscan qf_native_floor qf_parallel_floor qf_whole_file qf_measure qf_corpus_plant \
	    qf_wof_plugin qf_samples
	bench/run-bench.sh $(BENCH_DIR) $(TEST_DIR) $(TEST_ARCH)

# Fuzzes the PE decision for QF_FUZZ_SECONDS (60 unless set), seeded with the sample programs,
# then replays every crash input saved in tests/fuzz/crashes; a new crash lands there too. The
# fuzz tree is built by clang (libFuzzer is clang's), all of it instrumented for the fuzzer's
# coverage and with the address and undefined-behaviour sanitizers.
FUZZ_DIR := $(BUILD)/fuzz
$(FUZZ_DIR)/CMakeCache.txt: | setup-build setup-fuzz
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE= \
	    -DCMAKE_CXX_FLAGS="-O1 -g" -DQF_SANITIZE=-fsanitize=fuzzer-no-link,address,undefined -DQF_TEST_SEAMS=OFF
fuzz: setup-build setup-fuzz $(FUZZ_DIR)/CMakeCache.txt
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target pe_fuzz qf_samples qf_corpus_plant
	mkdir -p $(FUZZ_DIR)/corpus tests/fuzz/crashes
	cp $(FUZZ_DIR)/samples/*.exe $(FUZZ_DIR)/samples/*.dll $(FUZZ_DIR)/corpus/
	$(FUZZ_DIR)/bench/qf_corpus_plant 10 $(FUZZ_DIR)/samples/sample32.exe $(FUZZ_DIR)/corpus/infected10.exe \
	    00 $(FUZZ_DIR)/samples/sample32.exe $(FUZZ_DIR)/corpus/infected00.exe
	cd $(FUZZ_DIR) && ./pe_fuzz -max_total_time=$${QF_FUZZ_SECONDS:-60} -max_len=65536 -print_final_stats=1 \
	    -artifact_prefix=$(CURDIR)/tests/fuzz/crashes/ corpus 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' ; \
	    test $${PIPESTATUS[0]} -eq 0
	@saved=$$(find tests/fuzz/crashes -type f ! -name '.*'); \
	if [ -n "$$saved" ]; then echo "replaying saved crash inputs"; $(FUZZ_DIR)/pe_fuzz $$saved; fi

release: setup-build $(SHIP_DIR)/CMakeCache.txt $(RELEASE_DIR)/CMakeCache.txt
	cmake --build $(SHIP_DIR) -j $(JOBS) --target quenfold qfscan
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target qfscan qf_wof_plugin

# dist/: the archives (with qfscan.1, made from qfscan --help), the rescue image and their
# checksums. With SIGN_CERT and SIGN_KEY (PEM files; SIGN_URL a timestamp server, optional) both
# Windows programs are signed before they are packed.
STAGE := $(BUILD)/dist-stage
RESCUE_WORK := $(BUILD)/rescue
dist: setup-release setup-rescue release
	rm -rf dist $(STAGE) && mkdir -p $(STAGE)
	cp $(SHIP_DIR)/quenfold.exe $(SHIP_DIR)/qfscan.exe $(STAGE)/
	if [ -n "$(SIGN_CERT)" ] && [ -n "$(SIGN_KEY)" ]; then \
	    tools/release/sign.sh "$(SIGN_CERT)" "$(SIGN_KEY)" $(SIGN_URL) -- $(STAGE)/quenfold.exe $(STAGE)/qfscan.exe; fi
	SOURCE_DATE_EPOCH=$(EPOCH) tools/rescue/make-rescue.sh $(VERSION) $(RELEASE_DIR)/qfscan $(STAGE) dist $(RESCUE_WORK)
	SOURCE_DATE_EPOCH=$(EPOCH) tools/release/make-dist.py $(VERSION) $(STAGE) $(RELEASE_DIR) dist
	cd dist && ls -l && sha256sum -c SHA256SUMS

# Two fresh clones of HEAD: each one's `make dist` sets up what it needs.
dist-check:
	tools/release/dist-check.sh $(JOBS)

# The shipped programs themselves: manifests, version resources, no debug sections, signing, the
# archives and their manual page, the Linux build in an empty root.
test-release: setup-test setup-release release native
	/usr/bin/python3 tests/release/release_test.py $(SHIP_DIR) $(RELEASE_DIR) $(NATIVE_DIR)/samples

# Quenfold Rescue: the bootable ISO and the PXE files, from Debian's packages (tools/rescue).
RESCUE_ISO := dist/quenfold-rescue-$(VERSION)-x86_64.iso
rescue: setup-rescue release
	SOURCE_DATE_EPOCH=$(EPOCH) tools/rescue/make-rescue.sh $(VERSION) $(RELEASE_DIR)/qfscan $(SHIP_DIR) dist $(RESCUE_WORK)

# The Debian source packages of what the rescue holds, into dist/quenfold-rescue-source/.
rescue-source: rescue
	tools/rescue/fetch-source.sh $(RESCUE_WORK)/sources.txt dist

# The rescue booted in QEMU from CD, stick and network, on BIOS, UEFI and Secure Boot.
test-rescue: setup-test setup-rescue-test rescue
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target qf_samples
	QF_SAMPLES=$(abspath $(RELEASE_DIR))/samples /usr/bin/python3 tests/rescue/rescue_test.py $(RESCUE_ISO) \
	    $(RESCUE_WORK)/pxe $(RELEASE_DIR)/qfscan

clean:
	rm -rf $(BUILD) dist
