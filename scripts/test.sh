#!/usr/bin/env bash
# Installs the dependencies and runs every check CI runs, one stage after the other:
# the format check, the ci build (warnings as errors) and its GoogleTest suites, clang-tidy
# over that build, the browser tests in e2e/, the Debian package (built, installed and tried
# by scripts/package-test.sh), the Windows build with its suites under Wine and its zip
# (scripts/windows-test.sh), the asan build and its suites, each fuzz target for 25 seconds,
# and the tsan build and its suites. The first failing stage ends the run. Each stage's time
# is printed at the end.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# Two build jobs: the CI machine has two cores and ninja's default would start more.
jobs="${MERRAVINE_JOBS:-2}"
timings=()
stage() {
    local name="$1"
    shift
    echo "==== $name"
    local start=$SECONDS
    "$@"
    timings+=("$(printf '%-12s %5ds' "$name" $((SECONDS - start)))")
}
report() {
    echo "==== stage times"
    printf '%s\n' "${timings[@]}"
}
trap report EXIT

# The ci build makes every target (tidy reads them all, the package takes the program);
# a sanitizer build makes only what its suites run (no benchmarks).
build_and_test() {
    local preset="$1"
    shift
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" "$@"
    ctest --preset "$preset" -j "$jobs"
}

lint() {
    # Every translation unit of the ci build, headers of the project included (.clang-tidy).
    run-clang-tidy-14 -p build/ci -j "$jobs" -quiet "$root/(src|tests|tools|bench)/" \
        > build/ci/clang-tidy.log 2>&1 || { cat build/ci/clang-tidy.log; return 1; }
    if grep -E '(warning|error): ' build/ci/clang-tidy.log; then return 1; fi
}

browser_tests() {
    [ -f e2e/package.json ] || return 0
    export MERRAVINE_BIN="$root/build/ci/src/shell/merravine"
    # One run: a failed browser test fails CI, it is not run again.
    (cd e2e && xvfb-run -a --server-args="-screen 0 1280x800x24" npm test)
}

stage deps bash scripts/install-deps.sh
stage format scripts/format.sh --check
stage ci build_and_test ci
stage tidy lint
stage e2e browser_tests
stage package env MERRAVINE_PACKAGE_PRESET=ci bash scripts/package-test.sh
stage windows bash scripts/windows-test.sh
stage asan build_and_test asan --target test_suites
stage fuzz bash scripts/fuzz.sh "${MERRAVINE_FUZZ_SECONDS:-25}"
stage tsan build_and_test tsan --target test_suites
