# The two commands of the README: `make demo` and `make test`.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

# The demo builds only what packing the example takes: mkportable, and the
# launcher and miniunz that it packs, for this machine. Every other target
# builds everything, the test suite and the 32-bit programs included.
DEMO_CMAKE_FLAGS = -DPORTABLE_TESTS=OFF -DPORTABLE_I386=OFF -DPORTABLE_ARM64=OFF
FULL_CMAKE_FLAGS = -DPORTABLE_TESTS=ON -DPORTABLE_I386=ON -DPORTABLE_ARM64=ON

.PHONY: all deps demo-deps build test demo package sanitize fuzz hardening-report bench format clean

all: build

# The Debian packages that building, testing and packaging need.
deps:
	@scripts/install-deps.sh test

# Only those that building the launcher, miniunz and mkportable needs.
demo-deps:
	@scripts/install-deps.sh demo

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(FULL_CMAKE_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

demo: demo-deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(DEMO_CMAKE_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) --target mkportable packaged_programs
	@scripts/demo.sh $(BUILD_DIR)

# The Debian package of mkportable and its SDK, in $(BUILD_DIR)/package,
# checked by lintian when it is installed (make test installs it): an error
# or a warning fails. cmake/debian/lintian-overrides gives the reason for
# each tag that stays.
package: build
	rm -f $(BUILD_DIR)/package/mkportable*.deb $(BUILD_DIR)/package/mkportable*.ddeb
	cmake --build $(BUILD_DIR) --target package
	@if command -v lintian >/dev/null; then \
	    echo "lintian $(BUILD_DIR)/package/mkportable_*.deb"; \
	    lintian --fail-on error,warning $(BUILD_DIR)/package/mkportable_*.deb; \
	else \
	    echo "lintian is not installed: the package is unchecked (make test installs it)"; \
	fi

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	$(MAKE) test BUILD_DIR=build-sanitize BUILD_TYPE=Debug CMAKE_FLAGS=-DPORTABLE_SANITIZE=ON

# docs/hardening.md: what the attacking tests tried and whether it held.
hardening-report: build
	scripts/hardening-report.sh $(BUILD_DIR)

# libFuzzer targets, each run for FUZZ_SECONDS (default 60).
fuzz: deps
	scripts/fuzz.sh

# The package against unzip, bsdtar, miniunzip and makeself; writes
# docs/performance.md. BENCH_FLAGS=--short for the quick run.
bench: build
	bench/run.sh $(BENCH_FLAGS) $(BUILD_DIR)

# Lays out every C and C++ source as .clang-format says (layout only).
format: deps
	git ls-files -z '*.h' '*.c' '*.cpp' | xargs -0 clang-format -i

clean:
	rm -rf build build-sanitize build-fuzz
