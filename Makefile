# Entry points; everything else is CMake and CTest.
BUILD ?= build
JOBS ?= 2

.PHONY: all build demo check check-asan check-tsan clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)/minder

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

check-asan:
	$(MAKE) check BUILD=build-asan CMAKE_ARGS=-DMINDER_SANITIZE=address,undefined

clean:
	rm -rf build build-*
