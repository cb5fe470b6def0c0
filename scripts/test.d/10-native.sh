# Native release build: library, platform, tests, tools, benchmarks; all tests.
set -euo pipefail
cmake --preset release >/dev/null
cmake --build --preset release
ctest --preset release
# Each unit and e2e case once more, alone in its own process.
scripts/cases-alone build/release
