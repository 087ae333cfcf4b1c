#!/usr/bin/env bash
# Runs a Windows program under Wine without a window or a question: a prefix of its own
# (WINEPREFIX, else build/wine-prefix of this tree), no debug chatter, no Mono or Gecko
# installer prompts. Its exit code is the program's.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$root/build/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
wine="${MERRAVINE_WINE:-}"
if [ -z "$wine" ]; then
    for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then
            wine="$candidate"
            break
        fi
    done
fi
[ -n "$wine" ] || { echo "wine-run.sh: wine64 is not installed" >&2; exit 127; }
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # The first start makes the prefix (once, when tests start side by side); it complains
    # about the 32-bit side, which is not used.
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$wine" wineboot --init >/dev/null 2>&1 || true
        "${wine%/*}/wineserver64" -w 2>/dev/null || true
    fi
    exec 9>&-
fi
exec "$wine" "$@"
