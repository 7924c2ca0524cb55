# The entry points of the README: `make demo`, `make test` and `make wheel`. All set up everything
# a fresh machine needs (see scripts/bootstrap.sh), then build and install the module into .venv.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP_INSTALL := -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps

# Suites that do not depend on the interpreter (C++ tests, fuzzing, the sanitizer build, the
# formatting check): they run with 3.12 only.
NATIVE_SUITES := tests/test_native.py tests/test_fuzz.py tests/test_sanitized.py tests/test_style.py

.PHONY: demo test install wheel bench chart clean

$(VENV)/.ready: scripts/bootstrap.sh requirements-dev.txt
	bash scripts/bootstrap.sh

install: $(VENV)/.ready
	ORN_WERROR=ON $(PY) $(PIP_INSTALL) .

demo: install
	$(PY) examples/quickstart.py

# The whole suite with 3.12, then the Python suite with every other interpreter that bootstrap
# found a venv for (.venv-3.13, ...), each with the module built and installed for it. Test files
# run in one worker process per core: the sanitizer run, the fuzzing and the native builds are
# each single-threaded for most of their time, and would otherwise run one after the other.
PYTEST := -m pytest -q -n auto --dist loadfile

test: install
	$(PY) $(PYTEST)
	@for venv in $(VENV)-3.*; do \
	  [ -x "$$venv/bin/python" ] || continue; \
	  echo "== the Python suite with $$($$venv/bin/python -V)"; \
	  ORN_WERROR=ON $$venv/bin/python $(PIP_INSTALL) . || exit 1; \
	  $$venv/bin/python $(PYTEST) -p no:cacheprovider $(NATIVE_SUITES:%=--ignore=%) || exit 1; \
	done

# A wheel for 3.12 in dist/, repaired so that it carries its own libyaml.
wheel: $(VENV)/.ready
	$(PY) scripts/build_wheel.py dist

bench: install
	$(PY) -m pip install -q --disable-pip-version-check -r bench/requirements.txt
	for script in bench/bench_*.py; do $(PY) $$script || exit 1; done

# Runs the format benchmarks once more and draws their ratios into bench/speed.png.
chart: install
	$(PY) -m pip install -q --disable-pip-version-check -r bench/requirements.txt
	$(PY) bench/chart.py

clean:
	rm -rf build dist $(VENV) $(VENV)-3.*
