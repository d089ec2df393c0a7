#!/bin/sh
# The shared library's dynamic symbol table holds exactly the names of the
# module-definition file, and nothing else of ours.
set -eu
lib=$1
def=$2
expected=$(awk '$1 ~ /^KoBio/ {print $1}' "$def" | sort)
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$expected" != "$actual" ]; then
  echo "exported symbols differ from $def:"
  diff -u /dev/stdin <<EOT || true
$expected
EOT
  echo "$actual"
  exit 1
fi
echo "19 exports, nothing else: ok"
