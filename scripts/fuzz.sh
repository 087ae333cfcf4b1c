#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: clang, ASan + UBSan) and runs each
# for SECONDS (default 25) from its seeds in fuzz/corpus/<target>/, as many at once as
# there are build jobs (MERRAVINE_JOBS, default 2: a target runs on one core). The seeds
# are read, never changed: new inputs go to a scratch folder. A crash fails the script and
# leaves the input that caused it in build/fuzz/artifacts/.
set -euo pipefail
seconds="${1:-25}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
jobs="${MERRAVINE_JOBS:-2}"
cmake --preset fuzz >/dev/null
targets=(ini_reader text_conversions archive_reader wire_json http_request)
cmake --build --preset fuzz -j "$jobs" --target "${targets[@]/#/fuzz_}"
artifacts="$root/build/fuzz/artifacts"
mkdir -p "$artifacts"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

fuzz_one() {
    local target="$1"
    mkdir -p "$scratch/$target"
    if ! "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$scratch/$target" "fuzz/corpus/$target" 2>"$scratch/$target.log"; then
        tail -n 60 "$scratch/$target.log"
        echo "fuzz_$target found a failure; its input is in $artifacts" >&2
        return 1
    fi
    # One write, so that the lines of targets running side by side do not interleave.
    printf 'fuzz_%s: %ss\n%s\n' "$target" "$seconds" \
        "$(grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$scratch/$target.log")"
}
export -f fuzz_one
export seconds artifacts scratch
# xargs runs every target and fails when one of them did.
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'fuzz_one "$1"' _ {}
