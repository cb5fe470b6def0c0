# libFuzzer targets with ASan+UBSan: each runs a bounded number of inputs
# over its checked-in seed corpus. New inputs go to a scratch directory, the
# checked-in corpus is only read. Longer runs: see docs/reliability.md.
set -euo pipefail
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export IPAM_PLATFORM_QUIET=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in publisher:20000 mgmt:20000 text:50000 wire:20000 wire_mgmt:4000; do
  name=${target%%:*}
  runs=${target#*:}
  mkdir -p "$scratch/$name"
  echo "--- fuzz_$name: $runs runs"
  build/fuzz/fuzz/fuzz_$name -runs="$runs" -max_total_time=30 -print_final_stats=1 \
    "$scratch/$name" "fuzz/corpus/$name" 2>"$scratch/$name.log" || { tail -50 "$scratch/$name.log"; exit 1; }
  grep -E "^(Done|stat::number_of_executed_units)" "$scratch/$name.log" || true
done
