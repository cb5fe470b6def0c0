#!/usr/bin/env bash
# ipam-sim kernel --follow in a network namespace of its own: the loopback
# going down and up invalidates and validates its records, addresses added to
# and removed from it are reported as events, and after SIGHUP the
# resynchronised replica equals the kernel's table.
# Usage: kernel_netns.sh IPAM_SIM. Exit 77 (skipped) where namespaces are
# not permitted.
set -euo pipefail
sim=$1

if [[ ${IPAM_NETNS_INNER:-} != 1 ]]; then
  opts=(-n)
  [[ $(id -u) -ne 0 ]] && opts=(-r -n)
  if ! unshare "${opts[@]}" true 2>/dev/null; then
    echo "SKIP: network namespaces are not permitted here (unshare ${opts[*]} failed)"
    exit 77
  fi
  if ! command -v ip >/dev/null; then
    echo "SKIP: the ip command (iproute2) is not installed"
    exit 77
  fi
  IPAM_NETNS_INNER=1 exec unshare "${opts[@]}" bash "$0" "$sim"
fi

ip link set lo up || { echo "SKIP: cannot bring the namespace's loopback up"; exit 77; }
work=$(mktemp -d)
out=$work/out
"$sim" kernel --follow >"$out" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT

# Waits until `text` appears at least `n` times in the output.
wait_for() {
  local text=$1 n=${2:-1}
  for _ in $(seq 100); do
    (($(grep -cF -- "$text" "$out" || true) >= n)) && return 0
    sleep 0.1
  done
  echo "timed out waiting for: $text (x$n)"
  cat "$out"
  exit 1
}

wait_for "# following kernel address changes"
# The link going down and up is the interface message for its records.
ip link set lo down
wait_for "event IPAM4_EVT_INVALID if=1 name=lo vrf=0 addr=127.0.0.1/8 attr=PRIMARY"
ip link set lo up
wait_for "event IPAM4_EVT_VALID if=1 name=lo vrf=0 addr=127.0.0.1/8 attr=PRIMARY|IF_VALID|VALID"
ip addr add 10.9.9.9/32 dev lo
wait_for "event IPAM4_EVT_ADD if=1 name=lo vrf=0 addr=10.9.9.9/32 attr=PRIMARY|IF_VALID|VALID"
have6=0
if ip -6 addr add 2001:db8:9::9/128 dev lo 2>/dev/null; then
  have6=1
  wait_for "event IPAM6_EVT_ADD if=1 name=lo vrf=0 addr=2001:db8:9::9/128"
fi
ip addr del 10.9.9.9/32 dev lo
wait_for "event IPAM4_EVT_DEL if=1 name=lo vrf=0 addr=10.9.9.9/32"

kill -HUP "$pid"
wait_for "# replica holds" 2

# The replica after the resync (the records after its last "> show")
# against the kernel's own table, as "name address/prefix" lines.
replica=$(awk '/^# resync/ {r = 1} r && /^> show/ {s = 1; next} s && /^  record / {print}' "$out" |
  sed -E 's/^  record if=[0-9]+ name=([^ ]+) vrf=0 addr=([^ ]+) .*/\1 \2/' | sort)
kernel=$(ip -o addr show | awk '{print $2, $4}' | sort)
if [[ "$replica" != "$kernel" ]]; then
  echo "replica after resync differs from the kernel's table"
  echo "--- replica"; echo "$replica"; echo "--- kernel"; echo "$kernel"
  cat "$out"
  exit 1
fi
grep -q "10.9.9.9" <<<"$replica" && { echo "deleted address still in the replica"; exit 1; }
((have6 == 0)) || grep -q "2001:db8:9::9/128" <<<"$replica" || { echo "IPv6 address missing"; exit 1; }

kill -TERM "$pid"
wait "$pid"
echo "kernel mirror followed a link flap and $((2 + have6)) address changes and resynchronised to $(wc -l <<<"$kernel") addresses"
