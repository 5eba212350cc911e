# Entry points for a fresh Debian 12 machine; see README.md.
JOBS ?= $(shell nproc)

.PHONY: setup build test bench clean

setup:
	bash scripts/setup

build:
	cmake --preset debug
	cmake --build --preset debug -j $(JOBS)

# Sets up, builds with warnings as errors and sanitizers, and runs every test.
test: setup build
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --preset debug -j $(JOBS)

bench: setup
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	for b in build/release/*_bench; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build
