# The two set-up commands: `make run` and `make test`. Everything else is a shortcut.
PRESET ?= dev
BUILD_DIR := build
JOBS ?= $(shell nproc)

.PHONY: all bootstrap build run test asan bench format format-check package clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET) -j $(JOBS)

run: build
	@scripts/run-app

test: build
	@scripts/run-tests $(BUILD_DIR)

asan: bootstrap
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS) --target unit_tests
	@scripts/run-tests build-asan -L unit

bench: build
	@scripts/run-bench

# The .deb and .rpm (with their debug packages) in build/packages.
package: bootstrap
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET) -j $(JOBS) --target vessa bundle_resources
	@rm -rf $(BUILD_DIR)/packages
	@cd $(BUILD_DIR) && cpack

format: bootstrap
	@cmake --build --preset $(PRESET) --target format

format-check: build
	@cmake --build --preset $(PRESET) --target format-check

clean:
	rm -rf build build-asan build-release
