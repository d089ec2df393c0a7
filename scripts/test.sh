#!/usr/bin/env bash
# Builds and tests ambercrypt on both targets from a fresh machine:
#   1. installs the Debian packages it needs when any is missing;
#   2. Linux: builds and runs every test (build/linux);
#   3. Linux with AddressSanitizer and UndefinedBehaviorSanitizer (build/asan),
#      thread_test with ThreadSanitizer (build/tsan, clang), then each fuzz
#      target for its fixed count of inputs (build/fuzz, clang);
#   4. Windows: cross-compiles with MinGW-w64 and runs the same tests under
#      Wine in a fresh temporary WINEPREFIX (build/windows).
# Exits non-zero when anything fails to build or any test fails.
set -uo pipefail
cd "$(dirname "$0")/.."

# dpkg-dev and file: cpack -G DEB finds the package's dependencies with
# dpkg-shlibdeps; util-linux's setpriv and passwd's groupadd: the packaged
# store's access test.
packages=(cmake make g++ pkg-config openssl libssl-dev libsqlite3-dev sqlite3 googletest g++-mingw-w64-x86-64 wine64 wine
  dpkg-dev file util-linux passwd clang libclang-rt-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq || exit 1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || exit 1
fi

jobs=$(nproc 2>/dev/null || echo 2)
total_passed=0
total_failed=0
status=0

# Wine's 64-bit loader: on PATH with some packagings, beside Wine's libraries
# with Debian's wine64.
wine64=$(command -v wine64 || dpkg -L wine64 2>/dev/null | grep -m1 '/wine64$' || true)

# run_ctest NAME DIR: runs one build's tests. Its exit status decides; the
# counts come from ctest's JUnit report.
run_ctest() {
  local name=$1 dir=$2 report rc
  report=$(mktemp)
  echo "== $name: running tests"
  (cd "$dir" && ctest --output-on-failure --timeout 900 --output-junit "$report")
  rc=$?
  local tests failures
  tests=$(grep -o -m1 'tests="[0-9]*"' "$report" | grep -o '[0-9]*')
  failures=$(grep -o -m1 'failures="[0-9]*"' "$report" | grep -o '[0-9]*')
  rm -f "$report"
  if [ "$rc" -ne 0 ] || [ -z "$tests" ]; then
    status=1
    [ -n "$failures" ] && [ "$failures" -gt 0 ] || failures=1
  fi
  total_failed=$((total_failed + ${failures:-0}))
  total_passed=$((total_passed + ${tests:-0} - ${failures:-0}))
}

build() {
  local name=$1 dir=$2
  shift 2
  echo "== $name: configuring and building"
  cmake -S . -B "$dir" "$@" >/dev/null || return 1
  cmake --build "$dir" -j "$jobs" || return 1
}

if build linux build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  # The Linux run is also the zeroing check's: every test program fails when a
  # freed block still holds one of its secrets (tests/zerocheck).
  AMBERCRYPT_ZEROCHECK=1 run_ctest linux build/linux
  # The README's first command, on this build: the road through the tools.
  demo_log=$(mktemp)
  if AMBERCRYPT_DEMO_BUILD=build/linux bash scripts/demo.sh >"$demo_log" 2>&1; then
    echo "== linux: scripts/demo.sh answered every step as expected"
    total_passed=$((total_passed + 1))
  else
    cat "$demo_log"
    echo "== linux: scripts/demo.sh FAILED"
    total_failed=$((total_failed + 1))
    status=1
  fi
  rm -f "$demo_log"
else
  echo "== linux: build failed"; status=1; total_failed=$((total_failed + 1))
fi

if build asan build/asan -DCMAKE_BUILD_TYPE=Debug -DAMBERCRYPT_SANITIZE=ON; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest asan build/asan
else
  echo "== asan: build failed"; status=1; total_failed=$((total_failed + 1))
fi

# ThreadSanitizer (clang): only the library's objects and thread_test, the
# exports from eight threads at once (scripts/stress.sh runs it longer).
echo "== tsan: configuring and building thread_test"
if CC=clang CXX=clang++ cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBERCRYPT_TSAN=ON >/dev/null &&
  cmake --build build/tsan -j "$jobs" --target thread_test >/dev/null; then
  if TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
    AMBERCRYPT_THREAD_ITERATIONS=60 build/tsan/tests/thread_test --gtest_brief=1; then
    echo "== tsan: thread_test passed under ThreadSanitizer"
    total_passed=$((total_passed + 1))
  else
    echo "== tsan: thread_test FAILED under ThreadSanitizer"
    total_failed=$((total_failed + 1))
    status=1
  fi
else
  echo "== tsan: build failed"; status=1; total_failed=$((total_failed + 1))
fi

# Every fuzz target in the clang build for the count of inputs
# tests/fuzz/smoke_runs.txt gives it, from its seed corpus alone with a fixed
# seed: the same inputs on every run and every machine, however fast, so a
# run fails only on a change (scripts/fuzz.sh installs clang when missing;
# build/asan has already replayed each corpus). Long runs, with a fresh seed
# and a corpus that grows: scripts/fuzz.sh TARGET SECONDS.
echo "== fuzz: each target for its fixed count of inputs (build/fuzz)"
if bash scripts/fuzz.sh smoke; then
  total_passed=$((total_passed + 1))
else
  echo "== fuzz: FAILED (build/fuzz/runs/<target>/smoke.log)"; status=1; total_failed=$((total_failed + 1))
fi

if build windows build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  WINEPREFIX=$(mktemp -d /tmp/ambercrypt-wine-XXXXXX)
  export WINEPREFIX WINEDEBUG=-all
  echo "== windows: creating a fresh WINEPREFIX in $WINEPREFIX"
  "$wine64" wineboot --init >/dev/null 2>&1 || true
  # The benchmark first, while the product's key does not exist in the prefix
  # (tiny counts: it proves the program runs and asserts no timing).
  if "$wine64" build/windows/tools/ambercrypt-bench.exe --quick >/dev/null; then
    echo "== windows: ambercrypt-bench --quick ran"
    total_passed=$((total_passed + 1))
  else
    echo "== windows: ambercrypt-bench --quick FAILED"
    total_failed=$((total_failed + 1))
    status=1
  fi
  run_ctest windows build/windows
  # The same bytes on both targets: each writes its vectors, then checks the
  # other's, verifies its signed messages, checks its challenge responses with
  # the response verifier and decrypts its BIRs.
  if [ -x build/linux/tests/cross_target_test ]; then
    echo "== cross-target: Linux and Windows vectors"
    vectors=$(mktemp -d)
    if AMBERCRYPT_VECTORS_OUT=$vectors/linux.txt build/linux/tests/cross_target_test --gtest_filter='*Writes*' >/dev/null &&
      AMBERCRYPT_VECTORS_OUT=$vectors/windows.txt "$wine64" build/windows/tests/cross_target_test.exe \
        --gtest_filter='*Writes*' >/dev/null &&
      cmp "$vectors/linux.txt" "$vectors/windows.txt" &&
      AMBERCRYPT_VECTORS_IN=$vectors/windows.txt build/linux/tests/cross_target_test --gtest_filter='*Matches*' &&
      AMBERCRYPT_VECTORS_IN=$vectors/linux.txt "$wine64" build/windows/tests/cross_target_test.exe \
        --gtest_filter='*Matches*'; then
      echo "== cross-target: $(wc -l <"$vectors/linux.txt") values identical, each side verified the other's"
      total_passed=$((total_passed + 1))
    else
      echo "== cross-target: FAILED"
      total_failed=$((total_failed + 1))
      status=1
    fi
    rm -rf "$vectors"
  fi
  # ambercrypt-admin.exe end to end, in a fresh prefix of its own.
  if tests/admin_wine_smoke.sh "$wine64" build/windows/tools/ambercrypt-admin.exe; then
    total_passed=$((total_passed + 1))
  else
    echo "== windows: ambercrypt-admin smoke FAILED"
    total_failed=$((total_failed + 1))
    status=1
  fi
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
else
  echo "== windows: build failed"; status=1; total_failed=$((total_failed + 1))
fi

echo
echo "test programs of linux, asan, tsan and windows, and the cross-target check:"
echo "$total_passed passed, $total_failed failed"
exit $status
