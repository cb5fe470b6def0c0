# Native release build: library, platform, tests, tools, benchmarks; all tests.
set -euo pipefail
cmake --preset release >/dev/null
cmake --build --preset release
ctest --preset release
