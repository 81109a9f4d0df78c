# make demo  - set up (Debian packages when missing), build, run the demo
# make test  - set up, build, run the test suite
PYTHON ?= /usr/bin/python3
export MPLBACKEND ?= Agg

.PHONY: setup build demo test clean

setup:
	bash tools/setup-debian.sh

build: setup
	MAX_JOBS=2 $(PYTHON) setup.py -q build_ext --inplace

demo: build
	PYTHONPATH=$(CURDIR) $(PYTHON) examples/demo.py

test: build
	PYTHONPATH=$(CURDIR) $(PYTHON) -P -m pytest -q tests

clean:
	rm -rf build *.so figure
