# find_python MINOR: the path of a working CPython 3.MINOR (pyenv's first,
# then python3.MINOR on PATH), or nothing; a MINOR such as 13t names a
# free-threaded one, the project's own build (make freethreaded-python) first.
# Sourced by the tools that need it.
find_python() {
  local minor=$1 candidate
  local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
  local project_root
  project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  for candidate in "$project_root"/build/freethreaded/prefix/bin/python3."$minor" \
    "$pyenv_root"/versions/3."$minor".*/bin/python3."$minor" $(command -v python3."$minor" || true); do
    if [ -x "$candidate" ] && "$candidate" -c 'import sys' 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
}
