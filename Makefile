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

.PHONY: setup build test demo bench clean system-packages

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

.stamp-deps: constraints.txt pyproject.toml | system-packages
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q -c constraints.txt pybind11 scikit-build-core \
	  click PyYAML fpdf2 Pillow pypdf Markdown "pandas<3" openpyxl python-calamine XlsxWriter \
	  pytest pytest-timeout playwright
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
	$(PIP) install -q --no-build-isolation --no-deps -e .
	touch $@

test: setup
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m pytest -q

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
	$(PY) -m pip install -q -c constraints.txt matplotlib
	@rm -rf bench/out
	@for b in bench/bench_*.py; do PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) $$b || exit 1; done
	$(PY) bench/report.py

clean:
	rm -rf build demo-out .stamp-* node_modules
