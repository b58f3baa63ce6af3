# Quenfold's front door.
#   make run    start the program under Wine (under Xvfb, with a screenshot, when there is no display)
#   make test   build everything and run every test: native unit tests, Windows tests under Wine,
#               end-to-end tests of the program under Xvfb
#   make build  build only; make bench: the benchmarks; make test-tsan: the threaded walk under
#               ThreadSanitizer
#   make dist   the release archives in dist/ (SIGN_CERT=... SIGN_KEY=... to sign); make dist-check:
#               the same bytes from two clones
# Each target installs the tools it needs first (tools/setup.sh), then works in a sub-make, so
# that the choice of test architecture sees the installed Wine.

BUILD ?= build
JOBS  ?= $(shell nproc)

.PHONY: all setup build native windows test test-tsan test-native test-windows run bench fuzz clean release dist dist-check \
        test-release rescue rescue-source test-rescue

all: build

setup:
	@tools/setup.sh

build native windows test test-tsan test-native test-windows run bench fuzz release dist dist-check test-release rescue rescue-source test-rescue: setup
	@$(MAKE) --no-print-directory -f tools/build.mk $@ BUILD=$(BUILD) JOBS=$(JOBS) \
	    TEST_ARCH=$$(tools/test-arch.sh) SIGN_CERT="$(SIGN_CERT)" SIGN_KEY="$(SIGN_KEY)" SIGN_URL="$(SIGN_URL)"

clean:
	rm -rf $(BUILD) dist
