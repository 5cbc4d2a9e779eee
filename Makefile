# The two entry points: `make demo` and `make test`. Both set up the
# development environment on first use (see tools/devenv).
.PHONY: demo test standalone unit devenv asan fuzz fuzz-short bench wheel build clean

# Seconds each fuzz target runs: a short run within `make test` (every
# target, so that a crash on the seeds or near them fails the tests), a
# longer one for `make fuzz`.
FUZZ_TEST_SECONDS ?= 15
FUZZ_SECONDS ?= 60

# The demo, then the `quarzel` command (a launcher that runs this checkout
# through tools/devenv) in /usr/local/bin or ~/.local/bin.
demo:
	tools/devenv python3 tools/demo.py samples/sample.cif
	@tools/install-launcher

# Every test: nothing read from outside the checkout, native and Python
# tests, tools/devenv and the launcher on the host, the in-process Python
# tests again against a sanitizer build, and a short run of every fuzz target.
test: standalone unit devenv asan fuzz-short

standalone:
	tools/check-standalone

unit:
	tools/devenv tools/run-tests

devenv:
	tests/devenv/test_devenv.sh

asan:
	tools/devenv tools/asan-tests

fuzz:
	tools/devenv tools/fuzz $(FUZZ_SECONDS)

fuzz-short:
	tools/devenv tools/fuzz $(FUZZ_TEST_SECONDS)

bench:
	tools/devenv bench/run

wheel:
	tools/devenv tools/wheel-smoke

build:
	tools/devenv true

clean:
	rm -rf build
