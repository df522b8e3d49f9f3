# dorvex: `make demo` runs every command on examples/, `make test` runs the tests.
# Both set everything up first (a virtual environment in .venv, the Mermaid
# renderer from the npm registry, Debian's chromium and poppler-utils).

PYTHON ?= python3.11
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(VENV)/bin/pip
DEBS   := chromium poppler-utils fonts-dejavu-core fonts-noto-cjk fonts-noto-color-emoji
SOURCES := $(shell find dorvex corvalib -name '*.cpp' -o -name '*.hpp' -o -name '*.py') \
           CMakeLists.txt pyproject.toml

.PHONY: setup build test wheel-check lint format demo bench clean system-packages

setup: .stamp-deps .stamp-node build

# Debian packages: installed as root, otherwise named for the user to install.
system-packages:
	@missing=""; for p in $(DEBS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing Debian packages:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "Please install these Debian packages: sudo apt-get install$$missing"; exit 1; \
	  fi; \
	fi

# pyproject.toml is the one list of what dorvex needs: its build requirements
# and the `test` extra are installed at the versions pinned in constraints.txt.
BUILD_REQUIRES = $(shell $(PYTHON) -c "import tomllib; print(' '.join(repr(r) for r in tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']))")
# The requirements of one extra (lint, bench), for tools that are no part of
# the installed package.
extra = $(shell $(PYTHON) -c "import tomllib; print(' '.join(repr(r) for r in tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['$(1)']))")
# CI builds with warnings as errors.
BUILD_FLAGS := --no-build-isolation $(if $(CI),-C cmake.define.DORVEX_WERROR=ON)

.stamp-deps: constraints.txt pyproject.toml | system-packages
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q -c constraints.txt $(BUILD_REQUIRES)
	$(PIP) install -q -c constraints.txt $(BUILD_FLAGS) -e ".[test]"
	touch $@

# The Mermaid CLI without its own browser download; tools/mmdc runs it with
# Debian's Chromium and is linked into .venv/bin as `mmdc`.
.stamp-node: package.json package-lock.json | .stamp-deps
	PUPPETEER_SKIP_DOWNLOAD=true npm ci --no-audit --no-fund --loglevel=error
	ln -sf ../../tools/mmdc $(VENV)/bin/mmdc
	touch $@

# An editable install; the build folder under build/ makes rebuilds incremental.
build: .stamp-build
.stamp-build: $(SOURCES) | .stamp-deps
	$(PIP) install -q $(BUILD_FLAGS) --no-deps -e .
	touch $@

test: setup
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m pytest -q
	$(MAKE) --no-print-directory wheel-check

# The wheel as a user installs it: built from the same build folder (so only
# changed objects are compiled again), without C++ sources, installed alone
# into a fresh virtual environment, where every command must load and run.
WHEEL_VENV := build/wheel-venv
wheel-check: build
	rm -rf dist && $(PIP) wheel -q $(BUILD_FLAGS) --no-deps -w dist .
	@if $(PY) -m zipfile -l dist/dorvex-*.whl | grep -E '(\.cpp|\.hpp|CMakeLists\.txt) '; then \
	  echo "wheel-check: the wheel carries source files"; exit 1; fi
	rm -rf $(WHEEL_VENV) && $(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/pip install -q -c constraints.txt "$$(ls dist/dorvex-*.whl)[all]"
	tmp=$$(mktemp -d) && cd $$tmp && \
	for c in platebook leaf-mix notepress chartsite tally-run spend-file card-hall; do \
	  $(CURDIR)/$(WHEEL_VENV)/bin/dor-vex $$c --generate-config >/dev/null || exit 1; \
	done && \
	$(CURDIR)/$(WHEEL_VENV)/bin/dor-vex card-hall -c config_cardhall_template.yaml && \
	test -s index.html && cd / && rm -rf $$tmp
	@echo "wheel-check: $$(ls dist/) installs and runs"

# Each examples/<command>/demo.sh runs one command; card-hall comes last
# because its page links the other results.
DEMOS := platebook leafmix notepress chartsite tallyrun spendfile cardhall
demo: setup
	@rm -rf demo-out && mkdir -p demo-out
	@for d in $(DEMOS); do \
	  if [ -f examples/$$d/demo.sh ]; then \
	    echo "== $$d"; PATH="$(CURDIR)/$(VENV)/bin:$$PATH" bash examples/$$d/demo.sh "$(CURDIR)/demo-out" || exit 1; \
	  fi; \
	done
	@echo; echo "Results are in $(CURDIR)/demo-out"

BENCH_DEBS := img2pdf pandoc texlive-extra-utils
bench: setup
	@missing=""; for p in $(BENCH_DEBS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ] && [ "$$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq $$missing >/dev/null; fi
	$(PIP) install -q -c constraints.txt $(call extra,bench)
	@rm -rf bench/out
	@for b in bench/bench_*.py; do PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) $$b || exit 1; done
	$(PY) bench/report.py

# clang-format (the checked-in .clang-format) over the C++, ruff over the Python;
# `make format` applies clang-format.
CXX_SOURCES = $(wildcard dorvex/*/*.cpp dorvex/*/*.hpp)
lint: .stamp-deps
	$(PIP) install -q -c constraints.txt $(call extra,lint)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check .

format: .stamp-deps
	$(PIP) install -q -c constraints.txt $(call extra,lint)
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

clean:
	rm -rf build dist demo-out .stamp-* node_modules
