#!/usr/bin/env bash
# Chaos across processes: a table-backed publisher, HOSTS live hosts, ctl
# exports running all the time and the table changing at a steady rate; at
# random the publisher is SIGKILLed and restarted with a changed table,
# hosts are SIGKILLed and restarted, a host is SIGSTOPped past the queue
# bound and resumed. After each quiet period every live host's export must
# equal the publisher's table exactly, the hosts that were never restarted
# keep their descriptor count and their resident memory (within 2 MiB of the
# first quiet period after warm-up; reported but not held under a sanitizer,
# whose quarantine grows by design), and no socket of a dead process remains.
# Usage: chaos.sh IPAM_SIM LIVE_HOST WIRE_PROBE [SECONDS [HOSTS [QUIET [SEED]]]]
# (QUIET: seconds of chaos between quiet periods, default 30).
# Prints one summary line: minutes, kills survived, records compared.
set -euo pipefail
sim=$1 host=$2 probe=$3 seconds=${4:-20} nhosts=${5:-20} every=${6:-30} RANDOM=${7:-$$}
source "$(dirname "$0")/live_lib.sh"
bound=64 # serve --queue: frames beyond a whole table before a host is dropped

declare -A table   # the publisher's table: key "if" -> the record's text
declare -A hostpid # host slot -> pid
declare -A original # pids of hosts never restarted -> their descriptor count
declare -A rss0     # the same hosts -> resident KiB after warm-up
kills=0 compared=0 quiets=0 next_if=100 rss_growth=0 rss_slack=2048
rss_held=1; grep -q __asan_init "$host" && rss_held=0

record() { echo "if=$1 name=c$1 vrf=0 addr=10.$(($1 / 250)).$(($1 % 250)).1/24 attr=IF_VALID|VALID"; }
write_table() { for k in "${!table[@]}"; do echo "add4 ${table[$k]}"; done >"$work/table"; }
send() { echo "$*" >&3; }
# event WHAT PID: a line in the events log, kept for a failure's report.
event() { echo "$(date +%T.%N) $1 $2" >>"$work/events"; }

serve_up() {
  write_table
  start_serve "$work/table" "serve$kills" --quiet --queue "$bound"
}
host_up() { # SLOT
  "$host" $((200 + $1)) </dev/null >"$work/h$1.out" 2>"$work/h$1.err" &
  hostpid[$1]=$!; pids+=("$!")
  event "host-start" "$!"
}
churn() { # one change, applied to the model as it is sent
  if ((${#table[@]} > 40 && RANDOM % 2 == 0)); then
    local keys=("${!table[@]}") k
    k=${keys[RANDOM % ${#keys[@]}]}
    send "del4 ${table[$k]}"; unset "table[$k]"
  else
    table[$next_if]=$(record $next_if); send "add4 ${table[$next_if]}"; next_if=$((next_if + 1))
  fi
}

# The exporter: ctl requests to random hosts all the time. Any status but a
# crash's is fine; the statuses are checked at the end.
exporter() {
  while [[ -e $work/exporting ]]; do
    local p
    p=$(shuf -n1 "$work/hosts" 2>/dev/null) || continue
    [[ -n $p ]] || continue
    rc=0; timeout 20 "$sim" ctl "$p" export4 --page 7 >/dev/null 2>&1 || rc=$?
    echo "$rc" >>"$work/exporter.rc"
  done
}

# fds PID [MAX]: its open descriptors; sampled again for up to three seconds
# while above MAX (a management request in flight holds one for a moment,
# longer when the exporter's ctl is starved of CPU).
fds() {
  local n
  for _ in $(seq 30); do
    n=$(ls "/proc/$1/fd" | wc -l)
    ((n <= ${2:-100000})) && break
    sleep 0.1
  done
  echo "$n"
}

# What is known of a socket that outlived its host: the file, the process
# now holding its pid, what ctl list says of it now, and the pid's events.
stale_report() { # SOCKET PID
  ls -l --time-style=full-iso "$1" 2>&1
  ps -o pid,ppid,lstart,etimes,stat,args -p "$2" 2>&1 || echo "no process $2"
  ls "/proc/$2/task" 2>&1 | head -5
  "$sim" ctl list 2>&1
  grep -w "$2" "$work/events" || echo "no events for $2"
  grep btime /proc/stat
  date +%T.%N
}

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# quiet: no churn until every live host exports exactly the table (20 s at most).
quiet() {
  quiets=$((quiets + 1))
  local want; want=$(for k in "${!table[@]}"; do echo "${table[$k]}"; done | sort)
  for s in "${!hostpid[@]}"; do
    local p=${hostpid[$s]} got="" ok=0 until=$((SECONDS + 20))
    while ((SECONDS < until)); do
      got=$(timeout 20 "$sim" ctl --wait 10 "$p" export4 --page 50 2>/dev/null | sort) || true
      [[ $got == "$want" ]] && { ok=1; break; }
      sleep 0.2
    done
    ((ok)) || fail "host $p: export differs from the table after quiet period $quiets:
$(diff <(echo "$want") <(echo "$got") | head -20)"
    compared=$((compared + ${#table[@]}))
    kill -0 "$p" 2>/dev/null || fail "host $p crashed"
  done
  for p in "${!original[@]}"; do
    local n; n=$(fds "$p" "${original[$p]}")
    ((n <= ${original[$p]})) || fail "host $p: $n descriptors, ${original[$p]} at the start:
$(diff "$work/fd0.$p" <(ls -l "/proc/$p/fd" 2>&1))"
    local kb; kb=$(rss "$p")
    if ((quiets == 2)); then rss0[$p]=$kb; continue; fi
    [[ -n ${rss0[$p]:-} ]] || continue
    ((kb - rss0[$p] > rss_growth)) && rss_growth=$((kb - rss0[$p]))
    ((!rss_held || kb - rss0[$p] <= rss_slack)) ||
      fail "host $p: resident memory grew from ${rss0[$p]} KiB to $kb KiB"
  done
  "$sim" ctl list >/dev/null 2>>"$work/events" || fail "ctl list"
  for f in "$run"/cmf-*.sock; do
    local p=${f##*/cmf-}; p=${p%.sock}
    printf '%s\n' "${hostpid[@]}" | grep -qx "$p" || fail "stale socket $f
$(stale_report "$f" "$p")"
  done
  no_sanitizer_reports
}

for i in $(seq 60); do table[$i]=$(record "$i"); done
serve_up
for s in $(seq "$nhosts"); do host_up "$s"; done
printf '%s\n' "${hostpid[@]}" >"$work/hosts"
quiet
for s in "${!hostpid[@]}"; do
  original[${hostpid[$s]}]=$(fds "${hostpid[$s]}")
  ls -l "/proc/${hostpid[$s]}/fd" >"$work/fd0.${hostpid[$s]}" 2>&1
done
touch "$work/exporting"; exporter & exporter_pid=$!; pids+=("$exporter_pid")

start=$SECONDS last_quiet=$SECONDS
while ((SECONDS - start < seconds)); do
  for _ in $(seq 25); do churn; sleep 0.02; done  # about 40 changes a second
  if ((SECONDS - last_quiet >= every)); then quiet; last_quiet=$SECONDS; continue; fi
  case $((RANDOM % 3)) in
  0) # the publisher dies; it comes back with a changed table
    kill -9 "$serve"; wait "$serve" 2>/dev/null || true; exec 3>&-
    event "serve-kill" "$serve"
    kills=$((kills + 1))
    for k in $(printf '%s\n' "${!table[@]}" | shuf -n 5); do unset "table[$k]"; done
    for _ in 1 2 3; do table[$next_if]=$(record $next_if); next_if=$((next_if + 1)); done
    serve_up ;;
  1) # a host dies and a new one takes its slot
    s=$(printf '%s\n' "${!hostpid[@]}" | shuf -n1)
    unset "original[${hostpid[$s]}]"
    kill -9 "${hostpid[$s]}"; wait "${hostpid[$s]}" 2>/dev/null || true
    event "host-kill" "${hostpid[$s]}"
    kills=$((kills + 1))
    host_up "$s"; printf '%s\n' "${hostpid[@]}" >"$work/hosts" ;;
  2) # a host stops reading past the queue bound, then resumes
    s=$(printf '%s\n' "${!hostpid[@]}" | shuf -n1)
    kill -STOP "${hostpid[$s]}"; event "host-stop" "${hostpid[$s]}"
    for _ in $(seq $((bound * 2 + ${#table[@]}))); do churn; done
    sleep 0.3
    kill -CONT "${hostpid[$s]}" ;;
  esac
done
quiet
rm -f "$work/exporting"; wait "$exporter_pid" || true
bad=$(grep -vxE '0|1|3|4|6' "$work/exporter.rc" | sort | uniq -c || true)
[[ -z $bad ]] || fail "ctl export exit statuses: $bad"

send quit; wait "$serve" || fail "serve exit status"
for s in "${!hostpid[@]}"; do kill -INT "${hostpid[$s]}"; wait "${hostpid[$s]}" || fail "host exit"; done
left=$(ls "$run" | grep -v '^publisher.lock$' || true)
[[ -z $left ]] || fail "left in the run directory: $left"
no_sanitizer_reports
printf 'chaos: %d.%d minutes, %d hosts, %d kills survived, %d quiet periods, %d records compared, %d exports during churn, long-lived hosts grew by at most %d KiB resident\n' \
  $(((SECONDS - start) / 60)) $(((SECONDS - start) % 60 * 10 / 60)) "$nhosts" "$kills" "$quiets" "$compared" \
  "$(wc -l <"$work/exporter.rc")" "$rss_growth"
