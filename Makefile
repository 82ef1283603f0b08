# `make demo` and `make test` set everything up on their own; see README.md.
SHELL := /bin/bash

.DEFAULT_GOAL := help
.PHONY: help setup setup-demo test cxx-test demo docs wheel bench bench-dask sanitize clean

help:
	@echo "make demo      set up, then draw the contact sheet of all 28 modes into out/modes.png"
	@echo "make docs      set up, then redraw docs/modes.png and docs/composite.png, the sheets the README shows"
	@echo "make wheel     set up, then build manylinux wheels for both interpreters into dist/ and try each in a fresh venv"
	@echo "make test      set up, then run the tests on both interpreters (PYTEST_ARGS=... to pass options)"
	@echo "make cxx-test  set up, then build and run the C++ tests in tests/cxx/"
	@echo "make bench     set up, then run benchmarks/bench.py"
	@echo "make bench-dask  set up, then run benchmarks/bench_dask.py (3.6 GB of temporary files in build/)"
	@echo "make sanitize  set up, then run the tests on an ASan/UBSan build"
	@echo "make setup     build or find the free-threaded CPython, the venvs, the package and the test tools"
	@echo "make clean     remove build/, out/ and dist/ (keeps the venvs and the interpreter cache)"

setup:
	@bash scripts/setup.sh

# Only what the demo and the docs run on: no GoogleTest, qemu, Dask or type checkers.
setup-demo:
	@bash scripts/setup.sh --demo

test: setup
	@bash scripts/run_tests.sh $(PYTEST_ARGS)

cxx-test: setup
	@bash scripts/run_cxx_tests.sh

demo: setup-demo
	@.venv/bin/python scripts/demo.py

# Tiles of 128 pixels keep the picture small enough for a repository page.
docs: setup-demo
	@.venv/bin/python -m tarnwick sheet -o docs/modes.png --tile 128
	@.venv/bin/python -m tarnwick sheet --composite -o docs/composite.png --tile 128

wheel: setup
	@bash scripts/wheel.sh

bench: setup
	@if [[ -f benchmarks/bench.py ]]; then \
		.venv/bin/python benchmarks/bench.py $(BENCH_ARGS); \
	else \
		echo "benchmarks/bench.py does not exist yet: nothing to run"; \
	fi

bench-dask: setup
	@.venv-gil/bin/python benchmarks/bench_dask.py $(BENCH_ARGS)

sanitize: setup
	@bash scripts/sanitize.sh $(PYTEST_ARGS)

clean:
	rm -rf build out dist
