# Two commands set everything up: `make test` and `make demo`.
VENV    := .venv
PY      := $(VENV)/bin/python
LOCK    := constraints.txt
TOOLS   := $(VENV)/.keltran-tools
STAMP   := $(VENV)/.keltran-built
# The test-only extension (kernel hooks, reference paths), never installed with the package.
TESTING := build/testing/.keltran-built
SOURCES := $(shell find src source -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml

# Everything installs at the versions pinned in $(LOCK). zss ships only a source
# distribution, so setuptools and wheel must be in the environment to build it.
PIP     := $(PY) -m pip install -q -c $(LOCK)
BUILD_REQS = $$($(PY) -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires'])")

.PHONY: test demo bench fuzz sanitize lock clean browser format stubs

test: $(STAMP) $(TESTING) browser
	$(VENV)/bin/mypy
	$(VENV)/bin/pytest

# The HTML report is tested in a real headless browser, Debian's chromium, installed here where
# this machine can; where it cannot, the browser tests are skipped and say why.
browser:
	@command -v chromium >/dev/null 2>&1 || { command -v apt-get >/dev/null 2>&1 && \
	    { apt-get install -y -q --no-install-recommends chromium >/dev/null 2>&1 || \
	      { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q --no-install-recommends chromium >/dev/null 2>&1; }; }; } || \
	    echo "note: chromium could not be installed; the browser tests will be skipped"

demo: $(STAMP)
	$(PY) -P -m source detect --behavior

# Longer random calls of every public function than the test suite makes.
FUZZ_EXAMPLES ?= 400
fuzz: $(STAMP)
	KELTRAN_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(VENV)/bin/pytest -q tests/test_fuzz.py

bench: $(STAMP) $(TESTING)
	for b in bench/bench_*.py; do $(PY) "$$b" || exit 1; done

# The test suite against an address- and undefined-behaviour-sanitized build of the module
# (built apart, in build/asan; the import-time subprocess tests are left out). An allocation too
# large fails as it does without the sanitizer (MemoryError), which hostile-input tests provoke,
# and a small quarantine keeps the sanitizer's own memory out of the tests' memory bounds.
ASAN_PKG := build/asan/pkg
sanitize: $(STAMP)
	cmake -S . -B build/asan -G Ninja -DKELTRAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/ninja -C build/asan all _brenmoor_testing
	rm -rf $(ASAN_PKG) && mkdir -p $(ASAN_PKG)/source
	cp -r source/. $(ASAN_PKG)/source/ && cp build/asan/_brenmoor*.so $(ASAN_PKG)/source/
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=16 PYTHONPATH=$(abspath $(ASAN_PKG)) \
	    KELTRAN_TESTING_DIR=$(abspath build/asan/testing) \
	    $(VENV)/bin/pytest -q -p no:cacheprovider tests -k "not test_import_"

# Rewrites source/_brenmoor.pyi from the signatures of the built module (left as it is when
# already up to date); tests/test_stubs.py fails while the committed stubs are stale.
stubs: $(STAMP)
	$(PY) -P scripts/make_stubs.py

# Rewrites the C++ of src/ by .clang-format and the Python by ruff's settings, in place.
FORMATTERS := $(VENV)/.keltran-formatters
format: $(FORMATTERS)
	find src -name '*.cpp' -o -name '*.hpp' | xargs $(VENV)/bin/clang-format -i
	$(VENV)/bin/ruff format source tests bench scripts

$(FORMATTERS): $(STAMP)
	touch $@

$(PY):
	@py=$$(scripts/find-python312) || exit 1; "$$py" -m venv $(VENV)

# The build tools, installed once so that rebuilds skip build isolation and reuse the
# incremental build folder.
$(TOOLS): $(PY) $(LOCK) pyproject.toml
	$(PIP) pip
	$(PIP) setuptools wheel ninja cmake $(BUILD_REQS)
	touch $@

$(STAMP): $(TOOLS) $(SOURCES)
	$(PIP) --no-build-isolation ".[test]"
	touch $@

# Built in the package's own build folder (build/<wheel tag>), where `pip install` left the
# compiled libraries, then copied to build/testing, where tests and benchmarks find it.
$(TESTING): $(STAMP)
	@dir=$$(ls -d build/cp3*/ | head -n 1) && $(VENV)/bin/cmake --build "$$dir" --target _brenmoor_testing && \
	    mkdir -p $(@D) && cp "$$dir"testing/_brenmoor_testing*.so $(@D)/
	touch $@

# Refreshes $(LOCK): installs the newest releases our version ranges allow into a throw-away
# environment and records the exact versions. Run `make clean test` afterwards and commit the
# new lock only when the suite passes.
LOCK_VENV := build/lock-venv
lock:
	rm -rf $(LOCK_VENV)
	@py=$$(scripts/find-python312) || exit 1; "$$py" -m venv $(LOCK_VENV)
	$(LOCK_VENV)/bin/python -m pip install -q --upgrade pip setuptools wheel ninja cmake \
	    $$($(LOCK_VENV)/bin/python -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires'])")
	$(LOCK_VENV)/bin/python -m pip install -q --no-build-isolation ".[test]"
	{ echo "# Exact versions the test suite passed with; refresh with 'make lock'."; \
	  $(LOCK_VENV)/bin/python -m pip freeze --all --exclude keltran; } > $(LOCK)
	rm -rf $(LOCK_VENV)

clean:
	rm -rf build $(VENV)
