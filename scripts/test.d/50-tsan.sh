# clang with ThreadSanitizer: all tests, the thread stress test among them.
# No suppressions: shared words read without the lock are relaxed atomics.
set -euo pipefail
cmake --preset tsan >/dev/null
cmake --build --preset tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --preset tsan
