#!/usr/bin/env bash
# Builds the Linux library and runs the demo in a temporary store: an
# administrator restricts the application "Scanner", gives it a secret key,
# policies and a signing certificate; a process of that application asks which
# functions it may use, encrypts and decrypts a BIR, verifies a person and has
# the outcome answered over a challenge (checked with OpenSSL alone), has a
# forged reference BIR refused, and is locked out after repeated failures.
# Installs the Debian packages it needs when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ pkg-config libssl-dev libsqlite3-dev)
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

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBERCRYPT_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc 2>/dev/null || echo 2)" --target ambercrypt ambercrypt-demo ambercrypt-reg >/dev/null
exec build/demo/tools/ambercrypt-demo "$(pwd)/build/demo/libambercrypt.so"
