# Sourced: runs independent jobs side by side, each into its own log, and
# prints the logs in the order the jobs were started, so that the output
# reads as if they had run one after another.
#   parallel_run LOG NAME command...   start a job (waits for a free slot)
#   parallel_wait                      print every log; fails when a job did
# As many jobs run at once as there are cores. Where PARALLEL_SLOTS names a
# folder, that budget is shared with every other script that names it (CI's
# two streams): a job holds one of the folder's slot files, locked, while it
# runs.
parallel_names=()
parallel_logs=()
parallel_pids=()

# Runs the command holding a free slot of PARALLEL_SLOTS (waits for one).
parallel_in_slot() {
  local slot
  mkdir -p "$PARALLEL_SLOTS"
  while :; do
    for slot in $(seq "$(nproc)"); do
      exec {parallel_fd}>"$PARALLEL_SLOTS/$slot"
      if flock -n "$parallel_fd"; then
        # the job's own processes do not inherit the lock (a daemon it starts,
        # such as wineserver, would hold the slot after the job)
        "$@" {parallel_fd}>&-
        return
      fi
      exec {parallel_fd}>&-
    done
    sleep 1
  done
}

parallel_run() {
  local log=$1 name=$2
  shift 2
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  mkdir -p "$(dirname "$log")"
  if [ -n "${PARALLEL_SLOTS:-}" ]; then
    (parallel_in_slot "$@") >"$log" 2>&1 &
  else
    ("$@") >"$log" 2>&1 &
  fi
  parallel_pids+=($!)
  parallel_names+=("$name")
  parallel_logs+=("$log")
}

parallel_wait() {
  local i status failed=()
  for i in "${!parallel_pids[@]}"; do
    status=0
    wait "${parallel_pids[$i]}" || status=$?
    cat "${parallel_logs[$i]}"
    [ "$status" -eq 0 ] || failed+=("${parallel_names[$i]}")
  done
  parallel_names=() parallel_logs=() parallel_pids=()
  [ ${#failed[@]} -eq 0 ] || { echo "failed: ${failed[*]}" >&2; return 1; }
}
