# The two commands a newcomer needs: `make demo` and `make test`. Both set the
# machine up first (scripts/setup is idempotent).

PYTHON := $(CURDIR)/.venv/bin/python
JOBS := $(shell nproc)
CMAKE_COMMON := -DPython_EXECUTABLE=$(PYTHON) -DWORKTREE_RUNTIME_WERROR=ON
SANITIZER_RUNTIMES = $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libubsan.so)

.PHONY: all setup install demo test core-tests python-tests stubtest sanitizer-tests bench clean

all: install

setup:
	scripts/setup

# Builds the module with -Werror and installs it into .venv the way any user
# would, with `pip install .`.
install: setup
	$(PYTHON) -m pip install --quiet --disable-pip-version-check --no-build-isolation \
		-C cmake.define.WORKTREE_RUNTIME_WERROR=ON .

demo: install
	$(PYTHON) examples/demo.py

test: core-tests python-tests stubtest sanitizer-tests

core-tests: setup
	cmake -S . -B build/core -DWORKTREE_RUNTIME_EXTENSION=OFF -DWORKTREE_RUNTIME_CORE_TESTS=ON $(CMAKE_COMMON)
	cmake --build build/core -j $(JOBS)
	ctest --test-dir build/core --output-on-failure -j $(JOBS)

python-tests: install
	WORKTREE_RUNTIME_EXPECTED_MODULE=$(CURDIR)/.venv/lib $(PYTHON) -m pytest -q

stubtest: install
	MYPYPATH=$(CURDIR) $(PYTHON) -m mypy.stubtest _worktree_runtime_native

# The core tests and the same Python tests against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer. The core tests run with
# leak detection; the interpreter itself is not instrumented, so its leaks
# are not reported.
sanitizer-tests: setup
	cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DWORKTREE_RUNTIME_SANITIZE=ON \
		-DWORKTREE_RUNTIME_CORE_TESTS=ON $(CMAKE_COMMON)
	cmake --build build/sanitize -j $(JOBS)
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir build/sanitize --output-on-failure
	LD_PRELOAD=$(SANITIZER_RUNTIMES) ASAN_OPTIONS=detect_leaks=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
		PYTHONPATH=$(CURDIR)/build/sanitize WORKTREE_RUNTIME_EXPECTED_MODULE=$(CURDIR)/build/sanitize \
		$(PYTHON) -m pytest -q -p no:cacheprovider

bench: install
	$(PYTHON) bench/run.py

clean:
	rm -rf build
