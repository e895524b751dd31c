# SPDX-License-Identifier: MIT
# Entry points for people and CI; the build itself is CMake and CTest.
BUILD ?= build
JOBS ?= 2
CMAKE_ARGS ?=

.PHONY: all deps configure build demo check check-asan check-tsan check-armhf fuzz bench clean \
	musl board check-board check-boot check-musl check-busybox check-docs check-fleet check-rehearse \
	release check-release check-buildroot

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

# The static musl daemon, cJSON compiled in: build-musl/minder (x86-64), and
# for the board: BOARD=armhf (ARMv7-A, VFPv3-D16, hard-float; the default)
# into build-board/, BOARD=armel (ARMv5TE, soft-float) into build-board-armel/,
# BOARD=arm64 (ARMv8-A) into build-board-arm64/.
BOARD ?= armhf
BOARD_BUILD = build-board$(patsubst %,-%,$(filter-out armhf,$(BOARD)))
# The oldest CPU of each board build's baseline that qemu emulates.
QEMU_CPU_armhf = cortex-a8
QEMU_CPU_armel = arm926
QEMU_CPU_arm64 = cortex-a53

musl:
	@JOBS=$(JOBS) scripts/build-static x86_64

board:
	@JOBS=$(JOBS) BUILD=$(BOARD_BUILD) scripts/build-static $(BOARD)

# The board binary, then its real-time smoke run under qemu-user on that CPU.
check-board: board
	@QEMU_CPU=$(QEMU_CPU_$(BOARD)) scripts/smoke-board $(BOARD_BUILD)/minder

# The boot files at work: the armhf board binary started by BusyBox init and
# by the init script in an emulated BusyBox root; the unit and procd script
# checked.
check-boot:
	@JOBS=$(JOBS) scripts/build-static armhf
	@scripts/check-boot build-board/minder

# Upgrades rehearsed by minder-tool rehearse on an emulated board, with the
# armhf and arm64 board builds (and the x86-64 one, natively) and small
# children the tests cross-compile.
check-rehearse: build
	@JOBS=$(JOBS) scripts/build-static x86_64
	@JOBS=$(JOBS) scripts/build-static armhf
	@JOBS=$(JOBS) BUILD=build-board-arm64 scripts/build-static arm64
	cd $(BUILD) && MINDER_REHEARSE=1 ctest --output-on-failure -j $(JOBS) -R '^Rehearse\.'

# The release artefacts into build-release/: the source archive, the four
# board archives, the host tool's Debian package, SHA256SUMS.
release:
	@JOBS=$(JOBS) scripts/release

# The release, then its artefacts checked, the package installed, run and
# removed, and lintian on it (as root).
check-release: release
	@scripts/check-release

# A generated fleet's run files as JSON Lines, and the jq and sqlite3
# queries of docs/fleet.md run on them.
check-fleet: build
	@scripts/check-fleet $(BUILD)

# The Buildroot package in contrib/buildroot: Buildroot's check-package on
# every file, then Buildroot builds the target directory of a 32-bit ARM
# musl image with it, offline, whose daemon runs under qemu and whose rcS
# starts minder when booted under qemu. Buildroot's tree is BUILDROOT_DIR
# (default /work/buildroot-src); nothing is fetched, and without it this
# says so and is skipped.
check-buildroot:
	@JOBS=$(JOBS) scripts/check-buildroot

# The manual pages lint-clean, and the links of the README and the guides.
check-docs:
	@scripts/check-docs

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
