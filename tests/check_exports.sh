#!/bin/sh
# The shared library's dynamic symbol table holds exactly the names of the
# module-definition file, and nothing else of ours.
set -eu
lib=$1
def=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
awk '$1 ~ /^KoBio/ {print $1}' "$def" | sort >"$dir/expected"
nm -D --defined-only "$lib" | awk '{print $3}' | sort >"$dir/actual"
if ! cmp -s "$dir/expected" "$dir/actual"; then
  echo "exported symbols differ from $def (- expected, + exported):"
  diff -u "$dir/expected" "$dir/actual" || true
  exit 1
fi
echo "$(wc -l <"$dir/expected") exports, nothing else: ok"
