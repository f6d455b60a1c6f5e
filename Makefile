# The two commands a newcomer needs: `make demo` and `make test`. Both set the
# machine up first (scripts/setup is idempotent).

PYTHON := $(CURDIR)/.venv/bin/python
JOBS := $(shell nproc)
CMAKE_COMMON := -DPython_EXECUTABLE=$(PYTHON) -DWORKTREE_RUNTIME_WERROR=ON

FUZZ_SECONDS ?= 30
FUZZ_HARNESSES = $(basename $(notdir $(wildcard tests/fuzz/*_fuzz.cpp)))

.PHONY: all setup install demo test layers core-tests python-tests stubtest sanitizer-tests wheel sdist wheel-test fuzz bench \
	test-trixie test-aarch64 clean

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

test: layers core-tests python-tests stubtest sanitizer-tests wheel-test

# No core folder includes a header of a folder above it.
layers: setup
	$(PYTHON) scripts/check_layers

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
	compiler=$$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/sanitize/CMakeCache.txt); \
	LD_PRELOAD=$$($$compiler -print-file-name=libasan.so):$$($$compiler -print-file-name=libubsan.so) ASAN_OPTIONS=detect_leaks=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
		PYTHONPATH=$(CURDIR)/build/sanitize WORKTREE_RUNTIME_EXPECTED_MODULE=$(CURDIR)/build/sanitize \
		$(PYTHON) -m pytest -q -p no:cacheprovider

# A wheel that pip installs where there is no compiler and no -dev package: a
# Release build by the project's own backend in a fresh build directory (none
# of the options of the test builds), then auditwheel copies every library
# outside the manylinux policy into it and tags it with the oldest manylinux
# that this machine's glibc allows.
wheel: setup
	rm -rf build/dist-wheel dist/*.whl
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation \
		--no-deps -C build-dir=build/dist-wheel -C cmake.build-type=Release -w build/dist-wheel/unrepaired .
	PATH=$(CURDIR)/.venv/bin:$$PATH auditwheel repair --wheel-dir dist build/dist-wheel/unrepaired/*.whl

# The source distribution: the files the build reads (pyproject.toml lists them).
sdist: setup
	rm -f dist/*.tar.gz
	$(PYTHON) -m build --sdist --no-isolation --outdir dist .

# Installs the wheel into a new environment outside the tree and checks that
# it stands on its own: its libraries, the demo, its tag and its stubs.
wheel-test: wheel
	WORKTREE_RUNTIME_WHEEL="$$(echo dist/*.whl)" \
		$(PYTHON) -m pytest -q -p no:cacheprovider tests/wheel

# Each harness runs for FUZZ_SECONDS, starting from its saved inputs; its
# growing corpus stays in build/fuzz. A crasher lands in build/fuzz/findings/:
# keep it as a saved input in tests/fuzz/corpus/<harness>/ once it is mended.
fuzz:
	scripts/setup fuzz
	cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DWORKTREE_RUNTIME_EXTENSION=OFF -DWORKTREE_RUNTIME_FUZZ=ON -DWORKTREE_RUNTIME_WERROR=ON
	cmake --build build/fuzz -j $(JOBS)
	mkdir -p build/fuzz/findings
	set -e; for harness in $(FUZZ_HARNESSES); do \
		mkdir -p build/fuzz/corpus/$$harness tests/fuzz/corpus/$$harness; \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 build/fuzz/$$harness -max_total_time=$(FUZZ_SECONDS) \
			-timeout=10 -rss_limit_mb=2560 -max_len=262144 -print_final_stats=1 \
			-artifact_prefix=build/fuzz/findings/$$harness- build/fuzz/corpus/$$harness tests/fuzz/corpus/$$harness; \
	done

# The core tests, the Python tests and tests/smoke/cross_platform.py against a
# build in a Debian 13 root, made once outside the tree: natively with that
# release's libraries, and cross-built for aarch64 and run under qemu-user.
# The smoke script must print there what it prints with this machine's build.
test-trixie: install
	scripts/setup trixie
	scripts/trixie amd64

test-aarch64: install
	scripts/setup aarch64
	scripts/trixie arm64

bench: install
	$(PYTHON) bench/run.py

clean:
	rm -rf build dist
