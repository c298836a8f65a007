#!/usr/bin/env bash
# Runs every benchmark program briefly and the summary over their output.
# It checks that each figure can be measured at all (the reader got every
# frame, the client got the busy reply, the record packed whole, the
# allocation counter works); it judges no time. Used by CTest.
#
# Usage: smoke.sh BENCH_BIN_DIR OUT_DIR
set -euo pipefail

BIN_DIR="$1"
OUT_DIR="$2"
mkdir -p "$OUT_DIR"

# A network namespace of our own gives the OTA stream name to us alone, so
# that a listener left over elsewhere on the machine cannot block the run.
isolate() {
    if unshare --net true 2>/dev/null; then
        unshare --net -- "$@"
    else
        "$@"
    fi
}

files=()
for program in qz-bench-ota qz-bench-daemon qz-bench-record qz-bench-client qz-bench-e2e; do
    QZ_PLATFORM_LOG=none isolate "$BIN_DIR/$program" \
        --benchmark_min_time=0.01 \
        --benchmark_out="$OUT_DIR/$program.json" \
        --benchmark_out_format=json >/dev/null
    files+=("$OUT_DIR/$program.json")
done
# Exits non-zero when a figure is missing or its benchmark reported an
# error; a missed target is not an error here.
"$BIN_DIR/qz-bench-summary" "${files[@]}"
