# Style and static checks: clang-format over the formatted paths, clang-tidy
# (src/.clang-tidy) over the library's sources. Uses the release tree's
# compile commands (step 10 builds it; configured here when missing).
set -euo pipefail
# The paths whose every C/C++ file must be as .clang-format has it.
formatted=(src include tests platform tools bench fuzz examples)
mapfile -t files < <(git ls-files "${formatted[@]}" | grep -E '\.(c|cc|cpp|h|hpp)$')
clang-format --dry-run -Werror "${files[@]}"
echo "clang-format: ${#files[@]} files in ${formatted[*]} as .clang-format has them"
[[ -f build/release/compile_commands.json ]] || cmake --preset release >/dev/null
run-clang-tidy -quiet -p build/release -j "$(nproc)" "$PWD/src/" >/tmp/clang-tidy.$$ 2>&1 ||
  { grep -E 'warning:|error:' /tmp/clang-tidy.$$ | sort -u >&2; rm -f /tmp/clang-tidy.$$; exit 1; }
rm -f /tmp/clang-tidy.$$
echo "clang-tidy: src/ clean (checks in src/.clang-tidy)"
