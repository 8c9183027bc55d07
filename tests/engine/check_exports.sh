#!/usr/bin/env bash
# The library's dynamic symbol table holds exactly the boundary names listed in the version
# script, and nothing else of ours.
set -euo pipefail
lib=$1
map=$2
expected=$(grep -oE '^\s+[a-z_]+;' "$map" | tr -d ' ;' | sort)
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$expected" != "$actual" ]; then
  echo "exported symbols differ from the boundary list:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
count=$(echo "$actual" | wc -l)
echo "exports ok: $count names"
[ "$count" -eq 25 ]
