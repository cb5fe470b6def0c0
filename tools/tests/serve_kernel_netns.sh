#!/usr/bin/env bash
# ipam-sim serve --kernel in a network namespace of its own, with a
# live-host subscribed: link carrier (not the admin state) is validity, an
# address added is announced, and, where the kernel has VRF devices, a port's
# addresses carry its VRF's table id. Exit 77 (skipped) where namespaces or
# veth pairs are not permitted. Usage: serve_kernel_netns.sh IPAM_SIM LIVE_HOST
set -euo pipefail
sim=$1 host=$2
if [[ ${IPAM_NETNS_INNER:-} != 1 ]]; then
  if ! unshare -n true 2>/dev/null || ! command -v ip >/dev/null; then
    echo "SKIP: network namespaces or iproute2 are not available"
    exit 77
  fi
  IPAM_NETNS_INNER=1 exec unshare -n bash "$0" "$@"
fi
ip link set lo up
ip link add v0 type veth peer name v1 2>/dev/null || { echo "SKIP: no veth pairs here"; exit 77; }
vrf=0
if ip link add blue type vrf table 10 2>/dev/null; then
  ip link set blue up && ip link set v0 master blue && vrf=10
fi
ip link set v0 up; ip link set v1 up
ip addr add 10.7.0.1/24 dev v0
work=$(mktemp -d)
export IPAM_PLATFORM_RUNDIR=$work/run
pids=()
trap 'for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$work"/*.out >&2; exit 1; }
wait_for() {
  for _ in $(seq 100); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  fail "no '$2' in $1"
}
"$sim" serve --kernel >"$work/serve.out" 2>&1 & serve=$!; pids+=($serve)
wait_for "$work/serve.out" "^# serving"
"$host" </dev/null >"$work/host.out" 2>&1 & pids+=($!)
rec="if=[0-9]* name=v0 vrf=$vrf addr=10.7.0.1/24"
wait_for "$work/host.out" "VALID4 $rec"
ip link set v1 down   # v0 stays up, loses its carrier
wait_for "$work/host.out" "INVALID4 $rec"
ip link set v1 up
wait_for "$work/host.out" "VALID4 $rec attr=0x62"
[[ $(grep -c "^event VALID4 $rec" "$work/host.out") -ge 2 ]] || fail "no second valid event"
ip addr add 10.7.1.1/24 dev v0
wait_for "$work/host.out" "ADD4 if=[0-9]* name=v0 vrf=$vrf addr=10.7.1.1/24"
# SIGHUP reads the kernel's table again and publishes the difference (none
# here); the publisher stays up and goes on following the kernel.
kill -HUP "$serve"
wait_for "$work/serve.out" "^# sent to 1 subscriber$"
kill -0 "$serve" || fail "serve --kernel died on SIGHUP"
ip addr add 10.7.2.1/24 dev v0
wait_for "$work/host.out" "ADD4 if=[0-9]* name=v0 vrf=$vrf addr=10.7.2.1/24"
echo "serve --kernel passed (vrf $vrf)"
