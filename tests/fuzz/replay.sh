#!/usr/bin/env bash
# Runs every input of a corpus directory once through a fuzz target; fails
# on the first crash, sanitizer report, leak or input slower than 5 s.
set -euo pipefail
target=$1
corpus=$2
shopt -s nullglob
inputs=("$corpus"/*)
if [ ${#inputs[@]} -eq 0 ]; then
    echo "no inputs in $corpus" >&2
    exit 1
fi
"$target" -timeout=5 -rss_limit_mb=4096 "${inputs[@]}"
echo "replayed ${#inputs[@]} inputs of $(basename "$corpus")"
