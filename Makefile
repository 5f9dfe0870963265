# Two commands set everything up: `make test` and `make demo`.
VENV    := .venv
PY      := $(VENV)/bin/python
STAMP   := $(VENV)/.keltran-built
SOURCES := $(shell find src source -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml

.PHONY: test demo bench sanitize clean

test: $(STAMP)
	$(VENV)/bin/pytest

demo: $(STAMP)
	$(PY) -P -m source.demo

bench: $(STAMP)
	for b in bench/bench_*.py; do $(PY) "$$b" || exit 1; done

# The test suite against an address- and undefined-behaviour-sanitized build of the module
# (built apart, in build/asan; the import-time subprocess tests are left out).
ASAN_PKG := build/asan/pkg
sanitize: $(STAMP)
	cmake -S . -B build/asan -G Ninja -DKELTRAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/ninja -C build/asan
	rm -rf $(ASAN_PKG) && mkdir -p $(ASAN_PKG)/source
	cp -r source/*.py source/data build/asan/_brenmoor*.so $(ASAN_PKG)/source/
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=$(abspath $(ASAN_PKG)) \
	    $(VENV)/bin/pytest -q -p no:cacheprovider tests -k "not test_import_"

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
