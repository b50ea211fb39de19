# One-command set-up: `make demo` runs the settings report on an emulated camera,
# `make test` runs the test suite. Both create .venv with CPython 3.10 and
# install the package (with pypylon) into it first.

PYTHON310 ?= $(shell (pyenv prefix 3.10.13 >/dev/null 2>&1 && echo $$(pyenv prefix 3.10.13)/bin/python3.10) || command -v python3.10)
VENV      := .venv
VPY       := $(VENV)/bin/python
STAMP     := $(VENV)/.installed

.PHONY: all venv install test demo bench asan clean

all: install

$(VPY):
	@if [ -z "$(PYTHON310)" ] || ! "$(PYTHON310)" -c 'import sys; assert sys.version_info[:2] == (3, 10)' 2>/dev/null; then \
	  echo "CPython 3.10 (with its headers) is required but was not found."; \
	  echo "Install it, e.g. 'pyenv install 3.10.13' or 'apt-get install python3.10 python3.10-dev python3.10-venv',"; \
	  echo "or point PYTHON310=/path/to/python3.10 at one."; \
	  exit 1; \
	fi
	"$(PYTHON310)" -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

venv: $(VPY)

$(STAMP): $(VPY) pyproject.toml CMakeLists.txt $(shell find src -type f 2>/dev/null)
	$(VPY) -m pip install --quiet ".[test]"
	@touch $@

install: $(STAMP)

test: install
	$(VPY) -m pytest -q tests

demo: install
	PYLON_CAMEMU=1 $(VENV)/bin/tavrocam-report

bench: install
	PYLON_CAMEMU=1 $(VPY) bench/bench_getter.py

# The whole suite against an AddressSanitizer build of the extension.
asan: install
	$(VPY) -m pip install --quiet cmake ninja
	$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_BUILD_TYPE=Debug -DTAVROCAM_ASAN=ON >/dev/null
	$(VENV)/bin/cmake --build build/asan
	PYTHONPATH=$(abspath build/asan) \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so.6)" \
	  ASAN_OPTIONS=detect_leaks=0 $(VPY) -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf $(VENV) build
