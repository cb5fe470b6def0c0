#!/usr/bin/env bash
# Hosts against a live publisher, across processes: `ipam-sim serve` with a
# table, two live-host processes, `ipam-sim ctl`, and misbehaving peers.
# Every wait is bounded. Usage: live_test.sh IPAM_SIM LIVE_HOST WIRE_PROBE
set -euo pipefail
sim=$1 host=$2 probe=$3
source "$(dirname "$0")/live_lib.sh"

cat >"$work/t1" <<'T'
add4 if=3 name=eth0 addr=10.0.0.1/24 attr=PRIMARY|IF_VALID|VALID
add4 if=3 name=eth0 addr=10.0.0.2/24 attr=IF_VALID|VALID
add4 if=4 name=eth1 addr=10.1.0.1/16 attr=PRIMARY|IF_VALID|VALID
add6 if=3 name=eth0 addr=2001:db8::1/64 attr=IF_VALID|VALID
add6 if=4 name=eth1 addr=2001:db8:1::1/64 attr=IF_VALID|VALID
T
# The changed table: 10.0.0.2 and 2001:db8:1::1 gone, 10.1.0.1 with another
# mask, 10.2.0.1 new.
cat >"$work/t2" <<'T'
add4 if=3 name=eth0 addr=10.0.0.1/24 attr=PRIMARY|IF_VALID|VALID
add4 if=4 name=eth1 addr=10.1.0.1/24 attr=PRIMARY|IF_VALID|VALID
add4 if=5 name=eth2 addr=10.2.0.1/24 attr=PRIMARY|IF_VALID|VALID
add6 if=3 name=eth0 addr=2001:db8::1/64 attr=IF_VALID|VALID
T

# --- hosts first: they subscribe with no publisher and wait for it.
for h in a b; do
  rm -f "$work/$h.in"; mkfifo "$work/$h.in"
done
"$host" 42 <"$work/a.in" >"$work/a.out" 2>"$work/a.err" & ha=$!; pids+=("$ha")
"$host" 43 <"$work/b.in" >"$work/b.out" 2>"$work/b.err" & hb=$!; pids+=("$hb")
exec 4>"$work/a.in" 5>"$work/b.in"
wait_for "$work/a.out" "subscribed"
wait_for "$work/b.out" "subscribed"
[[ $(stat -c %a "$run") == 700 ]] || fail "runtime directory mode $(stat -c %a "$run")"

# --- first batch, held open; the publisher dies mid-batch.
start_serve "$work/t1" serve1 --hold-end
for h in a b; do
  wait_for "$work/$h.out" "^event ADD6" 2
  [[ $(count "$work/$h.out" BATCH_END) == 0 ]] || fail "$h: batch ended early"
done
kill -9 "$serve"; wait "$serve" 2>/dev/null || true
exec 3>&-

# --- restarted with a changed table: both converge, the sweep deletes.
start_serve "$work/t2" serve2 --queue 20000
expect4="if=3 name=eth0 vrf=0 addr=10.0.0.1/24 attr=PRIMARY|IF_VALID|VALID
if=4 name=eth1 vrf=0 addr=10.1.0.1/24 attr=PRIMARY|IF_VALID|VALID
if=5 name=eth2 vrf=0 addr=10.2.0.1/24 attr=PRIMARY|IF_VALID|VALID"
for h in a b; do
  wait_for "$work/$h.out" "BATCH_END"
  after=$(sed -n '/BATCH_START/h; /BATCH_START/!H; ${x;p}' "$work/$h.out")
  for gone in "DEL4 if=3 name=eth0 vrf=0 addr=10.0.0.2/24" "DEL4 if=4 name=eth1 vrf=0 addr=10.1.0.1/16" \
              "DEL6 if=4 name=eth1 vrf=0 addr=2001:db8:1::1/64" "ADD4 if=5 name=eth2 vrf=0 addr=10.2.0.1/24"; do
    grep -q -- "$gone" <<<"$after" || fail "$h: no '$gone' in the second batch"
  done
done
pid_of() { if [[ $1 == a ]]; then echo "$ha"; else echo "$hb"; fi; }
for h in a b; do
  got=$("$sim" ctl "$(pid_of $h)" export4 --page 2 | sort)
  [[ $got == "$(sort <<<"$expect4")" ]] || fail "$h replica: $got"
  [[ $("$sim" ctl "$(pid_of $h)" export6 | wc -l) == 1 ]] || fail "$h: IPv6 replica"
done
listed=$("$sim" ctl list)
grep -qE "^$ha +42 +yes +synchronised$" <<<"$listed" && grep -qE "^$hb +43 +yes +synchronised$" <<<"$listed" ||
  fail "ctl list: $listed"

# --- single changes reach both hosts.
echo "add4 if=6 name=eth3 addr=10.3.0.1/24 attr=PRIMARY|IF_VALID|VALID" >&3
echo "ifinvalid4 if=3" >&3
for h in a b; do
  wait_for "$work/$h.out" "ADD4 if=6 name=eth3"
  wait_for "$work/$h.out" "INVALID4 if=3 name=eth0 vrf=0 addr=10.0.0.1/24"
done

# --- a set-address request comes back as events, to both hosts.
echo "set4 1 7 eth7 172.16.0.1/24" >&4
wait_for "$work/a.out" "request set4 result 0"
for h in a b; do wait_for "$work/$h.out" "ADD4 if=7 name=eth7 vrf=0 addr=172.16.0.1/24"; done
echo "set4 2 9 eth9 172.16.9.9/24" >&4
wait_for "$work/a.out" "request set4 result -1"

# --- debug flags from outside.
"$sim" ctl "$hb" debug set api sub
[[ $("$sim" ctl "$hb" debug get) == "0x5 api|sub" ]] || fail "debug get after set"
"$sim" ctl "$hb" debug clear all
[[ $("$sim" ctl "$hb" --json debug get) == *'"debug":0'* ]] || fail "debug get after clear"

# --- another uid is refused (we are root: a client as nobody).
if [[ $(id -u) == 0 ]] && setpriv --reuid=nobody --regid=nogroup --clear-groups true 2>/dev/null; then
  chmod 0755 "$work" "$run"; chmod 0777 "$run"/tipc-*.sock
  rc=0; setpriv --reuid=nobody --regid=nogroup --clear-groups "$probe" hello \
    "$run/tipc-7fff00c6-7ffc0001.sock" || rc=$?
  chmod 0700 "$work" "$run"
  [[ $rc == 3 ]] || fail "a subscriber as nobody was not refused ($rc)"
  wait_for "$work/serve2.err" "refused connection from uid 65534"
else
  echo "skipped: another uid needs root and setpriv"
fi
"$probe" hello "$run/tipc-7fff00c6-7ffc0001.sock" || fail "our own uid was refused"

# --- garbage frames are refused; everyone lives on.
for sock in tipc-7fff00c6-7ffc0001 tipc-7fff00c6-7ffc0002 "cmf-$hb"; do
  "$probe" garbage "$run/$sock.sock" || fail "garbage to $sock"
done
wait_for "$work/serve2.err" "refused frame from a subscriber"
wait_for "$work/serve2.err" "refused frame from a configuration client"
wait_for "$work/b.err" "refused frame from a requester"

# --- silent requesters hold no one up: a correct request is answered at once.
"$probe" silent "$run/cmf-$hb.sock" 4 & silent=$!
t0=$(date +%s%N)
"$sim" ctl "$hb" debug get >/dev/null || fail "ctl behind silent connections"
elapsed=$(( ($(date +%s%N) - t0) / 1000000 ))
(( elapsed < 1500 )) || fail "a request behind four silent connections took $elapsed ms"
wait "$silent" || fail "the silent connections"

# --- a burst of 10,000 changes at once: a host that keeps reading stays.
awk 'BEGIN { for (i = 0; i < 10000; i++)
  printf "add4 if=100 name=burst addr=10.%d.%d.1/24 attr=IF_VALID|VALID\n", 100 + int(i / 250), i % 250 }' >&3
wait_for "$work/b.out" "ADD4 if=100 name=burst vrf=0 addr=10.139.249.1/24"
if grep -q "subscriber pid $hb stopped reading" "$work/serve2.err"; then fail "a reading host was cut off by a burst"; fi

# --- a subscriber that stops reading, and a host that is stopped, are
# dropped by the bound; the stopped host resynchronises when resumed.
"$probe" stall "$run/tipc-7fff00c6-7ffc0001.sock" "$work/go" & staller=$!
wait_for "$work/serve2.out" "subscriber pid $staller registered"
ends=$(count "$work/a.out" BATCH_END)
kill -STOP "$ha"
awk 'BEGIN { for (i = 0; i < 15000; i++) print "ifinvalid4 if=4\nifvalid4 if=4" }' >&3
echo "add4 if=12 name=eth12 addr=10.12.0.1/24 attr=IF_VALID|VALID" >&3
wait_for "$work/serve2.err" "subscriber pid $staller stopped reading"
wait_for "$work/serve2.err" "subscriber pid $ha stopped reading"
kill -CONT "$ha"
touch "$work/go"
wait "$staller" || fail "the stalled subscriber was not disconnected"
wait_for "$work/a.out" BATCH_END $((ends + 1))
# (slow hosts, under sanitizers, may be dropped too: they resynchronise)
wait_for "$work/b.out" "ADD4 if=12 name=eth12"
wait_for "$work/a.out" "ADD4 if=12 name=eth12"
[[ $("$sim" ctl "$ha" export4 | sort) == $("$sim" ctl "$hb" export4 | sort) ]] ||
  fail "the resumed host's replica differs"

# --- a host killed during an export; the publisher goes on serving the other.
for i in $(seq 20); do echo "add4 if=$((10 + i)) name=x$i addr=10.9.$i.1/24 attr=IF_VALID|VALID" >&3; done
wait_for "$work/a.out" "name=x20"
("$sim" ctl "$ha" export4 --page 1 >"$work/export.out" 2>&1 || true) & exporter=$!
sleep 0.05
kill -9 "$ha"
wait "$exporter"
echo "add4 if=8 name=eth8 addr=10.8.0.1/24 attr=IF_VALID|VALID" >&3
wait_for "$work/b.out" "ADD4 if=8 name=eth8"
rc=0; "$sim" ctl "$ha" debug get 2>"$work/gone.err" || rc=$?
[[ $rc == 3 ]] && grep -q "is not running" "$work/gone.err" || fail "ctl on a dead host ($rc)"
"$sim" ctl list 2>"$work/list.err" | grep -q "^$ha " && fail "ctl list shows a dead host"
grep -q "removed $run/cmf-$ha.sock: process $ha is gone" "$work/list.err" || fail "stale socket kept"
[[ ! -e "$run/cmf-$ha.sock" ]] || fail "stale socket of a killed host left behind"

# --- a killed host's pid taken by another process: its socket is still stale,
# even when the file looks younger than that process (a stepped clock).
"$host" 44 </dev/null >"$work/c.out" 2>"$work/c.err" & hc=$!; pids+=("$hc")
wait_for "$work/c.out" "subscribed"
for _ in $(seq 100); do [[ -S $run/cmf-$hc.sock ]] && break; sleep 0.05; done
kill -9 "$hc"; wait "$hc" 2>/dev/null || true
sleep 60 & other=$!; pids+=("$other")
mv "$run/cmf-$hc.sock" "$run/cmf-$other.sock"
touch -d '+1 hour' "$run/cmf-$other.sock"
rc=0; "$sim" ctl "$other" debug get 2>"$work/reused.err" || rc=$?
[[ $rc == 3 ]] && grep -q "is not running" "$work/reused.err" || fail "ctl on a reused pid ($rc)"
"$sim" ctl list 2>"$work/list.err" >/dev/null
grep -q "removed $run/cmf-$other.sock: process $other is gone" "$work/list.err" ||
  fail "the socket of a reused pid was kept"
kill "$other"

# --- SIGUSR1 shows the replica.
kill -USR1 "$hb"
wait_for "$work/b.out" "^replica: [0-9]* records"

# --- a publisher that sends garbage: the host hangs up and comes back.
echo quit >&3
wait "$serve" || fail "serve exit status"
"$probe" publisher "$run/tipc-7fff00c6-7ffc0001.sock" || fail "host did not refuse and reconnect"
wait_for "$work/b.err" "refused frame from the publisher"

# --- SIGINT unsubscribes and removes the management socket.
kill -INT "$hb"
wait_for "$work/b.out" "live-host unsubscribed"
wait "$hb"
[[ ! -e "$run/cmf-$hb.sock" ]] || fail "management socket left behind"
no_sanitizer_reports
echo "live test passed"
