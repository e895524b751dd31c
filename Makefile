# Entry points for people and CI; the build itself is CMake and CTest.
BUILD ?= build
JOBS ?= 2
CMAKE_ARGS ?=

.PHONY: all deps configure build demo check check-asan check-tsan check-armhf fuzz bench clean \
	musl board check-musl check-busybox

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DMINDER_TESTS=ON $(CMAKE_ARGS) >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target minder
	@scripts/demo $(BUILD)/minder

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

check-asan:
	$(MAKE) check BUILD=build-asan CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DMINDER_SANITIZE=address,undefined"

check-tsan:
	$(MAKE) check BUILD=build-tsan CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DMINDER_SANITIZE=thread"

# The static musl daemon, cJSON compiled in: build-musl/minder (x86-64) and
# build-board/minder (32-bit ARM, the board).
musl:
	@JOBS=$(JOBS) scripts/build-static x86_64

board:
	@JOBS=$(JOBS) scripts/build-static armhf

# Every test against the musl daemon: natively on x86-64 with the host's or
# BusyBox's tools, and on 32-bit ARM under qemu (with a real-time smoke run of
# the static board binary).
check-musl:
	@JOBS=$(JOBS) scripts/check-musl

check-busybox:
	@JOBS=$(JOBS) scripts/check-musl busybox

check-armhf:
	@JOBS=$(JOBS) scripts/check-armhf

fuzz:
	@scripts/fuzz 600

bench:
	@bench/run

clean:
	rm -rf build build-*
