# The two set-up commands: `make run` and `make test`. Everything else is a shortcut.
PRESET ?= dev
BUILD_DIR := build
JOBS ?= $(shell nproc)

FUZZ_SECONDS ?= 60

.PHONY: all bootstrap build run test asan tsan tsan-ci bench format format-check tidy package clean fuzz fuzz-smoke

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

# The unit and integration tests under ThreadSanitizer. It builds only their binaries and the
# programs they start (the shell pulls in its sidecar and runtime program); no window tests.
# Children the tests crash on purpose must die of their own signal, not of TSan's handler (exit 66).
# TSAN_BINARIES limits the build and the run to those test binaries (every one when empty);
# TSAN_EXCLUDE is a regular expression of test names left out of the run.
TSAN_RUN_OPTIONS = second_deadlock_stack=1 handle_segv=0
TSAN_BINARIES ?=
TSAN_EXCLUDE ?=
TSAN_ALL = unit_tests $$(cmake --build --preset tsan --target help | sed -n 's/^\([a-z_]*_\(integration\|ports\)_tests\): phony$$/\1/p')
space := $() $()
TSAN_FILTER = $(if $(strip $(TSAN_BINARIES)),-R '^($(subst $(space),|,$(strip $(TSAN_BINARIES))))\.') \
  $(if $(TSAN_EXCLUDE),-E '$(TSAN_EXCLUDE)')
tsan: bootstrap
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS) --target bundle_resources $(or $(strip $(TSAN_BINARIES)),$(TSAN_ALL))
	@TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp $(TSAN_RUN_OPTIONS) $${TSAN_OPTIONS:-}" \
	  scripts/run-tests build-tsan -L '^(unit|integration)$$' $(TSAN_FILTER)

# CI's share of it: the binaries whose code under test runs threads of its own (the dispatch
# queues and pool, children and their reapers, the executor's queue, the bridge, agents, D-Bus,
# downloads), without the two tests that parse 50-70 MB files on one thread: under TSan they
# take half the run and have nothing for it to check.
TSAN_CI_BINARIES = support_integration_tests executor_integration_tests bridge_integration_tests \
  commands_tests commands_integration_tests platform_integration_tests updater_integration_tests
TSAN_CI_EXCLUDE = StoreFilesThatCannotBeLoadedOrWouldOutgrowTheCapAreNeverOverwritten|LargeConfigFileIsHandled
tsan-ci:
	@$(MAKE) --no-print-directory tsan TSAN_BINARIES="$(TSAN_CI_BINARIES)" \
	  TSAN_EXCLUDE="$(TSAN_CI_EXCLUDE)"

# Each fuzz target for FUZZ_SECONDS; the smoke run gives each a few seconds on its seed corpus.
fuzz: bootstrap
	@FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/run-fuzz

fuzz-smoke: bootstrap
	@FUZZ_SECONDS=10 scripts/run-fuzz

bench: build
	@scripts/run-bench

# The .deb and .rpm (with their debug packages) in build-package/packages: an optimised build
# with debug information for the debug packages and without developer extras.
PACKAGE_DIR := build-package
package: bootstrap
	@cmake -S . -B $(PACKAGE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESSA_DEV_BUILD=OFF \
	  -DVESSA_BUILD_TESTS=OFF -DVESSA_BUILD_BENCH=OFF --no-warn-unused-cli >/dev/null
	@cmake --build $(PACKAGE_DIR) -j $(JOBS) --target vessa bundle_resources
	@rm -rf $(PACKAGE_DIR)/packages
	@cd $(PACKAGE_DIR) && cpack

format: bootstrap
	@cmake --build --preset $(PRESET) --target format

format-check: build
	@cmake --build --preset $(PRESET) --target format-check

# clang-tidy over every source file under src/ with the dev build's compile commands; the headers
# under src/ are checked through the files that include them. Silent when clean, any finding
# fails. Two files at a time: tidy parses as slowly as the compiler. clang-tidy 22 leaves system
# headers out of its matching (14 took ten times as long); its clang marks the get_temporary_buffer
# inside libstdc++ 12's stable_sort deprecated, which is not ours to fix (GCC's -Werror build
# still catches a deprecated call of our own).
TIDY ?= clang-tidy-22
TIDY_JOBS ?= 2
tidy: bootstrap
	@test -f $(BUILD_DIR)/compile_commands.json || cmake --preset $(PRESET) >/dev/null
	@find src -name '*.cpp' | sort | xargs -P $(TIDY_JOBS) -n 1 sh -c \
	  'out=$$($(TIDY) -p $(BUILD_DIR) --quiet --warnings-as-errors="*" \
	    --header-filter="^$(CURDIR)/src/" --extra-arg=-Wno-deprecated-declarations "$$0" 2>&1) \
	    || { printf "%s\n" "$$out"; exit 1; }'

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz build-package
