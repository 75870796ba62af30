# The two everyday commands:
#   make demo   set everything up (when needed) and run the demonstration
#   make test   set everything up (when needed) and run the whole test suite
#
# Both create $(VENV) with CPython 3.13 when it is missing, install the pinned
# dependencies of $(PINS) and build the package in place. A second run with
# nothing changed installs and rebuilds nothing.
#
#   make test PINS=requirements/compat.txt VENV=.venv-compat   (pandas 2.3 stack)

VENV ?= .venv
PINS ?= requirements/latest.txt
PY := $(VENV)/bin/python
CMAKE_ARGS ?=
# A build with QUORVIX_ONLY=<module> (a faster build of one module) must not stick
# in the CMake cache: every build states it, empty meaning all modules.
ifeq ($(findstring QUORVIX_ONLY,$(CMAKE_ARGS)),)
override CMAKE_ARGS += QUORVIX_ONLY=
endif
PYTEST_ARGS ?=

BUILD_INPUTS := CMakeLists.txt pyproject.toml $(shell find src/cpp -type f 2>/dev/null)

.PHONY: demo test build venv bench bench-dask clean FORCE

demo: $(VENV)/.built
	$(PY) -m quorvix demo

test: $(VENV)/.built
	$(PY) -m pytest $(PYTEST_ARGS)

build: $(VENV)/.built

venv: $(VENV)/.deps

# QUORVIX_PEER_PYTHON=<interpreter with sdmetrics> adds the peer's times.
bench: $(VENV)/.built
	$(PY) benchmarks/run.py
ifneq ($(DASK),)
	$(PY) benchmarks/bench_dask.py $(BENCH_DASK_ARGS)
endif

# quorvix.dask on 20,000,000 rows x 20 columns from 40 Parquet files (about
# 3 GB written once to BENCH_DASK_DATA, outside the repository; minutes to
# run). Also run by `make bench DASK=1`.
BENCH_DASK_DATA ?= /work/scratch/quorvix-dask-bench
BENCH_DASK_ARGS ?= --data $(BENCH_DASK_DATA)
bench-dask: $(VENV)/.built
	$(PY) benchmarks/bench_dask.py $(BENCH_DASK_ARGS)

$(VENV)/bin/python:
	@py="$$(sh tools/find-python.sh)" || exit 1; \
	echo "creating $(VENV) with $$py"; \
	"$$py" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(VENV)/.deps: $(PINS) | $(VENV)/bin/python
	$(PY) -m pip install -q -r $(PINS)
	touch $@

# The CMake options of the last build; rewritten only when they change, so that
# a build with other options (QUORVIX_ONLY, QUORVIX_WERROR) reinstalls.
$(VENV)/.cmake-args: FORCE | $(VENV)/bin/python
	@echo '$(CMAKE_ARGS)' | cmp -s - $@ || echo '$(CMAKE_ARGS)' > $@

# Editable install without build isolation: the CMake tree under build/ is kept,
# so only changed sources are recompiled.
$(VENV)/.built: $(VENV)/.deps $(VENV)/.cmake-args $(BUILD_INPUTS)
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	  -Cbuild-dir=build/$(notdir $(VENV)) $(foreach a,$(CMAKE_ARGS),-Ccmake.define.$(a)) -e .
	touch $@

clean:
	rm -rf build .venv .venv-compat
