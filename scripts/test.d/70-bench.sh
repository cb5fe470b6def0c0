# Benchmarks keep working: every benchmark of the release build runs once,
# briefly, on the smallest table. Nothing here judges a timing.
set -euo pipefail
bench=build/release/bench/ipam_bench
if [[ ! -x $bench ]]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target ipam_bench ipam_bench_report
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
IPAM_BENCH_SIZES=64 "$bench" --benchmark_min_time=0.001 \
  --benchmark_out="$out/results.json" --benchmark_out_format=json >"$out/console.txt"
# A benchmark that found the library answering wrongly reports an error.
if grep -q '"error_occurred": true' "$out/results.json"; then
  grep -B2 -A3 '"error_occurred": true' "$out/results.json" >&2
  exit 1
fi
build/release/bench/ipam_bench_report --best "$out/results.json" "$out/results.json" "$out" "$out/plot.png" >/dev/null
echo "benchmarks: $(grep -c '"name"' "$out/results.json") ran"
