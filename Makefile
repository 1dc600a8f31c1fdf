# Front door: `make demo` and `make test` set up everything they need on a
# fresh Debian machine (system packages, virtual environments, the build).

SHELL       := /bin/bash
PYTHON      ?= python3
BUILD_DIR   ?= build/cpp
VENV_DIR    ?= .venv
CMAKE_FLAGS ?=
SUDO        := $(if $(filter 0,$(shell id -u)),,sudo)
PYTEST_ARGS ?= -q

MODULE_PATH := $(abspath $(BUILD_DIR))

include python-versions.mk

.PHONY: demo test test-cpp test-python test-package bench fuzz sanitize valgrind system-deps build venvs clean \
  test-platforms test-clang test-arm64 test-windows test-pythons golden test-validation validate \
  test-tutorial tutorial wheels test-wheels sid-root old-root golden-series test-glibc test-macos \
  freethreaded-python ft-module test-freethreaded tsan test-without-proc release-linux-wheels \
  release-windows-wheels test-musl musl-python wheels-manylinux wheels-musllinux wheels-windows \
  test-wheels-linux test-wheels-aarch64 test-wheels-windows test-wheels-musl test-wheels-musl-aarch64 \
  musl-python-aarch64 \
  arm64-pythons ci-deps prove-elementary test-reproducible test-spark docs test-docs sanitize-build fuzz-exact

# Installs the Debian packages among $(1) that are missing.
apt_install = missing=$$(for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
  if [ -n "$$missing" ]; then echo "installing" $$missing; $(SUDO) apt-get update -qq && \
  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; fi

# The module alone (no C++ tests, so no GoogleTest) and NumPy: the quickest
# way from a fresh clone to a result.
DEMO_BUILD_DIR := build/module
demo: $(VENV_DIR)/demo/.ready
	cmake -S . -B $(DEMO_BUILD_DIR) -G Ninja -DZORVANE_BUILD_MODULE=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(DEMO_BUILD_DIR)
	PYTHONPATH=$(abspath $(DEMO_BUILD_DIR)) $(VENV_DIR)/demo/bin/python examples/demo.py

test: test-cpp test-python test-package test-validation test-tutorial

# GoogleTest for the C++ tests, from Debian's packages.
system-deps:
	@$(call apt_install,libgtest-dev)

# The core library, its C++ tests and the extension module, in one tree.
build: system-deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DZORVANE_BUILD_TESTS=ON -DZORVANE_BUILD_MODULE=ON \
	  -DZORVANE_BUILD_BENCHMARKS=ON -DZORVANE_WARNINGS_AS_ERRORS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) \
	  $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)

test-cpp: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure

# exp and log against MPFR's correctly rounded ones (gmpy2): 10**7 arguments
# of each over its whole range, every published hard-to-round argument and
# the boundaries (`make test-python` runs a slice of it).
prove-elementary: build $(VENV_DIR)/numpy2/.ready
	$(VENV_DIR)/numpy2/bin/python tools/prove_elementary.py $(BUILD_DIR)/zorvane_elementary_probe --require-hard

# One built module, tested under NumPy 2.x and NumPy 1.26: nothing of NumPy
# is linked, so the same file must work with both.
$(VENV_DIR)/%/.ready: requirements/%.txt
	rm -rf $(VENV_DIR)/$*
	$(PYTHON) -m venv $(VENV_DIR)/$*
	tools/pip_install.sh $(VENV_DIR)/$*/bin/python -r $<
	touch $@

venvs: $(VENV_DIR)/numpy2/.ready $(VENV_DIR)/numpy1/.ready

test-python: build venvs
	cd tests/python && ZORVANE_LONG_EXACT=1 PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/numpy2/bin/python -m pytest $(PYTEST_ARGS)
	cd tests/python && PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/numpy1/bin/python -m pytest $(PYTEST_ARGS)

# The suite with /proc hidden (a tmpfs over it, in a mount namespace of its
# own): the paths that macOS and Windows take where Linux reads /proc run
# here, and whatever needs /proc must skip with its reason.
test-without-proc: build venvs
	cd tests/python && unshare -m sh -c 'mount -t tmpfs none /proc && PYTHONPATH=$(MODULE_PATH) \
	  ../../$(VENV_DIR)/numpy2/bin/python -m pytest $(PYTEST_ARGS) -p no:cacheprovider -rs'

# sdist and wheel from a clean build, the wheel installed into a fresh
# environment, the type stub checked by mypy.
test-package: $(VENV_DIR)/numpy2/.ready
	cd tests/package && ../../$(VENV_DIR)/numpy2/bin/python -m pytest $(PYTEST_ARGS)

# The validation study's quick profile: the pipeline end to end, not the numbers.
test-validation: build $(VENV_DIR)/validate/.ready
	cd tests/validation && PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/validate/bin/python -m pytest $(PYTEST_ARGS) \
	  -p no:cacheprovider

# The validation study: size and power against Ljung-Box; rewrites
# docs/validation.md, docs/validation/results.csv and the figures.
validate: build $(VENV_DIR)/validate/.ready
	PYTHONPATH=$(MODULE_PATH) $(VENV_DIR)/validate/bin/python validation/study.py

# The many-series recipe on local Spark (examples/many_series_spark.py): its
# own environment with pyspark, and Java 17 from Debian where the machine has
# no Java.
test-spark: build $(VENV_DIR)/spark/.ready
	@command -v java >/dev/null || { $(call apt_install,openjdk-17-jre-headless); }
	cd tests/spark && PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/spark/bin/python -m pytest $(PYTEST_ARGS) \
	  -p no:cacheprovider

# The tutorial on real data: its script, and that the page says what it prints.
test-tutorial: build $(VENV_DIR)/tutorial/.ready
	cd tests/tutorial && PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/tutorial/bin/python -m pytest $(PYTEST_ARGS) \
	  -p no:cacheprovider

# Rewrites docs/tutorial.md and its figures in docs/tutorial/.
tutorial: build $(VENV_DIR)/tutorial/.ready
	PYTHONPATH=$(MODULE_PATH) $(VENV_DIR)/tutorial/bin/python tutorial/tutorial.py

# The documentation site, into build/docs/html: Sphinx with warnings as
# errors, the recipes run for their output, MathJax from Debian's package
# copied in (nothing is fetched, at build time or by the pages). Every page
# is read afresh (-E): a recipe's output depends on the module, which Sphinx
# does not know of.
DOCS_HTML := build/docs/html
DOCS_DEPS := libjs-mathjax fonts-mathjax
docs: build $(VENV_DIR)/docs/.ready
	@$(call apt_install,$(DOCS_DEPS))
	PYTHONPATH=$(MODULE_PATH) $(VENV_DIR)/docs/bin/python -m sphinx -b html -E -W --keep-going -q -j auto \
	  -d build/docs/doctrees docs $(DOCS_HTML)

# The site's pages as programs (every session shown with its output is run
# and compared, the API page against the module), then every page in
# Debian's Chromium, driven by Playwright (no browser is downloaded):
# requests, links, images, search, formulas, copy buttons, phone width and
# contrast; screenshots into build/docs/screenshots.
test-docs: docs
	@$(call apt_install,chromium)
	cd tests/docs && PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/docs/bin/python -m pytest $(PYTEST_ARGS) \
	  -p no:cacheprovider

# About 100,000 generated cases over the property tests.
fuzz: build $(VENV_DIR)/numpy2/.ready
	cd tests/python && HYPOTHESIS_PROFILE=fuzz PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/numpy2/bin/python \
	  -m pytest -q -p no:cacheprovider --hypothesis-show-statistics test_properties.py

# The C++ tests and the whole Python suite against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer; any report fails the run.
# The debug information is line tables and functions (-g1), all a report's
# frames show: the largest file compiles in 8 s of CPU instead of 12.
SANITIZE_DIR   := build/sanitize
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g1
#
# A minute of the differential fuzzer (make fuzz-exact) follows, against the
# same build: from the seed corpus it finds a fault of the exact answers within
# seconds; make fuzz-exact runs it for longer.
SANITIZE_ENV   = PYTHONMALLOC=malloc LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH=$(abspath $(SANITIZE_DIR))
sanitize: sanitize-build $(VENV_DIR)/numpy2/.ready $(VENV_DIR)/fuzz/.ready
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(SANITIZE_DIR) --output-on-failure
	cd tests/python && ZORVANE_SANITIZED=1 $(SANITIZE_ENV) ../../$(VENV_DIR)/numpy2/bin/python -m pytest $(PYTEST_ARGS) \
	  -p no:cacheprovider
	$(MAKE) --no-print-directory -o build -o sanitize-build fuzz-exact FUZZ_SECONDS=60

sanitize-build: system-deps
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG" -DZORVANE_BUILD_TESTS=ON \
	  -DZORVANE_BUILD_MODULE=ON -DZORVANE_WARNINGS_AS_ERRORS=ON -DZORVANE_STATIC_CXX_RUNTIME=OFF \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) \
	  "-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" "-DCMAKE_SHARED_LINKER_FLAGS=$(SANITIZE_FLAGS)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE_FLAGS)"
	cmake --build $(SANITIZE_DIR)

# The differential fuzzer (tests/fuzz/fuzz_exact.py: atheris, coverage-guided)
# for FUZZ_SECONDS from a copy of the seed corpus, then every input of the
# corpus it grew once more against the ASan/UBSan build. The guided run uses
# the ordinary build: GCC's sanitizer runtime provides the coverage hooks that
# atheris needs for its own, which blinds its guidance (atheris's wheel has
# no sanitizer runtime of its own). New inputs stay in build/fuzz-exact-corpus;
# a failing one is written to build/ as crash-*.
FUZZ_SECONDS ?= 1800
fuzz-exact: build sanitize-build $(VENV_DIR)/fuzz/.ready
	mkdir -p build/fuzz-exact-corpus && cp -n tests/fuzz/exact-corpus/* build/fuzz-exact-corpus/
	cd build && PYTHONPATH=$(MODULE_PATH) ../$(VENV_DIR)/fuzz/bin/python ../tests/fuzz/fuzz_exact.py \
	  fuzz-exact-corpus -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1
	set -o pipefail; cd build && $(SANITIZE_ENV) ../$(VENV_DIR)/fuzz/bin/python ../tests/fuzz/fuzz_exact.py fuzz-exact-corpus -runs=0 \
	  2>&1 | grep -v "^WARNING: Coverage symbols are being provided"

# Memcheck over a representative subset (conversions, errors, the module's
# surface) and over the C++ tests; fails on any report with a frame of ours.
valgrind: build $(VENV_DIR)/numpy2/.ready
	@$(call apt_install,valgrind)
	$(VENV_DIR)/numpy2/bin/python tests/valgrind_check.py -- $(BUILD_DIR)/zorvane_core_tests --gtest_brief=1 \
	  --gtest_filter=-*Differential*:*EveryKernel*
	cd tests/python && PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/numpy2/bin/python ../valgrind_check.py -- \
	  ../../$(VENV_DIR)/numpy2/bin/python -m pytest -q -p no:cacheprovider test_arguments.py test_inputs.py \
	  test_module.py -k "not second_initialisation and not numpy_is_not_imported"

# Kernels against the reference loop and against the floor measured in the
# same run (C++; writes benchmarks/kernel_latest.txt), then whole
# constructions against the NumPy formulation and statsmodels, and the ways
# of testing many series (Python; writes benchmarks/latest.md and
# benchmarks/timings.png), then a loop against threads on the free-threaded
# CPython (writes benchmarks/threads_latest.md). BENCH_ARGS=--quick stops at
# n = 10**5.
# The kernel choice made by 20 fresh processes follows the kernel table.
# BENCH_AGAINST=DIR adds, side by side, the thread table of the module built
# for the free-threaded CPython in DIR (another checkout's $(FT_BUILD)), and
# BENCH_AGAINST_MODULE=DIR the long series' table of the module in DIR
# (another checkout's $(BUILD_DIR), say from before a change).
BENCH_ARGS ?=
BENCH_AGAINST ?=
BENCH_AGAINST_MODULE ?=
bench: build $(VENV_DIR)/bench/.ready ft-module
	set -o pipefail; { $(BUILD_DIR)/zorvane_kernel_bench $(if $(filter --quick,$(BENCH_ARGS)),--quick,) && \
	  for i in $$(seq 20); do $(BUILD_DIR)/zorvane_kernel_bench --choice; done | sort | uniq -c | \
	  sed 's/^ */choice in 20 fresh processes: /'; } | tee benchmarks/kernel_latest.txt
	PYTHONPATH=$(MODULE_PATH) $(VENV_DIR)/bench/bin/python benchmarks/bench.py $(BENCH_ARGS)
	$(if $(BENCH_AGAINST_MODULE),PYTHONPATH=$(MODULE_PATH) $(VENV_DIR)/bench/bin/python benchmarks/against_bench.py \
	  $(abspath $(BENCH_AGAINST_MODULE)),)
	PYTHON_GIL=0 PYTHONPATH=$(abspath $(FT_BUILD)) $(FT_PYTHON) benchmarks/threads_bench.py $(filter --quick,$(BENCH_ARGS)) \
	  $(if $(BENCH_AGAINST),--against $(abspath $(BENCH_AGAINST)),)

# --- free-threaded CPython ----------------------------------------------------
# A free-threaded CPython 3.13 built from the source archive beside the
# project (checked against its checksum, built once per machine into the build cache,
# ~/.cache/zorvane, which build/freethreaded links to), with NumPy,
# pandas and pytest-run-parallel; CPYTHON_ARCHIVE names another archive.
CPYTHON_ARCHIVE ?= $(abspath ../shared/cpython/Python-3.13.0rc2-src.tar.xz)
FT_ROOT   := build/freethreaded
FT_PYTHON := $(abspath $(FT_ROOT))/python
FT_BUILD  := build/ft-module
FT_BUILD_DEPS := build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
  libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libgdbm-dev
freethreaded-python:
	@$(call apt_install,$(FT_BUILD_DEPS))
	tools/freethreaded_python.sh $(CPYTHON_ARCHIVE) $(FT_ROOT) requirements/freethreaded.txt

# The module built for it (warnings as errors), then the Python suite without
# the interpreter lock (PYTHON_GIL=0) with each test run on 4 threads at once
# (a test that cannot share its process runs alone), the thread stress in 20
# fresh processes, and the import of the module leaving the lock off when
# the interpreter is left to decide. The suite runs once on a thread of its
# own on the 3.13t wheel (make test-wheels-linux).
FT_RUN = cd tests/python && PYTHONPATH=$(abspath $(FT_BUILD)) $(1) $(FT_PYTHON) -m pytest $(PYTEST_ARGS) -p no:cacheprovider
ft-module: freethreaded-python
	cmake -S . -B $(FT_BUILD) -G Ninja -DZORVANE_BUILD_MODULE=ON -DZORVANE_WARNINGS_AS_ERRORS=ON \
	  -DPython_EXECUTABLE=$(FT_PYTHON)
	cmake --build $(FT_BUILD)
test-freethreaded: ft-module
	@echo "free-threaded CPython, PYTHON_GIL=0, every test on 4 threads at once"
	$(call FT_RUN,PYTHON_GIL=0) --parallel-threads=4 --mark-hypothesis-as-unsafe --disable-warnings
	PYTHON_GIL=0 PYTHONPATH=$(abspath $(FT_BUILD)) $(FT_PYTHON) tests/stress_threads.py --processes 20
	env -u PYTHON_GIL PYTHONPATH=$(abspath $(FT_BUILD)) $(FT_PYTHON) -W error -c 'import sys, zorvane; \
	  assert zorvane.__file__.startswith(sys.argv[1]), zorvane.__file__; \
	  assert not sys._is_gil_enabled(), "importing zorvane turned the interpreter lock on"' $(abspath $(FT_BUILD))

# ThreadSanitizer: a free-threaded CPython built by clang 19 with
# --with-thread-sanitizer (built once per machine, as the other; without CPython's own test
# modules, its requirements installed by the plain free-threaded CPython's
# pip, which is minutes faster than its own), the module and core built
# with -fsanitize=thread, then the concurrency tests and the thread stress
# without the interpreter lock; any report fails the run. The interpreter's
# known reports are suppressed by CPython's own list and the few of
# tests/tsan-suppressions.txt. The interpreter carries line tables, all a
# report's frames need (file, line, inlined functions), and compiles in less
# time than with full debug information.
TSAN_ROOT   := build/freethreaded-tsan
TSAN_PYTHON := $(abspath $(TSAN_ROOT))/python
TSAN_BUILD  := build/tsan-module
TSAN_FLAGS  := -fsanitize=thread -g -fno-omit-frame-pointer
TSAN_ENV     = PYTHON_GIL=0 PYTHONPATH=$(abspath $(TSAN_BUILD)) PATH=/usr/lib/llvm-19/bin:$$PATH \
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 allocator_may_return_null=1 suppressions=$(abspath $(TSAN_BUILD))/tsan-suppressions.txt"
tsan: freethreaded-python
	@$(call apt_install,clang-19 llvm-19 $(FT_BUILD_DEPS))
	CC=clang-19 CXX=clang++-19 OPT="-gline-tables-only -O1" PIP_PYTHON=$(FT_PYTHON) tools/freethreaded_python.sh $(CPYTHON_ARCHIVE) $(TSAN_ROOT) \
	  requirements/freethreaded.txt --with-thread-sanitizer --disable-test-modules
	CC=clang-19 CXX=clang++-19 cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZORVANE_BUILD_MODULE=ON -DZORVANE_WARNINGS_AS_ERRORS=ON -DZORVANE_STATIC_CXX_RUNTIME=OFF \
	  -DPython_EXECUTABLE=$(TSAN_PYTHON) "-DCMAKE_CXX_FLAGS=$(TSAN_FLAGS)" "-DCMAKE_MODULE_LINKER_FLAGS=$(TSAN_FLAGS)"
	cmake --build $(TSAN_BUILD)
	cat $(TSAN_ROOT)/prefix/tsan-suppressions.txt tests/tsan-suppressions.txt > $(TSAN_BUILD)/tsan-suppressions.txt
	cd tests/python && $(TSAN_ENV) $(TSAN_PYTHON) -m pytest $(PYTEST_ARGS) -s -p no:cacheprovider test_concurrency.py \
	  test_borrow_registry.py test_inputs.py test_containers.py
	$(TSAN_ENV) $(TSAN_PYTHON) tests/stress_threads.py --processes 3 --rounds 100

# Every Debian package the targets after `make test` install, at once: CI
# then runs those targets side by side, and two apt-get runs at a time would
# fail on apt's lock.
ci-deps:
	@$(call apt_install,ccache libgtest-dev valgrind clang-16 libc++-16-dev libc++abi-16-dev clang-19 llvm-16 llvm-19 file \
	  qemu-user g++-aarch64-linux-gnu g++-mingw-w64-x86-64-posix wine64 debootstrap chromium $(DOCS_DEPS) $(FT_BUILD_DEPS) \
	  $(MUSL_BUILD_DEPS))

# --- platforms --------------------------------------------------------------
# Each builds with another toolchain and runs the C++ tests (the golden file
# among them) and, where it can, the Python suite. CI runs them after
# `make test`.
test-platforms: test-clang test-arm64 test-windows test-pythons test-wheels test-glibc test-macos test-musl

# Clang with each standard library: Debian's clang 16 with libc++ 16 (and
# GoogleTest built from its sources against it), and clang 19 with GCC's
# libstdc++ 12 (clang 16 cannot use that one's <expected>). Each builds the
# core, the C++ tests and the module, and runs the C++ tests; the Python
# suite runs on the libc++ build's module (the other standard library's is
# GCC's, whose module every other suite runs).
LIBCXX := -stdlib=libc++
# $(1) build folder, $(2) clang version, $(3) extra CMake arguments
define clang_build
	CC=clang-$(2) CXX=clang++-$(2) cmake -S . -B $(1) -G Ninja -DZORVANE_BUILD_TESTS=ON -DZORVANE_BUILD_MODULE=ON \
	  -DZORVANE_WARNINGS_AS_ERRORS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) $(3)
	cmake --build $(1)
	ctest --test-dir $(1) --output-on-failure -j2
endef
test-clang: $(VENV_DIR)/numpy2/.ready
	@$(call apt_install,clang-16 libc++-16-dev libc++abi-16-dev clang-19 libgtest-dev)
	$(call clang_build,build/clang,16,-DZORVANE_GTEST_SOURCE_DIR=/usr/src/googletest "-DCMAKE_CXX_FLAGS=$(LIBCXX)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=$(LIBCXX)" "-DCMAKE_MODULE_LINKER_FLAGS=$(LIBCXX)")
	cd tests/python && PYTHONPATH=$(abspath build/clang) ../../$(VENV_DIR)/numpy2/bin/python -m pytest $(PYTEST_ARGS)
	$(call clang_build,build/clang19,19,)

# Debian's arm64 CPythons (python-versions.mk), each with NumPy's, pandas'
# and the test requirements' aarch64 wheels, run under qemu-user (cached
# under build/); the requirements are installed by a CPython of this machine
# of each version, the development suite's for those pyenv has none of.
ARM64_PYTHONS := build/arm64-pythons
# the minors of the aarch64 wheels that run on them
ARM64_MINORS  := $(filter $(ARM64_ALL),$(WHEELS_AARCH64))
arm64-pythons: sid-root
	@$(call apt_install,qemu-user)
	DEVELOPMENT_ROOT=$(SID_ROOT) tools/arm64_pythons.sh $(ARM64_PYTHONS) requirements/pythons.txt \
	  "$(WHEELS_DEBIAN_ARM64)"

# aarch64 with Debian's GCC 12 cross compiler, run under qemu-user: the C++
# tests, then the golden cases through the module on Debian's arm64 CPython
# 3.11 with NumPy's aarch64 wheel (the whole suite runs on the aarch64 wheels,
# make test-wheels-aarch64).
ARM64_DIR    := build/arm64
ARM64_PYTHON := $(ARM64_PYTHONS)/3.11
ARM64_ROOT    = $(abspath $(ARM64_PYTHON))/sysroot
test-arm64: arm64-pythons golden-series
	@$(call apt_install,g++-aarch64-linux-gnu qemu-user libgtest-dev)
	cmake -S . -B $(ARM64_DIR) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake \
	  -DZORVANE_BUILD_TESTS=ON -DZORVANE_BUILD_MODULE=ON -DZORVANE_BUILD_BENCHMARKS=ON \
	  -DZORVANE_WARNINGS_AS_ERRORS=ON -DZORVANE_GTEST_SOURCE_DIR=/usr/src/googletest \
	  -DPython_INCLUDE_DIR=$(ARM64_ROOT)/usr/include/python3.11 -DPython_SOABI=cpython-311-aarch64-linux-gnu \
	  "-DCMAKE_CXX_FLAGS=-idirafter $(ARM64_ROOT)/usr/include"
	cmake --build $(ARM64_DIR)
	qemu-aarch64 -L /usr/aarch64-linux-gnu $(ARM64_DIR)/zorvane_core_tests --gtest_brief=1
	PYTHONPATH=$(abspath $(ARM64_DIR)) $(ARM64_PYTHON)/python -c \
	  'import sys, zorvane; assert zorvane.__file__.startswith(sys.argv[1]), zorvane.__file__' $(abspath $(ARM64_DIR))
	PYTHONPATH=$(abspath $(ARM64_DIR)) $(ARM64_PYTHON)/python tools/golden_check.py build/golden-series.txt \
	  tests/golden/escanciano_lobato.txt

# 64-bit Windows with mingw-w64, run under wine: the C++ tests (LLP64, and
# Windows' C math library), then every p-value of a dense table against the
# same table computed here with glibc.
WINDOWS_DIR := build/windows
WINDOWS_ZIG_DIR := build/windows-zig
WINE        := WINEDEBUG=-all WINEPREFIX=$(abspath build/wineprefix) wine
test-windows: build $(VENV_DIR)/wheels/.ready
	@$(call apt_install,g++-mingw-w64-x86-64-posix wine64 libgtest-dev)
	cmake -S . -B $(WINDOWS_DIR) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake \
	  -DZORVANE_BUILD_TESTS=ON -DZORVANE_BUILD_MODULE=OFF -DZORVANE_WARNINGS_AS_ERRORS=ON \
	  -DZORVANE_GTEST_SOURCE_DIR=/usr/src/googletest
	cmake --build $(WINDOWS_DIR)
	$(WINE) $(WINDOWS_DIR)/zorvane_core_tests.exe --gtest_brief=1
	$(BUILD_DIR)/zorvane_golden --pvalues > $(WINDOWS_DIR)/pvalues-glibc.txt
	$(WINE) $(WINDOWS_DIR)/zorvane_golden.exe --pvalues > $(WINDOWS_DIR)/pvalues-windows.txt
	$(PYTHON) tools/compare_pvalues.py $(WINDOWS_DIR)/pvalues-glibc.txt $(WINDOWS_DIR)/pvalues-windows.txt
	@echo "the same with zig for x86_64-windows-gnu, the Windows wheels' toolchain and C library"
	bin=$$(tools/zig_wrappers.sh x86_64-windows-gnu) && CC=$$bin/cc CXX=$$bin/c++ cmake -S . -B $(WINDOWS_ZIG_DIR) \
	  -G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=AMD64 -DCMAKE_AR=$$bin/ar \
	  -DCMAKE_RANLIB=$$bin/ranlib -DZORVANE_BUILD_TESTS=ON -DZORVANE_BUILD_MODULE=OFF -DZORVANE_WARNINGS_AS_ERRORS=ON \
	  -DZORVANE_GTEST_SOURCE_DIR=/usr/src/googletest
	cmake --build $(WINDOWS_ZIG_DIR)
	$(WINE) $(WINDOWS_ZIG_DIR)/zorvane_core_tests.exe --gtest_brief=1
	$(WINE) $(WINDOWS_ZIG_DIR)/zorvane_golden.exe --pvalues > $(WINDOWS_ZIG_DIR)/pvalues-windows.txt
	$(PYTHON) tools/compare_pvalues.py $(WINDOWS_DIR)/pvalues-glibc.txt $(WINDOWS_ZIG_DIR)/pvalues-windows.txt

# musl: the C++ tests built by zig for x86_64-linux-musl (the musllinux
# wheels' toolchain) linked against Debian's musl, the system's C library
# (zig's own static one computes exp and log otherwise), then every p-value
# of a dense table against glibc's.
MUSL_BUILD_DEPS := musl musl-dev musl-tools
MUSL_ZIG_DIR := build/musl-zig
test-musl: build $(VENV_DIR)/wheels/.ready
	@$(call apt_install,$(MUSL_BUILD_DEPS) libgtest-dev)
	bin=$$(tools/zig_wrappers.sh x86_64-linux-musl) && CC=$$bin/cc CXX=$$bin/c++ cmake -S . -B $(MUSL_ZIG_DIR) \
	  -G Ninja -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=x86_64 -DCMAKE_AR=$$bin/ar \
	  -DCMAKE_RANLIB=$$bin/ranlib -DZORVANE_BUILD_TESTS=ON -DZORVANE_BUILD_MODULE=OFF -DZORVANE_WARNINGS_AS_ERRORS=ON \
	  -DZORVANE_GTEST_SOURCE_DIR=/usr/src/googletest -DCMAKE_EXE_LINKER_FLAGS=-dynamic
	cmake --build $(MUSL_ZIG_DIR)
	readelf -l $(MUSL_ZIG_DIR)/zorvane_core_tests | grep -q 'interpreter: /lib/ld-musl-x86_64.so.1'
	$(MUSL_ZIG_DIR)/zorvane_core_tests --gtest_brief=1
	$(BUILD_DIR)/zorvane_golden --pvalues > $(MUSL_ZIG_DIR)/pvalues-glibc.txt
	$(MUSL_ZIG_DIR)/zorvane_golden --pvalues > $(MUSL_ZIG_DIR)/pvalues-musl.txt
	$(PYTHON) tools/compare_pvalues.py $(MUSL_ZIG_DIR)/pvalues-glibc.txt $(MUSL_ZIG_DIR)/pvalues-musl.txt

# CPythons 3.13 built against musl from the source archive (see
# tools/musl_python.sh; cached under build/), which run the musllinux wheels
# of their version in make test-wheels: x86-64, free-threaded x86-64 (its
# requirements resolved by the glibc 3.13t's pip), and aarch64, cross-built
# by zig and run under qemu-user.
MUSL_ROOT := build/musl
MUSL_FT_ROOT := build/musl-ft
MUSL_AARCH64_ROOT := build/musl-aarch64
musl-python: freethreaded-python
	@$(call apt_install,$(MUSL_BUILD_DEPS) $(FT_BUILD_DEPS))
	tools/musl_python.sh $(CPYTHON_ARCHIVE) $(MUSL_ROOT) requirements/musl.txt
	FT_PYTHON=$(FT_PYTHON) tools/musl_python.sh $(CPYTHON_ARCHIVE) $(MUSL_FT_ROOT) requirements/musl.txt --disable-gil
musl-python-aarch64: $(VENV_DIR)/wheels/.ready
	@$(call apt_install,$(MUSL_BUILD_DEPS) qemu-user)
	tools/musl_python.sh $(CPYTHON_ARCHIVE) $(MUSL_AARCH64_ROOT) requirements/musl.txt --aarch64

# Debian systems in folders under build/, made with debootstrap from the
# machine's own mirror: the development suite (GCC 16, glibc 2.43, CPython
# 3.14 and 3.15) and Debian 11 (glibc 2.31, CPython 3.9).
SID_ROOT      := build/chroots/sid
SID_PACKAGES  := g++ cmake ninja-build libgtest-dev ca-certificates \
  $(foreach v,$(PYTHONS_DEVELOPMENT),python3.$(v) python3.$(v)-dev python3.$(v)-venv)
OLD_ROOT      := build/chroots/bullseye
OLD_PACKAGES  := python3 python3-venv ca-certificates
IN_SID        := tools/debian_chroot.sh run $(SID_ROOT)
IN_OLD        := tools/debian_chroot.sh run $(OLD_ROOT)
sid-root:
	tools/debian_chroot.sh make $(SID_ROOT) sid $(SID_PACKAGES)
old-root:
	tools/debian_chroot.sh make $(OLD_ROOT) bullseye $(OLD_PACKAGES)

# Every CPython 3.9 to 3.13 on the machine (pyenv's here), then 3.14 and
# 3.15 in the development suite: the module built from source with warnings
# as errors, then the golden cases through it, each announced as "Python
# 3.X". The whole suite runs on each version's wheel (make test-wheels).
# With WHEELS=ends, the versions whose wheel does not run here.
source_builds = $(if $(filter ends,$(WHEELS)),$(filter-out $(2),$(1)),$(1))
test-pythons: sid-root golden-series
	tools/test_pythons.sh build/pythons requirements/golden.txt "$(call source_builds,$(PYTHONS_HERE),$(WHEELS_HERE))"
	$(IN_SID) tools/test_pythons.sh build/sid/pythons requirements/golden.txt \
	  "$(call source_builds,$(PYTHONS_DEVELOPMENT),$(WHEELS_DEVELOPMENT))"

# Every wheel, into dist/, with zig from PyPI:
# - wheels-manylinux: manylinux2014 (glibc 2.17) wheels for x86-64 and aarch64
#   of every CPython 3.9 to 3.15 (3.14 and 3.15 built in the development
#   suite), the free-threaded 3.13t built here, and 3.14t and 3.15t (from the
#   development suite's headers), repaired and checked;
# - wheels-musllinux: the same for musllinux_1_2;
# - wheels-windows: win_amd64 wheels of 3.9 to 3.15 and the free-threaded
#   3.14t and 3.15t, and win_arm64 wheels of PYTHONS_WINDOWS_ARM64 (the import
#   libraries from python.org's DLLs where PyPI has them, else from the
#   headers' declarations), checked.
# With WHEELS=ends (CI's), a wheel of each kind only (python-versions.mk).
wheels: wheels-manylinux wheels-musllinux wheels-windows
# $(1) raw folder, $(2) minors here, $(3) minors of the development suite, $(4) aarch64 minors, $(5) libc
define linux_wheels
	rm -rf $(1)
	AARCH64_MINORS="$(4)" tools/build_wheels.sh $(1) "$(2)" $(5)
	$(if $(strip $(3)),$(IN_SID) env AARCH64_MINORS="$(4)" tools/build_wheels.sh $(1) "$(3)" $(5))
	tools/repair_wheels.sh $(1) dist
endef
wheels-manylinux: $(VENV_DIR)/wheels/.ready sid-root freethreaded-python
	$(call linux_wheels,build/wheels/raw-$@,$(WHEELS_HERE) $(WHEELS_FREE_THREADED),\
	  $(WHEELS_DEVELOPMENT) $(WHEELS_FREE_THREADED_HEADERS),$(WHEELS_AARCH64),)
wheels-musllinux: $(VENV_DIR)/wheels/.ready sid-root freethreaded-python
	$(call linux_wheels,build/wheels/raw-$@,$(WHEELS_MUSL_HERE),$(WHEELS_MUSL_DEVELOPMENT),$(WHEELS_MUSL_AARCH64),musl)
wheels-windows: $(VENV_DIR)/wheels/.ready sid-root
	tools/build_windows_wheels.sh dist "$(WHEELS_WINDOWS)"
	tools/build_windows_wheels.sh dist "$(WHEELS_WINDOWS_ARM64)" aarch64

# The same commit's wheels, built again in another folder at another time
# with empty compiler caches, are the same files as make wheels made here (a
# manylinux, a musllinux and a Windows one of the newest CPython here,
# x86-64): build paths are mapped out of the binaries and every timestamp is
# the commit's (SOURCE_DATE_EPOCH, tools/source_date.sh).
test-reproducible: $(VENV_DIR)/wheels/.ready wheels-manylinux wheels-musllinux wheels-windows
	tools/reproducible_wheels.sh build/reproducible dist $(lastword $(PYTHONS_HERE))

# The golden cases' inputs, for running them through an installed module.
golden-series: build
	$(BUILD_DIR)/zorvane_golden --series > build/golden-series.txt

# The same wheels on a machine that has every supported CPython on its PATH
# (the release workflow's Linux runner, which has no development suite to
# chroot into): the same build, repair and check, then each x86-64 wheel's
# suite and golden cases on its CPython; there the free-threaded 3.14t and
# 3.15t are built on their own interpreters.
FREE_THREADED_ALL := $(PYTHONS_FREE_THREADED) $(PYTHONS_FREE_THREADED_HEADERS)
ALL_PYTHONS := $(PYTHONS_HERE) $(PYTHONS_DEVELOPMENT) $(FREE_THREADED_ALL)
release-linux-wheels: $(VENV_DIR)/wheels/.ready golden-series
	rm -rf build/wheels/raw-release
	tools/build_wheels.sh build/wheels/raw-release "$(ALL_PYTHONS)"
	tools/build_wheels.sh build/wheels/raw-release "$(ALL_PYTHONS)" musl
	tools/repair_wheels.sh build/wheels/raw-release dist
	tools/test_wheels.sh dist requirements/pythons.txt "$(PYTHONS_HERE) $(PYTHONS_DEVELOPMENT)" \
	  $(WHEEL_TESTS)/release $(PYTEST_ARGS)
	PYTHON_GIL=0 PIP_ONLY_BINARY=:all: tools/test_wheels.sh dist requirements/freethreaded.txt \
	  "$(FREE_THREADED_ALL)" $(WHEEL_TESTS)/release $(PYTEST_ARGS)

# The Windows wheels there too (3.9 to 3.15, and the free-threaded 3.14t and
# 3.15t, and the win_arm64 ones), built and checked as by make wheels; the
# workflow runs each on Windows of its machine. WINDOWS_PYCONFIGS names a
# folder of CPython's PC folder of each version (3.X/PC), whose pyconfig.h
# each version's wheels take (the release checks them out).
WINDOWS_PYCONFIGS ?=
release-windows-wheels: $(VENV_DIR)/wheels/.ready golden-series
	WINDOWS_PYCONFIGS=$(WINDOWS_PYCONFIGS) tools/build_windows_wheels.sh dist \
	  "$(PYTHONS_HERE) $(PYTHONS_DEVELOPMENT) $(PYTHONS_FREE_THREADED_HEADERS)"
	WINDOWS_PYCONFIGS=$(WINDOWS_PYCONFIGS) tools/build_windows_wheels.sh dist "$(PYTHONS_WINDOWS_ARM64)" aarch64

# Each wheel that a CPython here runs, in four parts that CI runs side by side:
# - test-wheels-linux: each x86-64 manylinux wheel on its CPython: 3.9 to 3.13
#   and 3.13t (without its interpreter lock; then ft-readiness checks the
#   wheels against the classifiers and that the import leaves the lock off)
#   here (glibc 2.36), 3.14 and 3.15 in the development suite (glibc 2.43),
#   and the cp39 one again on Debian 11 (glibc 2.31, its own Python 3.9);
# - test-wheels-aarch64: the aarch64 ones of the minors that Debian has an
#   arm64 CPython of (PYTHONS_DEBIAN_ARM64), each on that CPython under qemu:
#   the golden cases on each, the suite on the oldest and the newest;
# - test-wheels-windows: the win_amd64 ones of 3.9 to 3.13 on python.org's
#   CPython under wine: the golden cases on each, the suite on the oldest and
#   the newest (NumPy 1.26 and 2.x);
# - test-wheels-musl: the musllinux ones of 3.13 (x86-64; aarch64, under
#   qemu, in test-wheels-musl-aarch64) and 3.13t (x86-64, without its lock)
#   on musl CPythons.
# Each runs the Python suite and the golden cases against the installed module.
# With WHEELS=ends (CI's), a wheel of each kind (python-versions.mk): under
# qemu the golden cases alone, under wine the suite on the newest CPython only.
WHEEL_TESTS := build/wheel-tests
# the minors of a list whose wheels run the whole suite under emulation
emulated_suites = $(if $(WHEELS_EMULATED_SUITES),$(firstword $(1)) $(lastword $(1)))
test-wheels: test-wheels-linux test-wheels-aarch64 test-wheels-windows test-wheels-musl test-wheels-musl-aarch64
test-wheels-linux: wheels-manylinux golden-series old-root
	tools/test_wheels.sh dist requirements/pythons.txt "$(WHEELS_HERE)" $(WHEEL_TESTS)/here $(PYTEST_ARGS)
	PYTHON_GIL=0 PIP_ONLY_BINARY=:all: tools/test_wheels.sh dist requirements/freethreaded.txt \
	  "$(WHEELS_FREE_THREADED)" $(WHEEL_TESTS)/here $(PYTEST_ARGS)
	env -u PYTHONPATH $(WHEEL_TESTS)/here/3.$(firstword $(WHEELS_FREE_THREADED))/bin/ft-readiness . --dist dist \
	  --import zorvane --strict
	$(IN_SID) tools/test_wheels.sh dist requirements/pythons.txt "$(WHEELS_DEVELOPMENT)" \
	  $(WHEEL_TESTS)/sid $(PYTEST_ARGS)
	$(IN_OLD) tools/test_wheels.sh dist requirements/pythons.txt 9 \
	  $(WHEEL_TESTS)/bullseye $(PYTEST_ARGS)
test-wheels-aarch64: wheels-manylinux golden-series arm64-pythons
	SUITE_MINORS="$(call emulated_suites,$(ARM64_MINORS))" \
	  tools/test_arm64_wheels.sh dist $(ARM64_PYTHONS) "$(ARM64_MINORS)" $(WHEEL_TESTS)/arm64 $(PYTEST_ARGS)
test-wheels-windows: wheels-windows golden-series
	SUITE_MINORS="$(if $(WHEELS_EMULATED_SUITES),$(firstword $(WHEELS_HERE))) $(lastword $(WHEELS_HERE))" \
	  tools/test_windows_wheels.sh dist requirements/windows.txt "$(WHEELS_HERE)" $(PYTEST_ARGS)
test-wheels-musl: wheels-musllinux golden-series musl-python
	tools/test_musl_wheels.sh dist $(MUSL_ROOT) $(WHEEL_TESTS)/musl $(PYTEST_ARGS)
	tools/test_musl_wheels.sh dist $(MUSL_FT_ROOT) $(WHEEL_TESTS)/musl-ft $(PYTEST_ARGS)
# The aarch64 one under qemu, a target of its own (its CPython is a
# cross-build of its own).
test-wheels-musl-aarch64: wheels-musllinux golden-series musl-python-aarch64
	$(if $(WHEELS_EMULATED_SUITES),,GOLDEN_ONLY=1) \
	  tools/test_musl_wheels.sh dist $(MUSL_AARCH64_ROOT) $(WHEEL_TESTS)/musl-aarch64 $(PYTEST_ARGS)

# The C++ tests and the golden file under GCC 16 and glibc 2.43 (the
# development suite), and under zig's clang and libc++ on glibc 2.36, 2.43
# and Debian 11's 2.31; every p-value of a dense table bit for bit as here.
test-glibc: build sid-root old-root $(VENV_DIR)/wheels/.ready
	tools/test_glibc.sh $(BUILD_DIR) $(SID_ROOT) $(OLD_ROOT)

# A build check for macOS 11, x86-64 and arm64, with zig: the core, the C++
# tests and the module compile and link, and the module needs nothing but
# the Python C API and libSystem. Nothing runs.
test-macos: $(VENV_DIR)/wheels/.ready
	@$(call apt_install,llvm-16 file libgtest-dev)
	tools/test_macos.sh

# Rewrites the golden file from this machine's build (x86-64 Linux, glibc).
golden: build
	$(BUILD_DIR)/zorvane_golden > tests/golden/escanciano_lobato.txt

clean:
	rm -rf build $(VENV_DIR)
