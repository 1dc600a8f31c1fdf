# Sourced: runs independent jobs side by side, as many as there are cores,
# each into its own log, and prints the logs in the order the jobs were
# started, so that the output reads as if they had run one after another.
#   parallel_run LOG NAME command...   start a job (waits for a free core)
#   parallel_wait                      print every log; fails when a job did
parallel_names=()
parallel_logs=()
parallel_pids=()

parallel_run() {
  local log=$1 name=$2
  shift 2
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  mkdir -p "$(dirname "$log")"
  ("$@") >"$log" 2>&1 &
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
