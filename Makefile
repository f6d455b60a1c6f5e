# The two commands a newcomer needs: `make demo` and `make test`. Both set the
# machine up first (scripts/setup is idempotent).

PYTHON := $(CURDIR)/.venv/bin/python
# The free-threaded CPython 3.13's environment (scripts/setup ft).
PYTHON_FT := $(CURDIR)/.venv-ft/bin/python
JOBS := $(shell nproc)
CMAKE_COMMON := -DPython_EXECUTABLE=$(PYTHON) -DWORKTREE_RUNTIME_WERROR=ON

FUZZ_SECONDS ?= 30
FUZZ_HARNESSES = $(basename $(notdir $(wildcard tests/fuzz/*_fuzz.cpp)))

.PHONY: all setup install demo test layers core-tests core-tests-fallbacks python-tests stubtest sanitizer-tests wheel sdist \
	wheel-test fuzz check-portable bench setup-ft install-ft test-ft sanitizer-tests-ft wheel-ft wheel-test-ft \
	test-trixie test-aarch64 clean

all: install

setup:
	scripts/setup

setup-ft:
	scripts/setup ft

# Builds the module with -Werror and installs it into an environment the way
# any user would, with `pip install .`: $(call install_module,python,build dir)
define install_module
	$(1) -m pip install --quiet --disable-pip-version-check --no-build-isolation \
		-C build-dir=$(2) -C cmake.define.WORKTREE_RUNTIME_WERROR=ON .
endef

install: setup
	$(call install_module,$(PYTHON),build/wheel)

demo: install
	$(PYTHON) examples/demo.py

test: layers core-tests core-tests-fallbacks python-tests stubtest sanitizer-tests wheel-test

# No core folder includes a header of a folder above it.
layers: setup
	$(PYTHON) scripts/check_layers

core-tests: setup
	cmake -S . -B build/core -DWORKTREE_RUNTIME_EXTENSION=OFF -DWORKTREE_RUNTIME_CORE_TESTS=ON $(CMAKE_COMMON)
	cmake --build build/core -j $(JOBS)
	ctest --test-dir build/core --output-on-failure -j $(JOBS)

# The core tests again, with the replacements that other systems need for the
# Linux-only calls (see platform/linux_calls.hpp) taken on Linux too: a rename
# that refuses to replace made of a link and an unlink, BSD locks, the walk
# in place of openat2, polling for a child's exit, pipe then FD_CLOEXEC.
core-tests-fallbacks: setup
	cmake -S . -B build/core-fallbacks -DWORKTREE_RUNTIME_EXTENSION=OFF -DWORKTREE_RUNTIME_CORE_TESTS=ON \
		-DWORKTREE_RUNTIME_PORTABLE_FALLBACKS=ON $(CMAKE_COMMON)
	cmake --build build/core-fallbacks -j $(JOBS)
	ctest --test-dir build/core-fallbacks --output-on-failure -j $(JOBS)

python-tests: install
	WORKTREE_RUNTIME_EXPECTED_MODULE=$(CURDIR)/.venv/lib $(PYTHON) -m pytest -q

stubtest: install
	MYPYPATH=$(CURDIR) $(PYTHON) -m mypy.stubtest _worktree_runtime_native

# The Python tests against the sanitizer build in a build directory, the
# sanitizers' runtimes loaded into the interpreter, which is not instrumented
# itself, so its leaks are not reported:
# $(call sanitized_python_tests,python,build dir,more environment)
define sanitized_python_tests
	compiler=$$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' $(2)/CMakeCache.txt); \
	LD_PRELOAD=$$($$compiler -print-file-name=libasan.so):$$($$compiler -print-file-name=libubsan.so) ASAN_OPTIONS=detect_leaks=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(3) \
		PYTHONPATH=$(CURDIR)/$(2) WORKTREE_RUNTIME_EXPECTED_MODULE=$(CURDIR)/$(2) \
		$(1) -m pytest -q -p no:cacheprovider
endef

# The core tests and the same Python tests against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer. The core tests run with
# leak detection; the interpreter allocates its objects with malloc, where
# AddressSanitizer sees them.
sanitizer-tests: setup
	cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DWORKTREE_RUNTIME_SANITIZE=ON \
		-DWORKTREE_RUNTIME_CORE_TESTS=ON $(CMAKE_COMMON)
	cmake --build build/sanitize -j $(JOBS)
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir build/sanitize --output-on-failure
	$(call sanitized_python_tests,$(PYTHON),build/sanitize,PYTHONMALLOC=malloc)

# A wheel that pip installs where there is no compiler and no -dev package: a
# Release build by the project's own backend in a fresh build directory (none
# of the options of the test builds), then auditwheel copies every library
# outside the manylinux policy into it and tags it with the oldest manylinux
# that this machine's glibc allows. Each interpreter's wheel replaces only
# its own in dist/: $(call build_wheel,python,build dir,ABI tag)
define build_wheel
	rm -rf $(2) dist/*-$(3)-*.whl
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(1) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation \
		--no-deps -C build-dir=$(2) -C cmake.build-type=Release -w $(2)/unrepaired .
	PATH=$(dir $(1)):$$PATH auditwheel repair --wheel-dir dist $(2)/unrepaired/*.whl
endef

wheel: setup
	$(call build_wheel,$(PYTHON),build/dist-wheel,cp313-cp313)

# The source distribution: the files the build reads (pyproject.toml lists them).
sdist: setup
	rm -f dist/*.tar.gz
	$(PYTHON) -m build --sdist --no-isolation --outdir dist .

# Installs the wheel into a new environment outside the tree and checks that
# it stands on its own: its libraries, the demo, its tag and its stubs.
wheel-test: wheel
	WORKTREE_RUNTIME_WHEEL="$$(echo dist/*-cp313-cp313-*.whl)" \
		$(PYTHON) -m pytest -q -p no:cacheprovider tests/wheel

# The same for the free-threaded CPython 3.13 (built once, outside the tree,
# by scripts/setup ft): the module in .venv-ft, the whole Python suite and
# stubtest under it with the GIL off, and its own cp313t wheel.
install-ft: setup-ft
	$(call install_module,$(PYTHON_FT),build/wheel-ft)

test-ft: install-ft
	WORKTREE_RUNTIME_EXPECTED_MODULE=$(CURDIR)/.venv-ft/lib $(PYTHON_FT) -m pytest -q
	MYPYPATH=$(CURDIR) $(PYTHON_FT) -m mypy.stubtest _worktree_runtime_native

# The Python tests under the free-threaded interpreter against a sanitizer
# build. That interpreter allocates its objects with mimalloc only (it refuses
# PYTHONMALLOC=malloc): AddressSanitizer sees the module's own memory.
sanitizer-tests-ft: setup-ft
	cmake -S . -B build/sanitize-ft -DCMAKE_BUILD_TYPE=Debug -DWORKTREE_RUNTIME_SANITIZE=ON \
		-DPython_EXECUTABLE=$(PYTHON_FT) -DWORKTREE_RUNTIME_WERROR=ON
	cmake --build build/sanitize-ft -j $(JOBS)
	$(call sanitized_python_tests,$(PYTHON_FT),build/sanitize-ft,)

wheel-ft: setup-ft
	$(call build_wheel,$(PYTHON_FT),build/dist-wheel-ft,cp313-cp313t)

wheel-test-ft: wheel-ft
	WORKTREE_RUNTIME_WHEEL="$$(echo dist/*-cp313-cp313t-*.whl)" \
		$(PYTHON_FT) -m pytest -q -p no:cacheprovider tests/wheel

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

# Compiles every core source and test for macOS, FreeBSD and musl with zig's
# clang (the PyPI wheel ziglang, which `scripts/setup portable` installs), and
# the extension for musl; nothing is linked or run.
check-portable:
	scripts/setup portable
	$(PYTHON) scripts/check_portable -j $(JOBS)

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
