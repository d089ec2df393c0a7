#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks what went where, and builds
# and runs a small C program against the installed tree alone, once found with
# find_package (CMake) and once with pkg-config.
#   install_test.sh CMAKE BUILD_DIR CONSUMER_DIR C_COMPILER TOOL,TOOL,...
set -euo pipefail
cmake=$1 build=$2 consumer=$3 cc=$4
IFS=, read -r -a tools <<<"$5"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAILED: $*"; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

# The usual places (GNUInstallDirs), and nothing of the state directory.
libdir=$(dirname "$(find "$prefix" -name libambercrypt.so -print -quit)")
[ -n "$libdir" ] && [ "$libdir" != . ] || fail "no libambercrypt.so under $prefix"
case "${libdir#"$prefix"/}" in lib | lib64 | lib/*-linux-gnu) ;; *) fail "library in ${libdir#"$prefix"/}" ;; esac
for f in include/ambercrypt/ambercrypt.h "${libdir#"$prefix"/}/pkgconfig/ambercrypt.pc" \
  "${libdir#"$prefix"/}/cmake/ambercrypt/ambercryptConfig.cmake" \
  "${libdir#"$prefix"/}/cmake/ambercrypt/ambercryptConfigVersion.cmake"; do
  [ -f "$prefix/$f" ] || fail "$f not installed"
done
for tool in "${tools[@]}"; do
  [ -x "$prefix/bin/$tool" ] || fail "tool $tool not installed in bin/"
done
[ ! -e "$prefix/var" ] && [ ! -e "$prefix/include/ambercrypt/platform" ] || fail "installed more than it should"
# Only the public headers (the library's, the verifier's): nothing of the internals.
[ "$(find "$prefix/include" -type f | wc -l)" -eq 2 ] && [ -f "$prefix/include/ambercrypt/verifier.h" ] ||
  fail "include/ holds other than the two public headers"
[ -f "$libdir/libambercrypt_verifier.a" ] && [ -f "$libdir/pkgconfig/ambercrypt_verifier.pc" ] ||
  fail "the verifier library or its .pc file is not installed"
cmp "$prefix/include/ambercrypt/ambercrypt.h" "$consumer/../../include/ambercrypt/ambercrypt.h" ||
  fail "installed header differs"

# find_package(ambercrypt) and ambercrypt::ambercrypt.
"$cmake" -S "$consumer" -B "$work/cmake-build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "configuring the CMake consumer"; }
"$cmake" --build "$work/cmake-build" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "building the CMake consumer"; }
AMBERCRYPT_ROOT=$work/state-cmake "$work/cmake-build/consumer" "$prefix" || fail "the CMake consumer"

# pkg-config, with the prefix's .pc file.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion ambercrypt)" = "$(sed -n 's/^Version: //p' "$libdir/pkgconfig/ambercrypt.pc")" ] ||
  fail "pkg-config does not find the installed ambercrypt.pc"
[ "$(pkg-config --variable=prefix ambercrypt)" = "$prefix" ] || fail "ambercrypt.pc names another prefix"
# shellcheck disable=SC2046
"$cc" -Wall -Wextra -Werror -DAMBERCRYPT_CONSUMER_VERIFIER -o "$work/pc-consumer" "$consumer/consumer.c" \
  $(pkg-config --cflags --libs ambercrypt ambercrypt_verifier) ||
  fail "building with pkg-config"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir ambercrypt) AMBERCRYPT_ROOT=$work/state-pc \
  "$work/pc-consumer" "$prefix" || fail "the pkg-config consumer"
echo "installed tree, find_package and pkg-config consumers: all good"
