#!/bin/sh
# Runs the host probe from a path of more than 260 characters whose first 259
# characters end in "e" and checks that it names the application "enc", not
# "e". With WINE given, the Windows probe is started by the Wine loader: under
# Wine no Windows process can start a program from such a path.
# usage: long_host_path_test.sh PROBE [WINE]
set -eu
probe=$1
wine=${2:-}

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
export AMBERCRYPT_ROOT="$root/state"
mkdir "$AMBERCRYPT_ROOT"

# Under Wine the process sees its Linux path behind "Z:".
shown=0
suffix=""
if [ -n "$wine" ]; then
  shown=2
  suffix=.exe
fi
pad=$((258 - shown - ${#root} - 2))
dir="$root/$(printf "%${pad}s" "" | tr " " d)"
mkdir "$dir"
program="$dir/enc$suffix"
cp "$probe" "$program"
[ $((shown + ${#program})) -gt 260 ] || { echo "path too short"; exit 1; }

answer="$root/answer.txt"
if [ -n "$wine" ]; then
  "$wine" "$program" "Z:$(printf %s "$answer" | tr / '\\')"
else
  "$program" "$answer"
fi

# An AppKey is the Base64 of the name's SHA-1.
expected=$(printf %s enc | openssl sha1 -binary | openssl base64)
got=$(cat "$answer")
if [ "$got" != "$expected" ]; then
  echo "FAILED: the host at $program was named $got, expected $expected (enc)"
  exit 1
fi
echo "host at a path of $((shown + ${#program})) characters named enc"
