# Shared by the multi-process tests: a scratch directory, processes killed
# at exit, bounded waits. Source it after setting sim, host and probe.
work=$(mktemp -d)
run=$work/run
export IPAM_PLATFORM_RUNDIR=$run
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  exec 3>&- 4>&- 5>&- 2>/dev/null || true
  [[ -n ${KEEP:-} ]] || rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.out "$work"/*.err; do echo "== $f"; tail -40 "$f"; done >&2; exit 1; }

# wait_for FILE PATTERN [COUNT]: until FILE has COUNT lines matching, 10 s at most.
wait_for() {
  local n=${3:-1}
  for _ in $(seq 100); do
    [[ $(grep -c -- "$2" "$1" 2>/dev/null || true) -ge $n ]] && return 0
    sleep 0.1
  done
  fail "$1: no $n line(s) matching '$2'"
}
count() { grep -c -- "$2" "$1" || true; }

# start_serve TABLE OUT [flags]: a publisher reading commands from fd 3.
start_serve() {
  local table=$1 out=$2; shift 2
  rm -f "$work/serve.in"; mkfifo "$work/serve.in"
  "$sim" serve --table "$table" "$@" <"$work/serve.in" >"$work/$out.out" 2>"$work/$out.err" &
  serve=$!; pids+=("$serve")
  exec 3>"$work/serve.in"
  wait_for "$work/$out.out" "^# serving"
}

# no_sanitizer_reports: fails when a sanitizer wrote to any .err file.
no_sanitizer_reports() {
  for f in "$work"/*.err; do
    if grep -E "Sanitizer|runtime error" "$f"; then fail "sanitizer report in $f"; fi
  done
}
