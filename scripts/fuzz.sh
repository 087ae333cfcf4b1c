#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: clang, ASan + UBSan) and runs each
# for SECONDS (default 25) from its seeds in fuzz/corpus/<target>/. The seeds are read,
# never changed: new inputs go to a scratch folder. A crash fails the script and leaves
# the input that caused it in build/fuzz/artifacts/.
set -euo pipefail
seconds="${1:-25}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
cmake --preset fuzz >/dev/null
targets=(ini_reader text_conversions archive_reader wire_json http_request)
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"
artifacts="$root/build/fuzz/artifacts"
mkdir -p "$artifacts"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
for target in "${targets[@]}"; do
    mkdir -p "$scratch/$target"
    echo "fuzzing $target for ${seconds}s"
    "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$scratch/$target" "fuzz/corpus/$target" 2>"$scratch/$target.log" || {
        tail -n 60 "$scratch/$target.log"
        echo "fuzz_$target found a failure; its input is in $artifacts" >&2
        exit 1
    }
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$scratch/$target.log" || true
done
