#!/usr/bin/env bash
# Runs ambercrypt-bench on both targets on this machine and prints one table:
# the Linux build's figures with its baselines, the verify road beside the
# Windows build under Wine (in a fresh WINEPREFIX, so no installation's key is
# touched). Builds both first when they are missing.
#   scripts/bench.sh [--rounds N] [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."
args=("$@")
[ -x build/linux/tools/ambercrypt-bench ] ||
  { cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null && cmake --build build/linux -j "$(nproc)"; }
[ -f build/windows/tools/ambercrypt-bench.exe ] ||
  { cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build build/windows -j "$(nproc)" --target ambercrypt-bench; }
wine64=$(command -v wine64 || dpkg -L wine64 2>/dev/null | grep -m1 '/wine64$' || true)
work=$(mktemp -d)
trap 'WINEPREFIX=$work/prefix wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all
"$wine64" wineboot --init >/dev/null 2>&1 || true
"$wine64" build/windows/tools/ambercrypt-bench.exe --json "${args[@]}" | tr -d '\r' >"$work/windows.json"
build/linux/tools/ambercrypt-bench --windows "$work/windows.json" "${args[@]}"
