#!/usr/bin/env bash
# Fuzzes one target for a number of seconds (one job, at low priority).
# The scratch corpus lives in the build tree and starts from the committed
# seeds; crashes and slow inputs land in the build tree's artifacts folder.
# Usage: run.sh BUILD_DIR TARGET SECONDS
set -euo pipefail
build=$1
target=$2
seconds=$3
src=$(cd "$(dirname "$0")" && pwd)
work=$build/corpus-$target
artifacts=$build/artifacts-$target/
mkdir -p "$work" "$artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:max_allocation_size_mb=256:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec nice -n 10 "$build/tests/fuzz/fuzz_$target" \
    -max_total_time="$seconds" -timeout=5 -rss_limit_mb=4096 -max_len=512 -len_control=10 \
    -artifact_prefix="$artifacts" -print_final_stats=1 \
    "$work" "$src/corpus/$target"
