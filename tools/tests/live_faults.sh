#!/usr/bin/env bash
# Operator mistakes and resource faults on the live path: a second
# publisher, bad run directories, mistyped stdin commands, conflicting
# options, hosts asked about too early, running out of descriptors.
# Every wait is bounded. Usage: live_faults.sh IPAM_SIM LIVE_HOST WIRE_PROBE
set -euo pipefail
sim=$1 host=$2 probe=$3
source "$(dirname "$0")/live_lib.sh"
pub=$run/tipc-7fff00c6-7ffc0001.sock

echo "add4 if=3 name=eth0 addr=10.0.0.1/24 attr=PRIMARY|IF_VALID|VALID" >"$work/t"

# expect_fail STATUS MESSAGE CMD...: CMD exits STATUS and says MESSAGE on stderr.
expect_fail() {
  local want=$1 msg=$2 rc=0; shift 2
  "$@" >"$work/cmd.out" 2>"$work/cmd.err" </dev/null || rc=$?
  [[ $rc == "$want" ]] || fail "$*: exit $rc, not $want"
  grep -qF -- "$msg" "$work/cmd.err" || fail "$*: no '$msg' in: $(cat "$work/cmd.err")"
}

# --- a host asked before it is ready, then waited for (the README's order).
"$host" 42 </dev/null >"$work/h.out" 2>"$work/h.err" & h=$!; pids+=("$h")
rc=0; "$sim" ctl "$h" export4 2>"$work/early.err" || rc=$?
[[ $rc == 4 || $rc == 6 ]] || fail "export of a starting host: exit $rc"
wait_for "$work/h.out" "subscribed"
expect_fail 6 "not synchronised: waiting for the publisher" "$sim" ctl "$h" export4
start_serve "$work/t" serve1 --hold-end
wait_for "$work/h.out" "ADD4"
expect_fail 6 "not synchronised: in its first batch" "$sim" ctl "$h" export4
"$sim" ctl list | grep -qE "^$h +42 +yes +in its first batch$" || fail "ctl list: $("$sim" ctl list)"
"$sim" ctl "$h" debug get >/dev/null || fail "debug of a subscribed host"
(sleep 0.3; echo release >&3) &
[[ $("$sim" ctl --wait 10 "$h" export4) == *"addr=10.0.0.1/24"* ]] || fail "ctl --wait export4"
wait_for "$work/serve1.out" "^# sent to 1 subscriber$"
expect_fail 3 "host 999999 is not running" "$sim" ctl 999999 debug get
expect_fail 2 "usage" "$sim" ctl "$h" export4 --wait -1

# --- a second publisher is refused and leaves the first one's sockets.
expect_fail 3 "another publisher (pid $serve) serves $run" "$sim" serve --table "$work/t"
[[ -S $pub ]] || fail "the second publisher removed the first one's socket"
"$probe" hello "$pub" || fail "the first publisher is unreachable"

# --- every mistyped command is named, with its line; good ones acknowledged.
cat >&3 <<'C'
frobnicate
add4 if=3 addr=10.0.0.999/24
add4 addr=1.2.3.4
ifinvalid4
add4 if=3 addr=1.2.3.4/24 colour=red
del4 if=9 addr=10.9.9.9/24
restart now
add4 if=5 name=eth5 addr=10.5.0.1/24
C
wait_for "$work/serve1.out" "^# sent to 1 subscriber$" 2
for m in "stdin:2: unknown verb 'frobnicate'" "stdin:3: bad IPv4 address '10.0.0.999'" \
         "stdin:4: missing field 'if' for add4" "stdin:5: missing field 'if' for ifinvalid4" \
         "stdin:6: unknown field 'colour' for add4" "stdin:7: no such record" \
         "stdin:8: restart takes no fields"; do
  grep -qF -- "$m" "$work/serve1.err" || fail "serve did not say '$m'"
done
wait_for "$work/h.out" "ADD4 if=5 name=eth5"

# --- lines that come together are acknowledged together, still in line
# order with the reasons of the bad ones between them.
printf '%s\n' "add4 if=1 addr=10.1.0.1/24" frobnicate "add4 if=1 addr=10.1.0.2/24" \
  "del4 if=1 addr=10.1.0.9/24" "add6 if=1 addr=2001:db8::1/64" quit |
  IPAM_PLATFORM_RUNDIR=$work/solo "$sim" serve 2>&1 | sed '1d; s/: not a publisher command.*//' >"$work/burst"
printf '%s\n' "# sent to 0 subscribers" "stdin:2: unknown verb 'frobnicate'" "# sent to 0 subscribers" \
  "stdin:4: no such record" "# sent to 0 subscribers" | cmp -s - "$work/burst" ||
  fail "a burst of stdin lines: $(cat "$work/burst")"

# --- out of descriptors: listeners pause instead of spinning.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
starve() { # PID: its descriptor limit set to its lowest free descriptor
  local fd=0
  while [[ -e /proc/$1/fd/$fd ]]; do fd=$((fd + 1)); done
  prlimit --pid "$1" --nofile="$fd":
}
for target in serve host; do
  if [[ $target == serve ]]; then p=$serve sock=$pub; else p=$h sock=$run/cmf-$h.sock; fi
  starve "$p"
  "$probe" stall "$sock" "$work/go-$target" >/dev/null 2>&1 & stuck=$!; pids+=("$stuck")
  sleep 0.2
  t0=$(cpu_ticks "$p"); sleep 1; t1=$(cpu_ticks "$p")
  (( t1 - t0 < 30 )) || fail "$target spun on accept: $((t1 - t0)) ticks in 1 s"
  prlimit --pid "$p" --nofile=1024:
  touch "$work/go-$target"
  wait "$stuck" || true
done
wait_for "$work/serve1.err" "cannot accept on the publisher"
wait_for "$work/h.err" "cannot accept on $run/cmf-$h.sock"
"$sim" ctl "$h" debug get >/dev/null || fail "the host's management is gone after the fault"

# --- end of input is announced; SIGTERM removes the sockets; a table
# publisher stops on SIGHUP as well.
exec 3>&-
wait_for "$work/serve1.out" "^# end of input: serving until SIGINT or SIGTERM$"
"$probe" hello "$pub" || fail "no publisher after end of input"
kill -TERM "$serve"; wait "$serve" || fail "serve exit status after SIGTERM"
[[ ! -e $pub ]] || fail "socket left after SIGTERM"
start_serve "$work/t" serve2 --quiet
kill -HUP "$serve"; wait "$serve" || fail "serve exit status after SIGHUP"
[[ ! -e $pub ]] || fail "socket left after SIGHUP"
[[ $(count "$work/serve2.out" "^# sent") == 0 ]] || fail "--quiet acknowledged"

# --- a publisher killed outright: its stale socket is taken over.
start_serve "$work/t" serve3
kill -9 "$serve"; wait "$serve" 2>/dev/null || true
start_serve "$work/t" serve4
"$probe" hello "$pub" || fail "the stale socket was not replaced"
echo quit >&3; wait "$serve" || fail "serve exit status after quit"

# --- conflicting options.
expect_fail 2 "--table and --kernel exclude each other" "$sim" serve --table "$work/t" --kernel
expect_fail 2 "--hold-end needs the stdin command release" "$sim" serve --kernel --hold-end

# --- bad run directories: one clear error, the subscription fails.
touch "$work/file"
mkdir -m 0770 "$work/open"
long=$work/$(printf 'd%.0s' $(seq 100))
for dir in "$work/file" "$work/file/sub" "$work/open" "$long"; do
  IPAM_PLATFORM_RUNDIR=$dir expect_fail 1 "ipam-sim serve: cannot use $dir: " \
    "$sim" serve --table "$work/t"
  IPAM_PLATFORM_RUNDIR=$dir expect_fail 1 "live-host: subscription refused" "$host" 44
  grep -q "cannot use the runtime directory $dir" "$work/cmd.err" || fail "host: no reason for $dir"
done
if [[ $(id -u) == 0 ]]; then
  mkdir -m 0700 "$work/theirs"; chown nobody "$work/theirs"
  IPAM_PLATFORM_RUNDIR=$work/theirs expect_fail 1 "owned by uid $(id -u nobody), not by this user" \
    "$sim" serve --table "$work/t"
fi
# A missing directory is made with its parents, mode 0700.
IPAM_PLATFORM_RUNDIR=$work/a/b/run "$sim" serve --table "$work/t" </dev/null >/dev/null 2>&1 &
p=$!; pids+=("$p")
for _ in $(seq 100); do [[ -S $work/a/b/run/tipc-7fff00c6-7ffc0001.sock ]] && break; sleep 0.1; done
[[ $(stat -c %a "$work/a") == 700 && $(stat -c %a "$work/a/b/run") == 700 ]] || fail "made dirs' modes"
kill -INT "$p"; wait "$p" || fail "serve in made directory"

kill -INT "$h"; wait "$h" || true
no_sanitizer_reports
echo "live faults test passed"
