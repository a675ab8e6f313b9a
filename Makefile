# A thin layer over CMake. `make run` and `make test` first install what is missing
# (scripts/install-deps.sh), then configure, build and go.
BUILD_DIR ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test test-windows windows package package-windows clean sanitize lint \
        fuzz bench micro arm64 package-arm64 test-arm64

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j$(JOBS)

run: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target morvane
	@bash scripts/run.sh $(BUILD_DIR)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)
	MORVANE_JOBS=$(JOBS) sh scripts/test-sanitizers.sh
	@MORVANE_NATIVE_BUILD=$(BUILD_DIR) bash scripts/test-windows.sh
	@MORVANE_JOBS=$(JOBS) sh scripts/test-arm64.sh $(BUILD_DIR)

# The native Windows program, cross-built with MinGW-w64: build/windows/morvane.exe.
windows:
	@bash scripts/windows.sh

# The programs for 64-bit ARM Linux, cross-built: build/arm64/morvane, morvane-render and
# bench/morvane-bench (scripts/arm64.sh; see README.md, "ARM64").
arm64:
	@MORVANE_JOBS=$(JOBS) sh scripts/arm64.sh

# The ARM64 tests under qemu-aarch64 (part of `make test`).
test-arm64: build
	@MORVANE_JOBS=$(JOBS) sh scripts/test-arm64.sh $(BUILD_DIR)

# Packages (see README.md, "Installing"): build/packages/morvane_<version>_<arch>.deb, and
# build/windows/packages/morvane-<version>-windows-x86_64.zip. Only what is installed is built.
package: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target morvane morvane-render morvane-documents
	cpack --config $(BUILD_DIR)/CPackConfig.cmake

package-windows:
	@bash scripts/windows.sh --package

package-arm64:
	@MORVANE_JOBS=$(JOBS) sh scripts/arm64.sh --package

# The Windows unit and end-to-end tests under Wine (part of `make test`).
test-windows:
	@MORVANE_NATIVE_BUILD=$(BUILD_DIR) bash scripts/test-windows.sh

# Robustness: the sanitizer builds alone, the static checks, a fuzzing session of the
# command-line parser (see README.md, "Robustness").
sanitize: deps
	MORVANE_JOBS=$(JOBS) sh scripts/test-sanitizers.sh

lint: deps
	MORVANE_JOBS=$(JOBS) sh scripts/lint.sh

fuzz: deps
	MORVANE_JOBS=$(JOBS) sh scripts/fuzz.sh

# Benchmarks (see README.md, "Performance"): the whole frame stage by stage, and the inner
# loops beside their scalar twins.
BENCH_ARGS ?=
bench: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target morvane-bench
	$(BUILD_DIR)/bench/morvane-bench $(BENCH_ARGS)

micro: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target morvane-micro
	$(BUILD_DIR)/bench/morvane-micro

clean:
	rm -rf $(BUILD_DIR)
