# make demo   - set up the stack (packages when missing), build, run the demo
# make test   - set up the stack, build, run the test suite and the C++ kernel suite
# STACK=debian (default): Debian bookworm's torch 1.13, numpy 1.24, ... on /usr/bin/python3
# STACK=current: the pinned releases of requirements-current.txt in a virtual
#                environment outside the clone (tools/setup-current.sh)
STACK ?= debian
export MPLBACKEND ?= Agg
# ccache's compiler links, where installed, make rebuilds of unchanged files free
# (paths under the clone are hashed relative to it, so another clone of the same tree hits too)
export PATH := $(if $(wildcard /usr/lib/ccache/g++),/usr/lib/ccache:,)$(PATH)
export CCACHE_BASEDIR ?= $(CURDIR)

ifeq ($(STACK),debian)
SETUP_CMD = bash tools/setup-debian.sh && echo /usr/bin/python3
else ifeq ($(STACK),current)
SETUP_CMD = bash tools/setup-current.sh
else
$(error STACK must be debian or current, got '$(STACK)')
endif

OUT := build/$(STACK)
LIB := $(CURDIR)/$(OUT)/lib
PY_FILE := $(OUT)/python

.PHONY: setup build demo test test-python test-cpp clean

setup:
	@mkdir -p $(OUT)
	@$(SETUP_CMD) | tail -n 1 > $(PY_FILE).new && mv $(PY_FILE).new $(PY_FILE)
	@echo "stack $(STACK): $$(cat $(PY_FILE))"

build: setup
	MAX_JOBS=2 $$(cat $(PY_FILE)) setup.py -q build_ext --build-lib $(OUT)/lib --build-temp $(OUT)/tmp

demo: build
	PYTHONPATH=$(LIB) $$(cat $(PY_FILE)) examples/demo.py

test-python: build
	HST_STACK=$(STACK) PYTHONPATH=$(LIB) $$(cat $(PY_FILE)) -P -m pytest -q tests

# On the debian stack the suite runs a second time with the kernels built for
# AVX2 alone (what most laptops run), where the machine has AVX2 and FMA: on an
# AVX-512 machine the load-time choice would never reach the AVX2 versions.
test-cpp: setup
	PYTHON=$$(cat $(PY_FILE)) HST_CPP_BUILD_DIR=$(CURDIR)/$(OUT)/cpp bash tests/cpp/run.sh
	@if [ "$(STACK)" = debian ] && grep -qw avx2 /proc/cpuinfo && grep -qw fma /proc/cpuinfo; then \
	  echo "C++ suite again, kernels built for AVX2 alone"; \
	  PYTHON=$$(cat $(PY_FILE)) HST_CPP_BUILD_DIR=$(CURDIR)/$(OUT)/cpp-avx2 HST_CMAKE_ARGS=-DHST_ISA=avx2 \
	    bash tests/cpp/run.sh; fi

test: test-python test-cpp

clean:
	rm -rf build *.so figure
