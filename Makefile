# The two entry points: `make demo` and `make test`. Both set up the
# development environment on first use (see tools/devenv).
.PHONY: demo test unit asan fuzz bench wheel build clean

# Seconds each fuzz target runs within `make test` (and `make fuzz`).
FUZZ_SECONDS ?= 60

demo:
	tools/devenv python3 tools/demo.py samples/sample.cif

# Every test: native and Python tests, the Python tests again against a
# sanitizer build, and a short run of every fuzz target.
test: unit asan fuzz

unit:
	tools/devenv tools/run-tests

asan:
	tools/devenv tools/asan-tests

fuzz:
	tools/devenv tools/fuzz $(FUZZ_SECONDS)

bench:
	tools/devenv bench/run

wheel:
	tools/devenv tools/wheel-smoke

build:
	tools/devenv true

clean:
	rm -rf build
