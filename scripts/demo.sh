#!/usr/bin/env bash
# The whole road through the tools a user types, in a temporary store:
#   1. ambercrypt-admin installs the store (administrator password from a
#      file) and provisions the application "Scanner": restriction mode, secret
#      key, verify and identify policies answered by HMAC, and a BIR-signing
#      certificate imported into "ROOT";
#   2. a process of that application (ambercrypt-demo copied under the name
#      Scanner) encrypts a BIR, verifies a person, answers a challenge over
#      the outcome, signs a reference BIR and has a forged one refused, and is
#      locked out after repeated failures;
#   3. ambercrypt-admin shows the application, lockout included;
#   4. ambercrypt-verify, on the application's side, accepts the response and
#      rejects a tampered one.
# Builds the Linux tools first; installs the Debian packages it needs when
# missing. Exits non-zero when any step does not answer as expected.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ pkg-config libssl-dev libsqlite3-dev openssl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# AMBERCRYPT_DEMO_BUILD names a build directory that has the tools already
# (the test command runs the demo on its own Linux build).
build=${AMBERCRYPT_DEMO_BUILD:-build/demo}
if [ -z "${AMBERCRYPT_DEMO_BUILD:-}" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBERCRYPT_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" \
    --target ambercrypt ambercrypt-demo ambercrypt-admin ambercrypt-verify >/dev/null
fi
tools=$(pwd)/$build/tools
library=$(pwd)/$build/libambercrypt.so

work=$(mktemp -d /tmp/ambercrypt-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
export AMBERCRYPT_ROOT=$work/store
mkdir -m 0755 "$AMBERCRYPT_ROOT"
admin() {
  echo "\$ ambercrypt-admin $*" | sed "s|$work|\$DEMO|g"
  "$tools/ambercrypt-admin" "$@" 2>&1 | sed 's/^/    /'
  return "${PIPESTATUS[0]}"
}
umask 077
printf 'Admin-Passw0rd\n' >"$work/password"
printf 'DemoSecret2026\n' >"$work/secret"
printf 'Demo response key\n' >"$work/response-key"

echo "== 1. installation and administration (state root \$DEMO/store)"
admin install --password-file "$work/password"
admin restrict Scanner full --password-file "$work/password"
admin secret-key Scanner aes256 --key-file "$work/secret" --password-file "$work/password"
admin verify-policy Scanner --max-fmr 1000 --max-failures 3 --lock-minutes 1 --flag 1 --method 40 \
  --key-file "$work/response-key" --password-file "$work/password"
admin identify-policy Scanner --max-fmr 1000 --max-failures 2 --lock-minutes 0 --flag 1 --method 40 \
  --key-file "$work/response-key" --password-file "$work/password"
# Scanner's signing certificate and key; an impostor's with the same issuer
# and serial number and another key, kept apart for the forger.
for who in signer impostor; do
  openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Scanner reference signer" -set_serial 0x2026 -days 365 \
    -keyout "$work/$who.key" -out "$work/$who.pem" 2>/dev/null
done
admin cert import "$work/signer.pem" --key "$work/signer.key" --name scanner-signer
admin signing-cert Scanner "$work/signer.pem" --password-file "$work/password"

echo
echo "== 2. the application's process"
cp "$tools/ambercrypt-demo" "$work/Scanner"
AMBERCRYPT_DEMO_OUT=$work "$work/Scanner" --as-host "$library" "$work"

echo
echo "== 3. what the store holds for Scanner"
admin show Scanner

echo
echo "== 4. the application checks the response with ambercrypt-verify"
verify() {
  "$tools/ambercrypt-verify" verify --challenge "$(cat "$work/challenge.txt")" --record "$work/record.bin" \
    --response "$1" --method 40 --key-file "$work/response-key"
}
printf '$ ambercrypt-verify verify ... --response response.bin   -> '
verify "$work/response.bin"
cp "$work/response.bin" "$work/tampered.bin"
byte=$(od -An -tu1 -j7 -N1 "$work/tampered.bin" | tr -d ' ')
printf "\\$(printf %03o $((byte ^ 1)))" | dd of="$work/tampered.bin" bs=1 seek=7 conv=notrunc status=none
printf '$ ambercrypt-verify verify ... --response tampered.bin   -> '
if verify "$work/tampered.bin"; then
  echo "demo: a tampered response was ACCEPTED"
  exit 1
fi
echo
echo "demo: every step answered as expected"
