#!/usr/bin/env bash
# Remakes the real seeds of tests/fuzz/corpus: the files named linux-*,
# windows-* and wine-*. (Files named found-* are inputs the fuzzers found
# and are kept by hand; hand-* are written by hand.)
#   - BIRs encrypted and signed, messages signed, challenges answered by the
#     Linux build against the fuzz store (ambercrypt_fuzz_make_seeds);
#   - the same from the Windows build under Wine: the vectors its
#     cross_target_test.exe writes (signed messages, a signed BIR, BIRs
#     encrypted with the fuzz store's key text);
#   - .reg files of the settings each target's ambercrypt-admin wrote:
#     exported by ambercrypt-reg on Linux and by Wine's regedit /E;
#   - registry values of the wrong type or length, and the reference signer's
#     certificate in every form the "ROOT" store reads.
# Needs build/fuzz (scripts/fuzz.sh builds it), build/linux and build/windows
# (ambercrypt-admin, ambercrypt-reg, cross_target_test) and wine64.
set -euo pipefail
cd "$(dirname "$0")/../.."
corpus=tests/fuzz/corpus
wine64=$(command -v wine64 || dpkg -L wine64 2>/dev/null | grep -m1 '/wine64$')
cmake --build build/fuzz --target ambercrypt_fuzz_make_seeds >/dev/null
cmake --build build/linux --target ambercrypt-admin ambercrypt-reg >/dev/null
cmake --build build/windows --target ambercrypt-admin cross_target_test >/dev/null

work=$(mktemp -d /tmp/ambercrypt-corpus-XXXXXX)
export WINEPREFIX=$work/wine WINEDEBUG=-all
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
pw='Admin-Passw0rd'

# The same administration on both targets: tool is the admin command.
administer() {
  echo "$pw" | "$@" install >/dev/null
  echo "$pw" | "$@" restrict Scanner full >/dev/null
  printf '%s\n%s\n' "$pw" 'Secret12' | "$@" secret-key Scanner aes256 >/dev/null
  printf '%s\n%s\n' "$pw" 'Hmac-Key-Text-1' |
    "$@" verify-policy Scanner --max-fmr 100 --max-failures 3 --lock-minutes 5 --flag 1 --method 40 >/dev/null
  echo "$pw" | "$@" identify-policy Scanner --max-fmr -1 --max-failures 0 --lock-minutes 0 --method 30 >/dev/null
  echo "$pw" | "$@" restrict Kiosk custom --mask 0x1DDC >/dev/null
}

mkdir -p "$corpus/fuzz_reg_import"
AMBERCRYPT_ROOT=$work/linux-root
export AMBERCRYPT_ROOT
mkdir -m 0700 "$AMBERCRYPT_ROOT"
administer build/linux/tools/ambercrypt-admin
build/linux/tools/ambercrypt-reg export 'HKLM\SOFTWARE\Dravelo' "$corpus/fuzz_reg_import/linux-export.reg" /y >/dev/null
unset AMBERCRYPT_ROOT

"$wine64" wineboot --init >/dev/null 2>&1 || true
administer "$wine64" build/windows/tools/ambercrypt-admin.exe
"$wine64" regedit /E 'Z:'"${work//\//\\}"'\wine.reg' 'HKEY_LOCAL_MACHINE\SOFTWARE\Dravelo'
cp "$work/wine.reg" "$corpus/fuzz_reg_import/wine-regedit.reg"

AMBERCRYPT_VECTORS_OUT=$work/windows.txt "$wine64" build/windows/tests/cross_target_test.exe \
  --gtest_filter='*Writes*' >/dev/null
build/fuzz/tests/fuzz/ambercrypt_fuzz_make_seeds "$corpus" "$work/windows.txt"
