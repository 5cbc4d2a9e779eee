# The two entry points: `make demo` and `make test`. Both set up the
# development environment on first use (see tools/devenv).
.PHONY: demo test build clean

demo:
	tools/devenv python3 tools/demo.py samples/sample.cif

test:
	tools/devenv tools/run-tests

build:
	tools/devenv true

clean:
	rm -rf build
