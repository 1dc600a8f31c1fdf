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

# The wheels make builds and runs (WHEELS_*): every one of the lists above
# unless WHEELS=ends, which CI on its machine of two cores sets. Then a wheel
# of each kind that runs, or that is built its own way: x86-64 Linux of the
# oldest and the newest CPython here, 3.13t and the newest of the development
# suite and of the free-threaded ones from headers; aarch64 Linux of the
# oldest and the newest that Debian has an arm64 CPython of; musllinux of the
# musl CPythons' 3.13 and 3.13t (x86-64) and 3.13 (aarch64); win_amd64 of the
# oldest and the newest here and the newest free-threaded one, win_arm64 of
# that one. Under emulation they run the golden cases alone. Every version's
# module is still built from source and run through the golden cases (make
# test-pythons takes the versions no wheel runs), and the release builds and
# runs every wheel on its runners.
WHEELS ?= all
ARM64_ALL := $(foreach p,$(PYTHONS_DEBIAN_ARM64),$(firstword $(subst :, ,$(p))))
ifeq ($(WHEELS),ends)
ends = $(firstword $(1)) $(filter-out $(firstword $(1)),$(lastword $(1)))
WHEELS_HERE          := $(call ends,$(PYTHONS_HERE))
WHEELS_DEVELOPMENT   := $(lastword $(PYTHONS_DEVELOPMENT))
WHEELS_FREE_THREADED := $(PYTHONS_FREE_THREADED)
WHEELS_FREE_THREADED_HEADERS := $(lastword $(PYTHONS_FREE_THREADED_HEADERS))
WHEELS_AARCH64       := $(call ends,$(ARM64_ALL))
WHEELS_MUSL_HERE     := 13 13t
WHEELS_MUSL_DEVELOPMENT :=
WHEELS_MUSL_AARCH64  := 13
WHEELS_WINDOWS       := $(WHEELS_HERE) $(WHEELS_FREE_THREADED_HEADERS)
WHEELS_WINDOWS_ARM64 := $(lastword $(PYTHONS_WINDOWS_ARM64))
# the arm64 CPythons: those of the aarch64 wheels, and 3.11 (make test-arm64)
WHEELS_DEBIAN_ARM64  := $(foreach p,$(PYTHONS_DEBIAN_ARM64),$(if $(filter $(firstword $(subst :, ,$(p))),\
  $(WHEELS_AARCH64) 11),$(p)))
WHEELS_EMULATED_SUITES :=
else ifeq ($(WHEELS),all)
WHEELS_HERE          := $(PYTHONS_HERE)
WHEELS_DEVELOPMENT   := $(PYTHONS_DEVELOPMENT)
WHEELS_FREE_THREADED := $(PYTHONS_FREE_THREADED)
WHEELS_FREE_THREADED_HEADERS := $(PYTHONS_FREE_THREADED_HEADERS)
WHEELS_AARCH64       := $(PYTHONS_HERE) $(PYTHONS_DEVELOPMENT) $(PYTHONS_FREE_THREADED) $(PYTHONS_FREE_THREADED_HEADERS)
WHEELS_MUSL_HERE     := $(WHEELS_HERE) $(WHEELS_FREE_THREADED)
WHEELS_MUSL_DEVELOPMENT := $(WHEELS_DEVELOPMENT) $(WHEELS_FREE_THREADED_HEADERS)
WHEELS_MUSL_AARCH64  := $(WHEELS_AARCH64)
WHEELS_WINDOWS       := $(PYTHONS_HERE) $(PYTHONS_DEVELOPMENT) $(PYTHONS_FREE_THREADED_HEADERS)
WHEELS_WINDOWS_ARM64 := $(PYTHONS_WINDOWS_ARM64)
WHEELS_DEBIAN_ARM64  := $(PYTHONS_DEBIAN_ARM64)
# the minors whose wheels run the whole suite under emulation: the oldest and the newest
WHEELS_EMULATED_SUITES := ends
else
$(error WHEELS is "all" or "ends", not "$(WHEELS)")
endif
