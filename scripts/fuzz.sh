#!/usr/bin/env bash
# Runs the libFuzzer targets (tests/fuzz) for a while:
#   scripts/fuzz.sh TARGET SECONDS     one target, e.g. fuzz_sequence 1800
#   scripts/fuzz.sh all SECONDS        every target, one after the other
#   scripts/fuzz.sh list               the targets' names
# Installs clang and its fuzzer runtime when missing, configures and builds
# the clang build in build/fuzz, and runs each target over its seed corpus
# (tests/fuzz/corpus/<target>, read only) and its work corpus
# (build/fuzz/runs/<target>/corpus, where new finds go and stay for the next
# run). Crashes, leaks and hangs go to build/fuzz/runs/<target>/artifacts;
# the whole log to build/fuzz/runs/<target>/log. Prints one line per target:
# executions, coverage (cov: edges, ft: features) from libFuzzer's final
# stats, corpus size and crashes. Exits non-zero when any target found one.
# Extra libFuzzer flags: FUZZ_FLAGS="-jobs=2 -workers=2" scripts/fuzz.sh ...
set -uo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/fuzz.sh TARGET|all SECONDS | scripts/fuzz.sh list" >&2
  exit 2
}
[ $# -ge 1 ] || usage

packages=(clang libclang-rt-dev cmake make pkg-config libssl-dev libsqlite3-dev)
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

build=build/fuzz
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -DAMBERCRYPT_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
else
  cmake "$build" >/dev/null || exit 1
fi
mapfile -t all_targets <"$build/fuzz_targets.txt"

if [ "$1" = list ]; then
  printf '%s\n' "${all_targets[@]}"
  exit 0
fi
[ $# -eq 2 ] || usage
seconds=$2
[[ "$seconds" =~ ^[0-9]+$ ]] || usage
if [ "$1" = all ]; then
  targets=("${all_targets[@]}")
else
  printf '%s\n' "${all_targets[@]}" | grep -qx -- "$1" || { echo "no fuzz target $1 (scripts/fuzz.sh list)" >&2; exit 2; }
  targets=("$1")
fi

jobs=$(nproc 2>/dev/null || echo 2)
echo "== building ${#targets[@]} fuzz target(s) in $build"
cmake --build "$build" -j "$jobs" --target "${targets[@]}" >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }

status=0
for t in "${targets[@]}"; do
  work=$build/runs/$t
  mkdir -p "$work/corpus" "$work/artifacts"
  seeds=tests/fuzz/corpus/$t
  [ -d "$seeds" ] || seeds=
  bin=$(find "$build/tests/fuzz" -maxdepth 1 -type f -name "$t" -perm -u+x | head -1)
  before=$(find "$work/artifacts" -type f | wc -l)
  # -timeout: an input running 30 s is a hang; the store is set up once per
  # process, so nothing here sleeps or waits on the machine.
  # shellcheck disable=SC2086
  "$bin" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    ${FUZZ_FLAGS:-} "$work/corpus" $seeds >"$work/log" 2>&1
  rc=$?
  after=$(find "$work/artifacts" -type f | wc -l)
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | tail -1 | grep -o '[0-9]*$')
  last=$(grep -E '#[0-9]+.*cov: [0-9]+' "$work/log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' <<<"$last" | grep -o '[0-9]*')
  ft=$(grep -o 'ft: [0-9]*' <<<"$last" | grep -o '[0-9]*')
  corpus=$(find "$work/corpus" -type f | wc -l)
  found=$((after - before))
  verdict=ok
  if [ "$rc" -ne 0 ] || [ "$found" -gt 0 ]; then
    verdict="FOUND $found (see $work/log, $work/artifacts)"
    status=1
  fi
  printf '%-40s %10s execs  cov: %-6s ft: %-6s corpus: %-5s %ss  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" \
    "$corpus" "$seconds" "$verdict"
done
exit $status
