#!/usr/bin/env bash
# Builds the tree and runs the whole test suite, in three configurations:
#   build/       the ordinary build (gcc, RelWithDebInfo): every test, and the benchmarks built
#   build-asan/  clang with AddressSanitizer and UndefinedBehaviorSanitizer, plus the fuzzers:
#                every test again, and each fuzzer for a short run
#   build-tsan/  clang with ThreadSanitizer: the tests labelled "threads"
# Usage: tools/check.sh [default|asan|tsan ...]   (no argument: all three)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
configs=("$@")
[ "${#configs[@]}" -gt 0 ] || configs=(default asan tsan)

configure() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

status=0
for config in "${configs[@]}"; do
  echo "=== $config ==="
  case "$config" in
    default)
      configure build
      cmake --build build -j "$jobs"
      ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300 || status=1
      ;;
    asan)
      configure build-asan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DTQV_SANITIZE=ON -DTQV_FUZZ=ON -DTQV_BUILD_BENCH=OFF
      cmake --build build-asan -j "$jobs"
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 300 || status=1
      ;;
    tsan)
      configure build-tsan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DTQV_TSAN=ON -DTQV_BUILD_BENCH=OFF
      cmake --build build-tsan -j "$jobs" --target threaded_tests
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        ctest --test-dir build-tsan --output-on-failure -j "$jobs" --timeout 300 -L threads || status=1
      ;;
    *)
      echo "unknown configuration '$config'" >&2
      exit 2
      ;;
  esac
done
exit $status
