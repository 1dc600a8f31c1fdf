# The CPython versions the project supports, the one list: the Makefile builds
# and tests each, and the package test checks pyproject.toml's classifiers,
# requires-python, cibuildwheel's build list and the release workflow against it.
#   PYTHONS_HERE         minors built and tested with this machine's CPythons (pyenv's)
#   PYTHONS_DEVELOPMENT  minors built and tested in Debian's development suite
#   PYTHONS_FREE_THREADED  free-threaded minors built here from the source archive
#   PYTHONS_FREE_THREADED_HEADERS  free-threaded minors that no CPython here runs:
#                          their Linux and Windows wheels are built here from
#                          their version's headers, and run by the release on
#                          its runners' interpreters
#   PYTHONS_WINDOWS_ARM64  the minors (14t: free-threaded) of the win_arm64 wheels,
#                          those NumPy ships win_arm64 wheels for: built and
#                          checked here, run by the release on a Windows-on-ARM
#                          runner
#   PYTHONS_DEBIAN_ARM64   MINOR:SUITE, the minors whose aarch64 wheels run (under
#                          qemu) on the arm64 CPython of that Debian release; the
#                          other minors' aarch64 wheels are built and checked only
# cibuildwheel builds the macOS wheels of every minor, and the free-threaded
# variant of each from 3.14 on (it no longer offers 3.13t).
PYTHONS_HERE          := 9 10 11 12 13
PYTHONS_DEVELOPMENT   := 14 15
PYTHONS_FREE_THREADED := 13t
PYTHONS_FREE_THREADED_HEADERS := 14t 15t
PYTHONS_WINDOWS_ARM64 := 12 13 14 15 14t 15t
PYTHONS_DEBIAN_ARM64  := 9:bullseye 11:bookworm 13:trixie 14:sid 15:sid

# The wheels make builds and runs (WHEELS_*), all of the lists' above unless
# WHEELS=ends, which CI on its machine of two cores sets: then the oldest and
# the newest CPython here, the newest of the development suite and of the
# free-threaded ones from headers, the ends of the win_arm64 list, and of the
# arm64 CPythons the oldest, 3.11 (make test-arm64's) and the newest, with
# the whole suite under emulation on the newest aarch64 one only (and the
# golden cases alone on the musl aarch64 one). Every version's module is
# still built from source and run through the golden cases (make
# test-pythons), and the release builds and runs every wheel on its runners.
WHEELS ?= all
ifeq ($(WHEELS),ends)
ends = $(firstword $(1)) $(filter-out $(firstword $(1)),$(lastword $(1)))
WHEELS_HERE          := $(call ends,$(PYTHONS_HERE))
WHEELS_DEVELOPMENT   := $(lastword $(PYTHONS_DEVELOPMENT))
WHEELS_FREE_THREADED := $(PYTHONS_FREE_THREADED)
WHEELS_FREE_THREADED_HEADERS := $(lastword $(PYTHONS_FREE_THREADED_HEADERS))
WHEELS_WINDOWS_ARM64 := $(call ends,$(PYTHONS_WINDOWS_ARM64))
WHEELS_DEBIAN_ARM64  := $(firstword $(PYTHONS_DEBIAN_ARM64)) \
  $(filter-out $(firstword $(PYTHONS_DEBIAN_ARM64)) $(lastword $(PYTHONS_DEBIAN_ARM64)),$(filter 11:%,$(PYTHONS_DEBIAN_ARM64))) \
  $(lastword $(PYTHONS_DEBIAN_ARM64))
WHEELS_EMULATED_SUITES := last
else ifeq ($(WHEELS),all)
WHEELS_HERE          := $(PYTHONS_HERE)
WHEELS_DEVELOPMENT   := $(PYTHONS_DEVELOPMENT)
WHEELS_FREE_THREADED := $(PYTHONS_FREE_THREADED)
WHEELS_FREE_THREADED_HEADERS := $(PYTHONS_FREE_THREADED_HEADERS)
WHEELS_WINDOWS_ARM64 := $(PYTHONS_WINDOWS_ARM64)
WHEELS_DEBIAN_ARM64  := $(PYTHONS_DEBIAN_ARM64)
WHEELS_EMULATED_SUITES := ends
else
$(error WHEELS is "all" or "ends", not "$(WHEELS)")
endif
