# Sourced by the wheel builds: every timestamp a build writes (the wheel's zip
# entries, through scikit-build-core, wheel pack and auditwheel) is the
# commit's date, so the same commit gives the same wheel at any time.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct 2>/dev/null || true)
  if [ -n "$SOURCE_DATE_EPOCH" ]; then
    export SOURCE_DATE_EPOCH
  else
    unset SOURCE_DATE_EPOCH  # not a git checkout: the builders' own times
  fi
fi
