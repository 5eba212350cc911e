# Entry points for a fresh Debian 12 machine; see README.md.
JOBS ?= $(shell nproc)

.PHONY: setup build unit fuzz test bench run install-program clean

setup:
	bash scripts/setup

build:
	cmake --preset debug
	cmake --build --preset debug -j $(JOBS)

unit: build
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --preset debug -j $(JOBS)

# Each fuzz target runs over its seed corpus and then for a bounded number of runs
# (new inputs go to a scratch folder, never into the repository).
FUZZ_RUNS ?= 100000
fuzz:
	cmake -S . -B build/fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKURA_FUZZ=ON -DKURA_BUILD_TESTS=OFF
	cmake --build build/fuzz -j $(JOBS)
	@set -e; for t in build/fuzz/*_fuzz; do \
	  [ -x "$$t" ] || continue; name=$$(basename $$t _fuzz); \
	  scratch=$$(mktemp -d); mkdir -p fuzz/corpus/$$name; \
	  echo "fuzzing $$name"; \
	  if ! "$$t" -runs=$(FUZZ_RUNS) -max_total_time=15 $$scratch fuzz/corpus/$$name > $$scratch.log 2>&1; then \
	    cat $$scratch.log; rm -rf $$scratch $$scratch.log; exit 1; fi; \
	  tail -n 2 $$scratch.log; rm -rf $$scratch $$scratch.log; \
	done

# Sets up, runs the fuzzers briefly, then builds with warnings as errors and sanitizers
# and runs every test; last it builds the program as `make run` does (the optimiser
# warns of things the test build never sees).
test: setup
	$(MAKE) fuzz
	$(MAKE) unit
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target yomitora

bench: setup
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	for b in build/release/*_bench build/release/engine_vs_sqlite; do [ -x "$$b" ] && "$$b"; done

# The program's own folder: the program keeps its settings file and "DB" folder beside
# itself, so it runs from here, outside the build tree; rebuilding or `make clean`
# never touches a user's records.
PROGRAM_DIR ?= $(HOME)/yomitora

# Sets up, builds the release, installs the program with its read-me and help page into
# PROGRAM_DIR (the user's data there is left alone) and starts it from there.
run: setup
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target yomitora
	$(MAKE) install-program
	"$(PROGRAM_DIR)/yomitora"

PROGRAM ?= build/release/yomitora
install-program:
	mkdir -p "$(PROGRAM_DIR)"
	install -m 755 "$(PROGRAM)" "$(PROGRAM_DIR)/yomitora"
	install -m 644 app/files/readme.txt app/files/yomitora.html "$(PROGRAM_DIR)/"

clean:
	rm -rf build
