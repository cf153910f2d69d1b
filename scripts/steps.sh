# The test command's steps and jobs (sourced by scripts/test.sh).
#
#   step NAME COMMAND...       runs one step and notes its seconds
#   build PRESET[:TARGET]...   configures and builds presets side by side
#   job NAME COMMAND...        starts a job beside the steps, at idle priority
#   finish NAME                waits for a job: the step fails when it failed
#
# The table of seconds per step is printed at exit, also when a step fails,
# and the jobs still running are ended then.

timings=()
declare -A job_pids=() job_started=()
current=""
now() { echo "${EPOCHREALTIME/[.,]/}"; }   # microseconds
seconds_since() {                          # seconds since a now(), one decimal
  local tenths=$(( ($(now) - $1) / 100000 ))
  printf '%d.%d' $((tenths / 10)) $((tenths % 10))
}
steps_started=$(now)

step() {
  current=$1
  shift
  echo "== $current"
  local started
  started=$(now)
  "$@"
  timings+=("$(printf '%-34s %7s s' "$current" "$(seconds_since "$started")")")
  current=""
}

steps_summary() {
  local status=$?
  local pid
  for pid in "${job_pids[@]}"; do
    kill -- -"$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  echo "== seconds per step"
  [ ${#timings[@]} -gt 0 ] && printf '  %s\n' "${timings[@]}"
  [ -n "$current" ] && printf '  %-34s %7s\n' "$current" "failed"
  printf '  %-34s %7s s\n' "total" "$(seconds_since "$steps_started")"
  return $status
}
trap steps_summary EXIT

# Warnings are errors; each build's output goes into build/logs/PRESET.log.
# Two cores stay busy through one build's configure and link, when the
# others compile.
build() {
  mkdir -p build/logs
  local pids=() request preset target failed=()
  for request in "$@"; do
    preset=${request%%:*}
    target=${request#"$preset"}
    target=${target#:}
    ( started=$SECONDS
      cmake --preset "$preset" -DKQ_WERROR=ON >/dev/null &&
        cmake --build --preset "$preset" ${target:+--target "$target"}
      status=$?
      echo "build $preset: exit $status after $((SECONDS - started)) s"
      exit $status
    ) >"build/logs/$preset.log" 2>&1 &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    preset=${*:i+1:1}
    preset=${preset%%:*}
    wait "${pids[$i]}" || failed+=("$preset")
    tail -n 1 "build/logs/$preset.log"
  done
  for preset in "${failed[@]}"; do
    echo "== build $preset FAILED; the end of build/logs/$preset.log:"
    tail -n 60 "build/logs/$preset.log"
  done
  [ ${#failed[@]} -eq 0 ]
}

# A job runs only when a processor would be idle (SCHED_IDLE, else nice 19)
# and reads the disk only when it is idle, into build/logs/NAME.log. It is a
# process group of its own (job control on for its start), so that a step
# failing first ends it and all its compilers; not a session of its own:
# where the kernel schedules sessions as groups (autogroup), a new session
# gets an equal share of the processors whatever its nice value.
job() {
  local name=$1
  shift
  mkdir -p build/logs
  set -m
  ( chrt --idle -p 0 "$BASHPID" 2> /dev/null || renice -n 19 -p "$BASHPID" > /dev/null
    ionice -c 3 -p "$BASHPID" 2> /dev/null || true
    "$@" ) > "build/logs/$name.log" 2>&1 &
  job_pids[$name]=$!
  job_started[$name]=$SECONDS
  set +m
}

finish() {
  local name=$1 log=build/logs/$1.log
  local pid=${job_pids[$name]} status=0
  unset "job_pids[$name]"
  wait "$pid" || status=$?
  echo "job $name: exit $status after $((SECONDS - job_started[$name])) s (its log: $log)"
  if [ "$status" -ne 0 ]; then
    echo "== job $name FAILED; the end of $log:"
    tail -n 60 "$log"
    return 1
  fi
}
