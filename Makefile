# Thin entry points.  `make demo` and `make test` do everything from a fresh
# Debian 12 machine (as root): packages, virtual environments, build, run.
PY ?= /usr/bin/python3
PYTEST_ARGS ?=

.PHONY: setup venvs build lint test test311 test310 demo bench sanitize sanitize-subset clean

setup:
	bash scripts/setup.sh

# Both interpreters' environments, with the project (and its native modules)
# installed into each.
venvs: setup
	bash scripts/venvs.sh all

# In-place build for development: libraries land beside python/ sources.
# Needs the packages of `make setup` installed, but neither root nor apt.
# TAVOX_WERROR=1 in the environment makes compiler warnings errors (CI).
build:
	cmake -S . -B build/dev-$(notdir $(PY)) -DPython_EXECUTABLE=$(PY) >/dev/null
	cmake --build build/dev-$(notdir $(PY)) -j2

# clang-tidy over every C++ source under src/ (.clang-tidy), two files at a
# time, with the compile commands of a configured CMake tree (scripts/lint.sh;
# nothing is built).  Needs clang-tidy (make setup), neither root nor apt.
lint:
	bash scripts/lint.sh

test: venvs
	bash scripts/test.sh $(PYTEST_ARGS)

demo: venvs
	bash scripts/demo.sh

bench: venvs
	bash scripts/bench.sh

# The suite on a build of every native module with AddressSanitizer and
# UndefinedBehaviorSanitizer, leak detection on (scripts/sanitize.sh);
# PYTEST_ARGS narrows it to a part of the suite.
sanitize: setup
	bash scripts/sanitize.sh $(PYTEST_ARGS)

# The part of the suite CI runs sanitized (the whole of it does not fit CI's
# time beside the plain run): every module's contract, the migration, the
# leak checks, the fuzzing and the bad-input matrix.
SANITIZE_SUBSET = tests/test_native_contract.py tests/test_roster.py \
	tests/test_configuration.py tests/manifest tests/cli/commands/test_groups.py \
	tests/cli/commands/migrate tests/hardening
sanitize-subset: setup
	bash scripts/sanitize.sh $(SANITIZE_SUBSET)

# Everything the build and the environments made: a library left in place
# under python/ would shadow a fresh build on PYTHONPATH=python.
clean:
	rm -rf build .venv311 .venv310 python/tavox.egg-info
	find python -name '*.so' -delete
	find . -name __pycache__ -prune -exec rm -rf {} +
