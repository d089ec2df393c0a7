#!/usr/bin/env bash
# The Windows zip (cpack -G ZIP in the Windows build): the DLL with its
# exports by name and ordinal as exports.def gives them, the .def itself, the
# import library, the header and the tools; then a C program built with MinGW
# against the unpacked zip alone runs under Wine (WINEPREFIX as for the other
# Windows tests).
#   windows_zip_test.sh BUILD_DIR CPACK TOOL,TOOL,... [WINE]
set -euo pipefail
build=$1 cpack=$2 wine=${4:-}
IFS=, read -r -a tools <<<"$3"
source_dir=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "FAILED: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && "$cpack" -G ZIP -B "$work/out") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack -G ZIP"; }
zip=$(find "$work/out" -maxdepth 1 -name 'ambercrypt-*-win64.zip' -print -quit)
[ -n "$zip" ] || fail "no zip made"
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
top=$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d -print -quit)
for f in bin/ambercrypt.dll lib/ambercrypt.def lib/libambercrypt.dll.a include/ambercrypt/ambercrypt.h \
  lib/cmake/ambercrypt/ambercryptConfig.cmake lib/pkgconfig/ambercrypt.pc; do
  [ -f "$top/$f" ] || fail "$f not in the zip"
done
for tool in "${tools[@]}"; do
  [ -f "$top/bin/$tool.exe" ] || fail "tool $tool.exe not in the zip"
done
cmp "$top/lib/ambercrypt.def" "$source_dir/exports.def" || fail "the zip's .def is not exports.def"
# Unpacked anywhere: the pkg-config file finds the prefix from its own place.
grep -qxF 'prefix=${pcfiledir}/../..' "$top/lib/pkgconfig/ambercrypt.pc" || fail "ambercrypt.pc names a fixed prefix"
cflags=$(PKG_CONFIG_PATH=$top/lib/pkgconfig pkg-config --cflags ambercrypt)
cflags=${cflags%" "}
[ "$cflags" = "-I$top/lib/pkgconfig/../../include" ] || fail "pkg-config gives $cflags for the zip's header"
cmp "$top/include/ambercrypt/ambercrypt.h" "$source_dir/include/ambercrypt/ambercrypt.h" || fail "header differs"

# Every name of the .def exported at its ordinal, and nothing else (objdump
# lists each name with its ordinal less the ordinal base).
awk '$2 ~ /^@[0-9]+$/ { print substr($2, 2), $1 }' "$source_dir/exports.def" | sort >"$work/want"
x86_64-w64-mingw32-objdump -p "$top/bin/ambercrypt.dll" |
  awk '/Ordinal Base/ { base = $NF }
       /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
       on && /^\t\[/ { gsub(/[][]/, ""); print $1 + base, $2; next }
       { on = 0 }' |
  sort >"$work/have"
[ "$(wc -l <"$work/want")" -eq 19 ] || fail "exports.def does not list 19 exports"
diff "$work/want" "$work/have" || fail "the DLL's exports differ from exports.def (above)"

# A program of a developer: the header and the import library, nothing else.
mkdir "$work/run"
x86_64-w64-mingw32-gcc-posix -Wall -Wextra -Werror -I"$top/include" -o "$work/run/consumer.exe" \
  "$source_dir/tests/install_consumer/consumer.c" -L"$top/lib" -lambercrypt || fail "building against the zip"
x86_64-w64-mingw32-objdump -p "$work/run/consumer.exe" >"$work/consumer.headers"
grep -q 'DLL Name: ambercrypt.dll' "$work/consumer.headers" ||
  fail "the program does not import ambercrypt.dll"
if [ -n "$wine" ]; then
  cp "$top/bin/ambercrypt.dll" "$work/run/"
  "$wine" "$work/run/consumer.exe" || fail "the program built against the zip, under Wine"
fi
echo "windows zip: all good"
