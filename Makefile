# Two commands set everything up: `make test` and `make demo`.
VENV    := .venv
PY      := $(VENV)/bin/python
STAMP   := $(VENV)/.keltran-built
SOURCES := $(shell find src source -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml

.PHONY: test demo bench clean

test: $(STAMP)
	$(VENV)/bin/pytest

demo: $(STAMP)
	$(PY) -P -m source.demo

bench: $(STAMP)
	for b in bench/bench_*.py; do $(PY) "$$b" || exit 1; done

# The virtual environment, with the build requirements taken from pyproject.toml so
# that rebuilds can skip build isolation and reuse the incremental build folder.
$(PY):
	@py=$$(scripts/find-python312) || exit 1; "$$py" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -c "import subprocess, sys, tomllib; \
	reqs = tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']; \
	subprocess.check_call([sys.executable, '-m', 'pip', 'install', '-q', 'ninja', *reqs])"

$(STAMP): $(PY) $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation ".[test]"
	touch $@

clean:
	rm -rf build $(VENV)
