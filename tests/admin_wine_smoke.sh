#!/usr/bin/env bash
# ambercrypt-admin.exe under Wine, in a fresh prefix of its own (the real
# registry and CryptoAPI underneath): install from stdin, restrict, a secret
# key, a method-40 policy, show --json, list, a wrong password refused with its
# meaning, a second install refused, a device refused as a BIR file, deletion.
#   admin_wine_smoke.sh WINE64 ADMIN_EXE
set -euo pipefail
wine64=$1
admin=$2
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/ambercrypt-admin-wine-XXXXXX)
export WINEDEBUG=-all
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
"$wine64" wineboot --init >/dev/null 2>&1 || true
fail() { echo "FAILED: $*"; exit 1; }
has() { grep "$@" >/dev/null; }
tool() { "$wine64" "$admin" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
pw='Admin-Passw0rd'

echo "$pw" | tool install | has 'installation number' || fail "install"
if out=$(echo "$pw" | tool install 2>&1); then fail "second install accepted"; fi
has -F "every application's settings" <<<"$out" || fail "second install: $out"
echo "$pw" | tool restrict Scanner full >/dev/null || fail "restrict"
printf '%s\n%s\n' "$pw" 'Secret-Key-77' | tool secret-key Scanner 3des >/dev/null || fail "secret key"
printf '%s\n%s\n' "$pw" 'Hmac-Key-Text-1' |
  tool verify-policy Scanner --max-fmr 10 --max-failures 2 --lock-minutes 1 --method 40 >/dev/null || fail "policy"
json=$(tool show Scanner --json)
has -F '"secretKey": {"set": true, "cipher": "3des", "key": "present"}' <<<"$json" || fail "show: $json"
has -F '"verifyPolicy": {"maxFmr": 10, "maxFailures": 2, "lockMinutes": 1, "flag": 0, "responseMethod": 40, "keyText": "present"}' \
  <<<"$json" || fail "show policy: $json"
has -e 'Secret-Key-77' -e 'Hmac-Key-Text-1' <<<"$json" && fail "secret shown"
tool list --json | has -F '"name": "Scanner"' || fail "list"
if out=$(echo 'wrong-Passw0rd' | tool restrict Scanner 1 2>&1); then fail "wrong password accepted"; fi
has -F '0x8000804: administrator password refused' <<<"$out" || fail "wrong password: $out"
# A device named as a BIR file is refused, not read as an empty file.
if out=$(tool verify-bir Scanner NUL 2>&1); then fail "NUL taken as a BIR file"; fi
has -F 'NUL: is not a regular file' <<<"$out" || fail "NUL as a BIR file: $out"
tool delete Scanner >/dev/null || fail "delete"
tool list | has Scanner && fail "deleted application listed"
echo "admin tool under Wine: all checks passed"
