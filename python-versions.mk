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
