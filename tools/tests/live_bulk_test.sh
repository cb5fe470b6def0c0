#!/usr/bin/env bash
# A large table across processes: `ipam-sim serve` with N IPv4 and N/4
# IPv6 records, a live-host, and `ipam-sim ctl` exports on one connection:
# every record of the first batch is in the host's export, and an export
# paged while the table changes holds every record it did not change.
# Usage: live_bulk_test.sh IPAM_SIM LIVE_HOST N
set -euo pipefail
sim=$1 host=$2 n=$3
work=$(mktemp -d)
export IPAM_PLATFORM_RUNDIR=$work/run
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  exec 3>&- 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.err; do echo "== $f"; tail -20 "$f"; done >&2; exit 1; }
# wait_for FILE PATTERN SECONDS
wait_for() {
  for _ in $(seq $(($3 * 10))); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "$1: no line matching '$2' in $3 s"
}

awk -v n="$n" 'BEGIN {
  for (i = 0; i < n; i++)
    printf "if=%d name=eth%d vrf=0 addr=10.%d.%d.%d/24 attr=IF_VALID|VALID\n", 1 + i % 384, 1 + i % 384, int(i / 65536), int(i / 256) % 256, i % 256
}' | sort >"$work/want4"
awk -v n="$n" 'BEGIN {
  for (i = 0; i < n / 4; i++)
    printf "if=%d name=eth%d vrf=0 addr=2001:db8::%x:%x/64 attr=IF_VALID|VALID\n", 1 + i % 384, 1 + i % 384, 1 + int(i / 65536), i % 65536
}' | sort >"$work/want6"
{ sed 's/^/add4 /; s/ vrf=0//' "$work/want4"; sed 's/^/add6 /; s/ vrf=0//' "$work/want6"; } >"$work/table"

mkfifo "$work/serve.in"
"$sim" serve --quiet --table "$work/table" <"$work/serve.in" >"$work/serve.out" 2>"$work/serve.err" &
pids+=($!)
exec 3>"$work/serve.in"
wait_for "$work/serve.out" "^# serving" 120
"$host" 42 </dev/null >"$work/host.out" 2>"$work/host.err" & hp=$!
pids+=("$hp")
wait_for "$work/host.out" "BATCH_END" 300

# --- every record of the first batch, IPv4 and IPv6, in the host's export.
"$sim" ctl "$hp" export4 --page 1000 | sort >"$work/got4" || fail "export4"
cmp -s "$work/want4" "$work/got4" || fail "export4: $(diff "$work/want4" "$work/got4" | head -5)"
"$sim" ctl "$hp" export6 | sort >"$work/got6" || fail "export6"
cmp -s "$work/want6" "$work/got6" || fail "export6: $(diff "$work/want6" "$work/got6" | head -5)"

# --- an export paged while records are added: whatever it sends of the
# new ones, it holds every old one exactly once.
"$sim" ctl "$hp" export4 --page 50 >"$work/moving" 2>"$work/moving.err" & exporter=$!
awk 'BEGIN { for (i = 0; i < 2000; i++)
  printf "add4 if=7 name=eth7 addr=11.%d.%d.1/24 attr=IF_VALID|VALID\n", int(i / 250), i % 250 }' >&3
wait "$exporter" || fail "export during changes: $(cat "$work/moving.err")"
grep -v "addr=11\." "$work/moving" | sort >"$work/moving4"
cmp -s "$work/want4" "$work/moving4" || fail "export during changes: $(diff "$work/want4" "$work/moving4" | head -5)"
echo quit >&3
for f in "$work"/*.err; do
  if grep -E "Sanitizer|runtime error" "$f"; then fail "sanitizer report in $f"; fi
done
echo "bulk test passed: $n + $((n / 4)) records"
