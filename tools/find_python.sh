# find_python MINOR: the path of a working CPython 3.MINOR (pyenv's first,
# then python3.MINOR on PATH), or nothing; a MINOR such as 13t names a
# free-threaded one, the project's own build (make freethreaded-python) first.
# Sourced by the tools that need it.
find_python() {
  local minor=$1 candidate
  local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
  local project_root own="" free_threaded=False
  project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  # a free-threaded build installs python3.X too: each candidate must be of the kind asked for
  case $minor in *t) own="$project_root/build/freethreaded/prefix/bin/python3.$minor" free_threaded=True ;; esac
  for candidate in $own "$pyenv_root"/versions/3."$minor".*/bin/python3."$minor" \
    $(which -a python3."$minor" 2>/dev/null || true); do
    if [ -x "$candidate" ] && "$candidate" -c "import sys, sysconfig
sys.exit(bool(sysconfig.get_config_var('Py_GIL_DISABLED')) != $free_threaded)" 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
}
