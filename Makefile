# The two entry points of the README: `make demo` and `make test`. Both set up everything a fresh
# machine needs (see scripts/bootstrap.sh), then build and install the module into .venv.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: demo test install bench chart clean

$(VENV)/.ready: scripts/bootstrap.sh requirements-dev.txt
	bash scripts/bootstrap.sh

install: $(VENV)/.ready
	ORN_WERROR=ON $(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .

demo: install
	$(PY) examples/quickstart.py

test: install
	$(PY) -m pytest -q

bench: install
	$(PY) -m pip install -q --disable-pip-version-check -r bench/requirements.txt
	for script in bench/bench_*.py; do $(PY) $$script || exit 1; done

# Runs the format benchmarks once more and draws their ratios into bench/speed.png.
chart: install
	$(PY) -m pip install -q --disable-pip-version-check -r bench/requirements.txt
	$(PY) bench/chart.py

clean:
	rm -rf build $(VENV)
