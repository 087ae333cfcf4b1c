#!/usr/bin/env bash
# The Windows build's CI stage: cross-builds the windows preset, runs its GoogleTest suites
# under Wine, scans a small tree of known sets with merravine.exe, and packs the zip
# build/windows/merravine-<version>-windows-x64.zip (the executable, its pages inside, and
# the README). The Wine prefix lives in build/wine-prefix (scripts/wine-run.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
jobs="${MERRAVINE_JOBS:-2}"
build="$root/build/windows"
wine_run="$root/scripts/wine-run.sh"

cmake --preset windows >/dev/null
# The executable and the suites that run under Wine; nothing else of the tree.
cmake --build --preset windows -j "$jobs" --target merravine test_suites
ctest --preset windows -j "$jobs"

# The scan end to end: twins across folders, a near twin, a file alone.
tree="$(mktemp -d)"
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/a" "$tree/b/c d"
printf 'twin content\n' >"$tree/a/one.txt"
printf 'twin content\n' >"$tree/b/c d/two.txt"
printf 'twin content\n' >"$tree/b/three.bin"
printf 'twin contenT\n' >"$tree/a/near.txt"
printf 'pair\n' >"$tree/a/p1.txt"
printf 'pair\n' >"$tree/b/c d/p2.txt"
printf 'alone\n' >"$tree/alone.txt"
# Wine shows the host's root as drive Z:. Each set is one line of sorted paths.
sets() {
    local members=()
    local line
    while IFS= read -r line || [ -n "$line" ]; do
        if [ -n "$line" ]; then
            members+=("$line")
        elif [ "${#members[@]}" -gt 0 ]; then
            printf '%s\n' "${members[@]}" | LC_ALL=C sort | paste -sd'|'
            members=()
        fi
    done
    if [ "${#members[@]}" -gt 0 ]; then printf '%s\n' "${members[@]}" | LC_ALL=C sort | paste -sd'|'; fi
}
actual="$("$wine_run" "$build/src/shell/merravine.exe" scan "Z:$tree" | tr -d '\r' | sets | LC_ALL=C sort)"
expected="$(printf 'Z:%s/a/one.txt\nZ:%s/b/c d/two.txt\nZ:%s/b/three.bin\n\nZ:%s/a/p1.txt\nZ:%s/b/c d/p2.txt\n' \
    "$tree" "$tree" "$tree" "$tree" "$tree" | sets | LC_ALL=C sort)"
if [ "$actual" != "$expected" ]; then
    echo "merravine.exe scan found:"
    echo "$actual"
    echo "expected:"
    echo "$expected"
    exit 1
fi
echo "merravine.exe scan: the known sets"

# The pages: served by merravine.exe, shown by a browser (Debian's Chromium, headless);
# when the browser closes the page, the program ends by itself.
if command -v chromium >/dev/null; then
    data="$tree/data"
    mkdir -p "$data"
    "$wine_run" "$build/src/shell/merravine.exe" --no-window --data-dir "Z:$data" >"$tree/ui.out" 2>&1 &
    program=$!
    url=""
    for _ in $(seq 1 100); do
        url="$(grep -o 'http://127.0.0.1:[0-9]*/[^ ]*' "$tree/ui.out" | head -n1 | tr -d '\r' || true)"
        [ -n "$url" ] && break
        sleep 0.3
    done
    [ -n "$url" ] || { echo "merravine.exe printed no address"; kill "$program" 2>/dev/null; exit 1; }
    page="$(timeout 60 chromium --headless --no-sandbox --disable-gpu --virtual-time-budget=5000 \
        --dump-dom "$url" 2>/dev/null || true)"
    case "$page" in
        *"<title>Corvantis Merravine</title>"*) ;;
        *) echo "the browser did not get the start page"; kill "$program" 2>/dev/null; exit 1 ;;
    esac
    for _ in $(seq 1 100); do
        kill -0 "$program" 2>/dev/null || break
        sleep 0.3
    done
    if kill -0 "$program" 2>/dev/null; then
        echo "merravine.exe still runs after the browser closed its page"
        kill "$program" 2>/dev/null
        exit 1
    fi
    wait "$program" || { echo "merravine.exe ended with an error after the page closed"; exit 1; }
    echo "merravine.exe pages: shown by the browser; closing the page ended the program"
fi

# The zip: the stripped executable and the README.
version="$("$wine_run" "$build/src/shell/merravine.exe" --version | tr -d '\r')"
stage="$build/zip/merravine-$version-windows-x64"
rm -rf "$build/zip" && mkdir -p "$stage"
x86_64-w64-mingw32-strip -o "$stage/merravine.exe" "$build/src/shell/merravine.exe"
cp README.md "$stage/README.md"
zip="$build/merravine-$version-windows-x64.zip"
rm -f "$zip"
(cd "$build/zip" && cmake -E tar cf "$zip" --format=zip "merravine-$version-windows-x64")
listing="$(cmake -E tar tf "$zip")"
case "$listing" in
    *"/merravine.exe"*) ;;
    *) echo "the zip holds no merravine.exe: $listing"; exit 1 ;;
esac
echo "packed $zip ($(stat -c %s "$zip") bytes)"
