#!/usr/bin/env bash
# The concurrency proofs at full size:
#   1. PROCESSES host processes (default 8) x CYCLES verify cycles (default
#      10000) on two applications at once, lockout on, while an administrator
#      process rewrites their policies (stress_test, Linux build): exact
#      lockout counts, only the codes each call may give, no crash, and
#      PRAGMA integrity_check on the store afterwards;
#   2. thread_test with ITERATIONS per thread (default 2000) on the Linux
#      build, and under ThreadSanitizer (build/tsan, clang);
#   3. with --wine, the same two programs of the Windows build under Wine in
#      a fresh WINEPREFIX, with WINE_CYCLES cycles (default 1000).
# The test command runs them small; this script is for long runs.
#   scripts/stress.sh [--wine] [PROCESSES [CYCLES [ITERATIONS]]]
set -euo pipefail
cd "$(dirname "$0")/.."
wine=0
if [ "${1:-}" = "--wine" ]; then wine=1; shift; fi
processes=${1:-8} cycles=${2:-10000} iterations=${3:-2000}
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j "$jobs" --target stress_test thread_test >/dev/null
echo "== linux: $processes processes x $cycles cycles"
AMBERCRYPT_STRESS_PROCESSES=$processes AMBERCRYPT_STRESS_CYCLES=$cycles \
  build/linux/tests/stress_test --gtest_filter='StressTest.*' --gtest_brief=1
echo "== linux: 8 threads x $iterations iterations"
AMBERCRYPT_THREAD_ITERATIONS=$iterations build/linux/tests/thread_test --gtest_brief=1

CC=clang CXX=clang++ cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBERCRYPT_TSAN=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target thread_test >/dev/null
echo "== tsan: 8 threads x $((iterations / 4)) iterations under ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  AMBERCRYPT_THREAD_ITERATIONS=$((iterations / 4)) build/tsan/tests/thread_test --gtest_brief=1

if [ "$wine" = 1 ]; then
  wine_cycles=${WINE_CYCLES:-1000}
  cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/windows -j "$jobs" --target stress_test thread_test >/dev/null
  wine64=$(command -v wine64 || dpkg -L wine64 2>/dev/null | grep -m1 '/wine64$' || true)
  prefix=$(mktemp -d /tmp/ambercrypt-stress-wine-XXXXXX)
  trap 'WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; rm -rf "$prefix"' EXIT
  export WINEPREFIX=$prefix WINEDEBUG=-all
  "$wine64" wineboot --init >/dev/null 2>&1 || true
  echo "== windows (wine): $processes processes x $wine_cycles cycles"
  AMBERCRYPT_STRESS_PROCESSES=$processes AMBERCRYPT_STRESS_CYCLES=$wine_cycles \
    "$wine64" build/windows/tests/stress_test.exe --gtest_filter='StressTest.*' --gtest_brief=1
  echo "== windows (wine): 8 threads x $iterations iterations"
  AMBERCRYPT_THREAD_ITERATIONS=$iterations "$wine64" build/windows/tests/thread_test.exe --gtest_brief=1
fi
