# Top-level entry points. Each target installs what it needs, configures and builds by itself.
BUILD      ?= build
BUILD_WIN  ?= build-win
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps configure build test test-native test-windows demo install clean

all: build

deps:
	bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test-native: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The Windows tree: a mingw-w64 cross build of the libraries, the module and the host tool; its suite
# (label windows) runs under Wine in a fresh prefix of the tree. The state exchange test compares
# with the Linux tree $(BUILD), which it therefore builds first.
$(BUILD_WIN)/CMakeCache.txt:
	cmake -S . -B $(BUILD_WIN) -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/mingw-w64.cmake) \
	      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLODRIN_BENCH=OFF -DLODRIN_NATIVE_DIR=$(abspath $(BUILD))

test-windows: deps build $(BUILD_WIN)/CMakeCache.txt
	cmake --build $(BUILD_WIN) -j $(JOBS)
	bash scripts/run-windows-tests.sh $(BUILD_WIN)

test: test-native test-windows

# The demo needs only the module and the host tool, not the test programs.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target lodrin_clap lodrin-host
	bash scripts/demo.sh $(BUILD)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_WIN)
