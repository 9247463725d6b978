# Quick start: `make run` builds and starts the engine on its embedded defaults;
# `make test` builds and runs every test. Both install what is missing first.
PRESET ?= default
BUILD_DIR := build/$(PRESET)

.PHONY: deps configure build run test bench package clean

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET)

run: build
	@scripts/run-demo $(BUILD_DIR)

test: build
	@ctest --preset $(PRESET)

bench: build
	@scripts/run-benchmarks $(BUILD_DIR)

# A Debian package in $(BUILD_DIR) (docs/packaging.md), then the test that inspects it.
package: build
	@cd $(BUILD_DIR) && cpack -G DEB
	@ctest --preset $(PRESET) -R 'InstallTest|PackageTest'

clean:
	rm -rf build
