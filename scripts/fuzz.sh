#!/usr/bin/env bash
# Runs the libFuzzer targets (tests/fuzz):
#   scripts/fuzz.sh TARGET SECONDS     one target for a while, e.g. fuzz_sequence 1800
#   scripts/fuzz.sh all SECONDS        every target, one after the other
#   scripts/fuzz.sh smoke [TARGET]     every target (or one) for its fixed count
#                                      of inputs: the test command's check
#   scripts/fuzz.sh list               the targets' names
# Installs clang and its fuzzer runtime when missing, configures and builds
# the clang build in build/fuzz. Crashes, leaks and hangs go to
# build/fuzz/runs/<target>/artifacts, the whole log to
# build/fuzz/runs/<target>/log (smoke: smoke.log). Prints one line per target:
# executions, coverage (cov: edges, ft: features) from libFuzzer's final
# stats, corpus size and crashes. Exits non-zero when any target found one.
#
# A timed run (for finding things) fuzzes the seed corpus
# (tests/fuzz/corpus/<target>, read only) and its work corpus
# (build/fuzz/runs/<target>/corpus, where new finds go and stay for the next
# run), with a fresh random seed unless FUZZ_FLAGS names one; extra libFuzzer
# flags: FUZZ_FLAGS="-jobs=2 -workers=2" scripts/fuzz.sh ...
#
# The smoke (for a verdict) is the same on every run and every machine with
# this toolchain: each target runs exactly the number of inputs that
# tests/fuzz/smoke_runs.txt gives it (-runs), with seed 1, starting from its
# seed corpus alone, named in sorted order (the order libFuzzer shuffles from
# must not depend on a directory listing), into a fresh empty work corpus that
# is removed afterwards, with no reloading. No clock decides which inputs run,
# and no compared value: libFuzzer's mutations from the operands of compares
# (-use_cmp, -use_memmem) would draw on the store's temporary path and
# process number, which differ from run to run. Nor, as far as it can be
# had, any address: the code whose coverage follows where memory lies is left
# uncounted (tests/fuzz/coverage_ignore.txt), and each target runs with
# address randomisation off (setarch -R), the same small environment (whose
# size moves the stack) and its store under a directory of its own (the
# shared /dev/shm's listing would change what the allocator hands out).
set -uo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/fuzz.sh TARGET|all SECONDS | scripts/fuzz.sh smoke [TARGET] | scripts/fuzz.sh list" >&2
  exit 2
}
[ $# -ge 1 ] || usage

packages=(clang libclang-rt-dev cmake make pkg-config libssl-dev libsqlite3-dev util-linux)
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

known_target() {
  printf '%s\n' "${all_targets[@]}" | grep -qx -- "$1" || { echo "no fuzz target $1 (scripts/fuzz.sh list)" >&2; exit 2; }
}

smoke=0
declare -A counts=()
if [ "$1" = smoke ]; then
  [ $# -le 2 ] || usage
  smoke=1
  counts_file=tests/fuzz/smoke_runs.txt
  while read -r name count _; do
    case "$name" in '' | '#'*) continue ;; esac
    counts[$name]=$count
  done <"$counts_file"
  if [ $# -eq 2 ]; then
    known_target "$2"
    targets=("$2")
  else
    targets=("${all_targets[@]}")
  fi
  for t in "${targets[@]}"; do
    [[ "${counts[$t]:-}" =~ ^[0-9]+$ ]] || { echo "$counts_file gives $t no count of inputs" >&2; exit 2; }
  done
else
  [ $# -eq 2 ] || usage
  seconds=$2
  [[ "$seconds" =~ ^[0-9]+$ ]] || usage
  if [ "$1" = all ]; then
    targets=("${all_targets[@]}")
  else
    known_target "$1"
    targets=("$1")
  fi
fi

jobs=$(nproc 2>/dev/null || echo 2)
fixed_layout=()
if [ "$smoke" = 1 ]; then
  if setarch "$(uname -m)" -R true 2>/dev/null; then
    fixed_layout=(setarch "$(uname -m)" -R)
  else
    echo "== note: address randomisation cannot be turned off here; a run may differ from the next"
  fi
  store_base=/dev/shm
  [ -d "$store_base" ] && [ -w "$store_base" ] || store_base=/tmp
fi
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
  if [ "$smoke" = 1 ]; then
    log=$work/smoke.log
    fresh=$(mktemp -d "$work/smoke-corpus.XXXXXX")
    list=$work/smoke-seeds
    : >"$list"
    [ -n "$seeds" ] && find "$seeds" -maxdepth 1 -type f | LC_ALL=C sort | paste -sd, - >"$list"
    seed_inputs=()
    [ -s "$list" ] && seed_inputs=("-seed_inputs=@$list")
    stores=$(mktemp -d "$store_base/ambercrypt-smoke.XXXXXX")
    "${fixed_layout[@]}" env -i PATH=/usr/bin:/bin AMBERCRYPT_FUZZ_TMPDIR="$stores" \
      "$bin" -runs="${counts[$t]}" -seed=1 -reload=0 -use_cmp=0 -use_memmem=0 -timeout=30 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/" "${seed_inputs[@]}" "$fresh" >"$log" 2>&1
    rc=$?
    rm -rf "$stores"
    corpus=$(find "$fresh" -type f | wc -l)
    # What the run found, by name (libFuzzer names a unit by its SHA-1): equal
    # on every run of the same build.
    fingerprint=$(find "$fresh" -type f -printf '%f\n' | LC_ALL=C sort | sha1sum | cut -c1-12)
    rm -rf "$fresh" "$list"
    budget="${counts[$t]} runs, found set $fingerprint"
  else
    log=$work/log
    # shellcheck disable=SC2086
    "$bin" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
      ${FUZZ_FLAGS:-} "$work/corpus" $seeds >"$log" 2>&1
    rc=$?
    corpus=$(find "$work/corpus" -type f | wc -l)
    budget="${seconds}s"
  fi
  after=$(find "$work/artifacts" -type f | wc -l)
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$')
  last=$(grep -E '#[0-9]+.*cov: [0-9]+' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' <<<"$last" | grep -o '[0-9]*')
  ft=$(grep -o 'ft: [0-9]*' <<<"$last" | grep -o '[0-9]*')
  found=$((after - before))
  verdict=ok
  if [ "$rc" -ne 0 ] || [ "$found" -gt 0 ]; then
    verdict="FOUND $found (see $log, $work/artifacts)"
    status=1
  fi
  printf '%-40s %10s execs  cov: %-6s ft: %-6s corpus: %-5s %s  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" \
    "$corpus" "$budget" "$verdict"
done
exit $status
