#!/usr/bin/env bash
# Runs the crash loop long: scripts/crash.sh N kills the writer N times
# (default 20000) and checks the store after each kill. Builds the test in
# build/linux when needed. Exits non-zero when any check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-20000}
case "$kills" in '' | *[!0-9]*) echo "usage: scripts/crash.sh [KILLS]" >&2; exit 2 ;; esac
[ -f build/linux/CMakeCache.txt ] || cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j 2 --target crash_test >/dev/null
AMBERCRYPT_CRASH_KILLS=$kills build/linux/tests/fault/crash_test
