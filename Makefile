# Front door: `make demo` and `make test` set up everything they need on a
# fresh Debian machine (system packages, virtual environments, the build).

PYTHON      ?= python3
BUILD_DIR   ?= build/cpp
VENV_DIR    ?= .venv
CMAKE_FLAGS ?=
SUDO        := $(if $(filter 0,$(shell id -u)),,sudo)
PYTEST_ARGS ?= -q

MODULE_PATH := $(abspath $(BUILD_DIR))

.PHONY: demo test test-cpp test-python test-package bench fuzz sanitize valgrind system-deps build venvs clean

# The module alone (no C++ tests, so no GoogleTest) and NumPy: the quickest
# way from a fresh clone to a result.
DEMO_BUILD_DIR := build/module
demo: $(VENV_DIR)/demo/.ready
	cmake -S . -B $(DEMO_BUILD_DIR) -G Ninja -DZORVANE_BUILD_MODULE=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(DEMO_BUILD_DIR)
	PYTHONPATH=$(abspath $(DEMO_BUILD_DIR)) $(VENV_DIR)/demo/bin/python examples/demo.py

test: test-cpp test-python test-package

# GoogleTest for the C++ tests, from Debian's packages.
system-deps:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || { \
	  echo "installing libgtest-dev"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq libgtest-dev; }

# The core library, its C++ tests and the extension module, in one tree.
build: system-deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DZORVANE_BUILD_TESTS=ON -DZORVANE_BUILD_MODULE=ON \
	  -DZORVANE_BUILD_BENCHMARKS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)

test-cpp: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure

# One built module, tested under NumPy 2.x and NumPy 1.26: nothing of NumPy
# is linked, so the same file must work with both.
$(VENV_DIR)/%/.ready: requirements/%.txt
	rm -rf $(VENV_DIR)/$*
	$(PYTHON) -m venv $(VENV_DIR)/$*
	$(VENV_DIR)/$*/bin/python -m pip install -q --disable-pip-version-check -r $<
	touch $@

venvs: $(VENV_DIR)/numpy2/.ready $(VENV_DIR)/numpy1/.ready

test-python: build venvs
	cd tests/python && PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/numpy2/bin/python -m pytest $(PYTEST_ARGS)
	cd tests/python && PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/numpy1/bin/python -m pytest $(PYTEST_ARGS)

# sdist and wheel from a clean build, the wheel installed into a fresh
# environment, the type stub checked by mypy.
test-package: $(VENV_DIR)/numpy2/.ready
	cd tests/package && ../../$(VENV_DIR)/numpy2/bin/python -m pytest $(PYTEST_ARGS)

# About 100,000 generated cases over the property tests.
fuzz: build $(VENV_DIR)/numpy2/.ready
	cd tests/python && HYPOTHESIS_PROFILE=fuzz PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/numpy2/bin/python \
	  -m pytest -q -p no:cacheprovider --hypothesis-show-statistics test_properties.py

# The C++ tests and the whole Python suite against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer; any report fails the run.
SANITIZE_DIR   := build/sanitize
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g
sanitize: system-deps $(VENV_DIR)/numpy2/.ready
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORVANE_BUILD_TESTS=ON \
	  -DZORVANE_BUILD_MODULE=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) \
	  "-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" "-DCMAKE_SHARED_LINKER_FLAGS=$(SANITIZE_FLAGS)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE_FLAGS)"
	cmake --build $(SANITIZE_DIR)
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(SANITIZE_DIR) --output-on-failure
	cd tests/python && ZORVANE_SANITIZED=1 PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONPATH=$(abspath $(SANITIZE_DIR)) ../../$(VENV_DIR)/numpy2/bin/python -m pytest $(PYTEST_ARGS) -p no:cacheprovider

# Memcheck over a representative subset (conversions, errors, the module's
# surface) and over the C++ tests; fails on any report with a frame of ours.
valgrind: build $(VENV_DIR)/numpy2/.ready
	$(VENV_DIR)/numpy2/bin/python tests/valgrind_check.py -- $(BUILD_DIR)/zorvane_core_tests --gtest_brief=1 \
	  --gtest_filter=-*Differential*:*EveryKernel*
	cd tests/python && PYTHONPATH=$(MODULE_PATH) ../../$(VENV_DIR)/numpy2/bin/python ../valgrind_check.py -- \
	  ../../$(VENV_DIR)/numpy2/bin/python -m pytest -q -p no:cacheprovider test_arguments.py test_inputs.py \
	  test_module.py -k "not second_initialisation and not numpy_is_not_imported"

# Kernel against the reference loop (C++), then whole constructions against
# the NumPy formulation and statsmodels (Python); writes benchmarks/latest.md
# and benchmarks/timings.png. BENCH_ARGS=--quick stops at n = 10**5.
BENCH_ARGS ?=
bench: build $(VENV_DIR)/bench/.ready
	$(BUILD_DIR)/zorvane_kernel_bench $(if $(filter --quick,$(BENCH_ARGS)),--quick,)
	PYTHONPATH=$(MODULE_PATH) $(VENV_DIR)/bench/bin/python benchmarks/bench.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV_DIR)
