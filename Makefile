# Thin wrapper over CMake. `make demo` builds and compresses a generated demo file;
# `make test` builds and runs every test.

.PHONY: all build demo test clean

all: build

build:
	cmake --preset default
	cmake --build --preset default -j 2

demo: build
	mkdir -p build/demo
	./build/wavgen music 10 build/demo/demo.wav
	cd build/demo && ../twoband demo.wav
	@echo "Compressed result: build/demo/Cdemo.wav (input: build/demo/demo.wav)"

test: build
	ctest --preset default -j 2

clean:
	rm -rf build
