# Sourced by the wheel builds.
# The folder INCLUDE with its pyconfig.h replaced by PYCONFIG, as links in
# FOLDER (a header's quoted includes look first beside it).
with_pyconfig() {
  local include=$1 pyconfig=$2 folder=$3 entry
  rm -rf "$folder" && mkdir -p "$folder"
  for entry in "$include"/*; do
    [ "$(basename "$entry")" = pyconfig.h ] || ln -s "$entry" "$folder/"
  done
  cp "$pyconfig" "$folder/pyconfig.h"
  echo "$folder"
}
