# Thin wrapper over CMake.
#   make demo    builds the program and compresses a generated demo file
#   make test    builds everything once and runs every test of the normal build (quick)
# Each of the two begins by installing the Debian packages it needs that the machine
# lacks (tools/dependencies, the one list of them).
#   make check   make test, then the sanitizer build's tests, valgrind and the long sweeps
# and make bench, fuzz, package, plot, windows, test-windows, aarch64, test-aarch64, clean.

FUZZ_SECONDS ?= 60

.PHONY: all dependencies-demo dependencies-test configure build demo test check fuzz bench package plot windows test-windows \
        aarch64 test-aarch64 clean

all: build

configure:
	cmake --preset default

build: configure
	cmake --build --preset default -j 2

dependencies-demo:
	tools/dependencies demo

dependencies-test:
	tools/dependencies test

# Only the program and the generator of the demo file: no GoogleTest, no benchmark.
demo: dependencies-demo
	cmake --preset default
	cmake --build --preset default -j 2 --target installed wavgen
	mkdir -p build/demo
	./build/wavgen music 10 build/demo/demo.wav
	cd build/demo && ../twoband demo.wav
	@echo "Compressed result: build/demo/Cdemo.wav (input: build/demo/demo.wav)"

test: dependencies-test
	cmake --preset default
	cmake --build --preset default -j 2
	ctest --preset default -j 2 --label-exclude long --no-tests=error

# Everything make test runs, then the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the long checks (valgrind runs, full property sweeps).
check: test
	ctest --preset default -j 2 --label-regex long --no-tests=error
	cmake --preset sanitize
	cmake --build --preset sanitize -j 2
	ctest --preset sanitize -j 2 --no-tests=error

# Builds the libFuzzer targets with clang++ and runs each for FUZZ_SECONDS.
fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz -j 2
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# Engine speed (literal against fast kernel, the library's calls against a whole pass),
# the binary end to end on 10 minutes, the LV2 plugin in ffmpeg against ffmpeg's own
# compressor, the CLAP and VST3 plugins against the library in the same calls, and a
# quiet float sine through the LV2 plugin (no harmonic above the dither noise). The engine benchmark's repetitions run in a random interleaving, so
# that the machine's drift falls on each case alike.
bench: build
	./build/engine_bench --benchmark_enable_random_interleaving=true
	tools/bench_end_to_end.sh build
	tools/bench_plugins.sh build

# The .deb packages in build/ (the program, libtwoband1, libtwoband-dev), checked by
# lintian when installed.
package: build
	cd build && cpack
	@if command -v lintian >/dev/null; then \
	  lintian --fail-on error,warning build/twoband_*.deb build/libtwoband1_*.deb build/libtwoband-dev_*.deb && \
	    echo "lintian: no errors, no warnings"; \
	else echo "lintian is not installed: the package was not checked"; fi

# Regenerates docs/demo.png: the demo's level before and after, and the gains.
plot: build
	tools/plot_demo.sh build docs/demo.png

# The Windows console executable, build-windows/twoband.exe (MinGW-w64, static), and the
# plugins: build-windows/ladspa/twoband-ladspa.dll, build-windows/vst3/twoband.vst3 (the
# bundle) and build-windows/clap/twoband.clap.
# Both cross builds compile libFLAC and libebur128 from Debian's source packages
# (tools/debian_source.sh, into build-deps/); where one cannot be had they are built all
# the same, without FLAC or without the loudness options, and say so when configuring.
SOURCES = $$(tools/debian_source.sh flac src/libFLAC/stream_decoder.c >/dev/null && \
  echo -DTWOBAND_FLAC_SOURCE=$$(tools/debian_source.sh flac src/libFLAC/stream_decoder.c)) \
  $$(tools/debian_source.sh libebur128 ebur128/ebur128.c >/dev/null && \
  echo -DTWOBAND_EBUR128_SOURCE=$$(tools/debian_source.sh libebur128 ebur128/ebur128.c))

windows:
	cmake --preset windows $(SOURCES)
	cmake --build --preset windows -j 2

# The end-to-end tests and a side-by-side comparison against the Linux build, under Wine,
# and the LADSPA, VST3 and CLAP plugins against the Linux program.
test-windows: build windows
	tools/test_windows.sh build build-windows

# The 64-bit Arm Linux program and its tests, statically linked (g++-aarch64-linux-gnu),
# and the VST3 bundle build-aarch64/vst3/twoband.vst3 and build-aarch64/clap/twoband.clap.
aarch64:
	cmake --preset aarch64 $(SOURCES)
	cmake --build --preset aarch64 -j 2

# The Arm test suite under qemu-aarch64, and a side-by-side comparison with this build.
test-aarch64: build aarch64
	tools/test_aarch64.sh build build-aarch64

clean:
	rm -rf build build-sanitize build-fuzz build-windows build-aarch64 build-deps
