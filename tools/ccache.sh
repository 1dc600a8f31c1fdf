# Sourced by the wheel builds: ccache as CMake's compiler launcher where this
# machine has it (make ci-deps installs it). The numeric core includes no
# CPython header, so each target's core then compiles once for all the
# CPythons of a run, about half of every later wheel's compile; the modules
# come out the same files byte for byte. The cache is the build tree's own,
# which CI restores from the last run on the machine and saves after
# (tools/build_cache.sh), and the compiler is known by what its --version
# says, so a cache that another zig filled only misses: the wrappers are
# written anew by every run.
#   ccache_args: the CMake arguments, empty without ccache
ccache_args=""
if command -v ccache >/dev/null 2>&1; then
  # pip's builds go in a folder of their own, named ccache's base: the files
  # CMake writes into a build (the unity files) are then known by their path
  # in it, the same for every wheel, and the project's own keep theirs (the
  # module records some, for its panic reports)
  export TMPDIR="$here/build/wheels/tmp"
  mkdir -p "$TMPDIR"
  export CCACHE_DIR="$here/build/ccache" CCACHE_BASEDIR="$TMPDIR" CCACHE_COMPILERCHECK="%compiler% --version"
  ccache_args=" -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
