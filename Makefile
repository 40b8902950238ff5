# Thin wrapper over CMake. `make demo` builds and compresses a generated demo file;
# `make test` builds and runs every test, in the normal and in the sanitizer build.

FUZZ_SECONDS ?= 60

.PHONY: all build demo test test-sanitize fuzz bench package plot windows test-windows clean

all: build

build:
	cmake --preset default
	cmake --build --preset default -j 2

demo: build
	mkdir -p build/demo
	./build/wavgen music 10 build/demo/demo.wav
	cd build/demo && ../twoband demo.wav
	@echo "Compressed result: build/demo/Cdemo.wav (input: build/demo/demo.wav)"

test: build test-sanitize
	ctest --preset default -j 2

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	cmake --preset sanitize
	cmake --build --preset sanitize -j 2
	ctest --preset sanitize -j 2

# Builds the libFuzzer targets with clang++ and runs each for FUZZ_SECONDS.
fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz -j 2
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# The Windows console executable, build-windows/twoband.exe (MinGW-w64, static).
windows:
	cmake --preset windows
	cmake --build --preset windows -j 2

# The end-to-end tests and a side-by-side comparison against the Linux build, under Wine.
test-windows: build windows
	tools/test_windows.sh build build-windows

# Engine speed (literal against fast kernel) and the binary end to end on 10 minutes.
bench: build
	./build/engine_bench
	tools/bench_end_to_end.sh build

# A .deb of the binary and its man page, in build/.
package: build
	cd build && cpack

# Regenerates docs/demo.png: the demo's level before and after, and the gains.
plot: build
	tools/plot_demo.sh build docs/demo.png

clean:
	rm -rf build build-sanitize build-fuzz build-windows
