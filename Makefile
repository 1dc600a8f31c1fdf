# Front door: `make demo` and `make test` set up everything they need on a
# fresh Debian machine (system packages, virtual environments, the build).

PYTHON      ?= python3
BUILD_DIR   ?= build/cpp
CMAKE_FLAGS ?=
SUDO        := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: test test-cpp system-deps build-cpp clean

test: test-cpp

# GoogleTest for the C++ tests, from Debian's packages.
system-deps:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || { \
	  echo "installing libgtest-dev"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq libgtest-dev; }

build-cpp: system-deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DZORVANE_BUILD_TESTS=ON -DZORVANE_BUILD_MODULE=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)

test-cpp: build-cpp
	ctest --test-dir $(BUILD_DIR) --output-on-failure

clean:
	rm -rf build
