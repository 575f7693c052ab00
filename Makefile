# Wraps dependency installation, CMake and CTest. `make run` and `make test` are the README's commands.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test run bench clean

all: build

deps:
	./scripts/install-deps

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

configure: $(BUILD_DIR)/build.ninja

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps
	$(MAKE) build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

run: deps
	$(MAKE) build
	./scripts/run-lumidex $(BUILD_DIR) $(ARGS)

bench: deps
	$(MAKE) build
	./bench/run-all $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
