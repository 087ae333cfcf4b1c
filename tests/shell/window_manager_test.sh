#!/usr/bin/env bash
# The real window under a real window manager: openbox on its own Xvfb display, observed
# and driven from outside with xdotool, wmctrl and xprop as a user's mouse and keyboard
# would. Checks: one title bar only (the window manager adds no frame); the page's caption
# drags the window, a double click on it maximises and restores it, the window's edge
# resizes it; Alt+F4 and the window manager's close ask the page's question, and during a
# deletion the answer No lets the deletion finish; a second start shows the small notice
# and, once answered, raises the first window.
#
# Usage: window_manager_test.sh MERRAVINE_EXECUTABLE. Exit 77 (skipped) without the tools.
set -u
BIN="$1"
for tool in Xvfb openbox xdotool wmctrl xprop; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: no $tool, so no window manager to test the window under"
        exit 77
    fi
done

work="$(mktemp -d)"
passed=0
failed=0
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
ok() { echo "ok: $*"; passed=$((passed + 1)); }
not_ok() { echo "FAILED: $*"; failed=$((failed + 1)); }
check() { local what="$1"; shift; if "$@"; then ok "$what"; else not_ok "$what"; fi; }

# ---- a display with a window manager ----------------------------------------------------

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1400x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do wmctrl -m >/dev/null 2>&1 && break; sleep 0.1; done
wmctrl -m >/dev/null 2>&1 || { echo "openbox did not start"; cat "$work/openbox.log"; exit 1; }

export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
export XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
unset MERRAVINE_DATA_DIR MERRAVINE_WINDOW_CHECK
export DBUS_SESSION_BUS_ADDRESS="disabled:"

# The program's top-level window (not the small windows GTK keeps unmapped).
find_window() {
    local pid="$1" id
    for _ in $(seq 300); do
        for id in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
            echo "$id"
            return 0
        done
        sleep 0.1
    done
    return 1
}
geometry() {  # prints "x y width height"
    local X Y WIDTH HEIGHT
    eval "$(xdotool getwindowgeometry --shell "$1")"
    echo "$X $Y $WIDTH $HEIGHT"
}
wait_for_log() {  # the page has connected and started
    for _ in $(seq 300); do
        grep -q "page connected" "$1" 2>/dev/null && { sleep 1; return 0; }
        sleep 0.1
    done
    return 1
}
drag() {  # drag from (x1, y1) to (x2, y2) with the left button held
    xdotool mousemove "$1" "$2" mousedown 1
    sleep 0.6
    local i
    for i in 1 2 3 4 5 6; do
        xdotool mousemove $(($1 + ($3 - $1) * i / 6)) $(($2 + ($4 - $2) * i / 6))
        sleep 0.08
    done
    sleep 0.3
    xdotool mouseup 1
    sleep 0.6
}
maximized() { xprop -id "$1" _NET_WM_STATE | grep -q _NET_WM_STATE_MAXIMIZED_HORZ; }
# A message box (400 x 220, centred on the page) of window $1: click its message text, or
# its rightmost button (OK, or Yes in a question).
box_origin() {
    local x y w h
    read -r x y w h <<<"$(geometry "$1")"
    echo $((x + (w - 400) / 2)) $((y + (h - 220) / 2))
}
click_box_text() { local bx by; read -r bx by <<<"$(box_origin "$1")"; xdotool mousemove $((bx + 100)) $((by + 80)) click 1; sleep 0.3; }
click_box_right_button() { local bx by; read -r bx by <<<"$(box_origin "$1")"; xdotool mousemove $((bx + 341)) $((by + 189)) click 1; }

# ---- one title bar, moving, maximising, resizing ---------------------------------------------

"$BIN" --data-dir "$work/first" >"$work/first.out" 2>&1 &
first=$!
pids+=($first)
win="$(find_window "$first")" || { echo "no window appeared"; cat "$work/first.out"; exit 1; }
wait_for_log "$work/first/Log/Tessvel.log" || not_ok "the page did not connect"

extents="$(xprop -id "$win" _NET_FRAME_EXTENTS)"
check "the window manager draws no frame ($extents)" \
    test "$extents" = "_NET_FRAME_EXTENTS(CARDINAL) = 0, 0, 0, 0"
read -r x y w h <<<"$(geometry "$win")"
check "the window opens at 902 x 702 (got $w x $h)" test "$w" -eq 902 -a "$h" -eq 702

drag $((x + 200)) $((y + 20)) $((x + 320)) $((y + 100))
read -r x2 y2 _ _ <<<"$(geometry "$win")"
check "the caption drags the window ($x,$y -> $x2,$y2)" test $((x2 - x)) -ge 60 -a $((y2 - y)) -ge 40
x=$x2 y=$y2

xdotool mousemove $((x + 250)) $((y + 20)) click --repeat 2 --delay 120 1
sleep 1
check "a double click on the caption maximises" maximized "$win"
read -r mx my mw mh <<<"$(geometry "$win")"
check "maximised, the window fills the screen ($mw x $mh)" test "$mw" -ge 1390 -a "$mh" -ge 990
xdotool mousemove $((mx + 250)) $((my + 20)) click --repeat 2 --delay 120 1
sleep 1
check "a second double click restores" eval '! maximized "$win"'

read -r x y w h <<<"$(geometry "$win")"
drag $((x + w - 2)) $((y + h - 2)) $((x + w + 118)) $((y + h + 78))
read -r _ _ w2 h2 <<<"$(geometry "$win")"
check "the corner resizes the window ($w x $h -> $w2 x $h2)" test $((w2 - w)) -ge 60 -a $((h2 - h)) -ge 40
drag $((x + w2 - 2)) $((y + h2 - 2)) $((x + 300)) $((y + 200))
read -r _ _ w3 h3 <<<"$(geometry "$win")"
check "the window is no smaller than 900 x 700 (got $w3 x $h3)" test "$w3" -ge 900 -a "$h3" -ge 700

# ---- a second start -------------------------------------------------------------------------

xdotool windowminimize "$win"; sleep 1
"$BIN" --data-dir "$work/second" >"$work/second.out" 2>&1 &
second=$!
pids+=($second)
notice="$(find_window "$second")"
if [ -z "$notice" ]; then
    not_ok "the second start shows no window"
else
    wait_for_log "$work/second/Log/Tessvel.log"
    sleep 1
    read -r _ _ nw nh <<<"$(geometry "$notice")"
    check "the second start shows the small notice (got $nw x $nh)" test "$nw" -eq 400 -a "$nh" -eq 250
    click_box_right_button "$notice"
fi
for _ in $(seq 100); do kill -0 "$second" 2>/dev/null || break; sleep 0.1; done
check "the notice's OK ends the second start" eval '! kill -0 "$second" 2>/dev/null'
sleep 1
active="$(xdotool getactivewindow 2>/dev/null)"
check "the first window is raised and focused (active $active, first $win)" test "$active" = "$win"
check "the first window is no longer minimised" eval '! xprop -id "$win" _NET_WM_STATE | grep -q _NET_WM_STATE_HIDDEN'

# ---- closing asks the page --------------------------------------------------------------------

xdotool windowactivate "$win" 2>/dev/null; sleep 0.5
xdotool key --clearmodifiers alt+F4
sleep 1.5
check "Alt+F4 does not end the program at once" kill -0 "$first"
click_box_text "$win"
xdotool key --clearmodifiers Escape  # the question's answer No
sleep 0.5
wmctrl -i -c "$win"
sleep 1.5
check "the window manager's close does not end the program at once" kill -0 "$first"
click_box_right_button "$win"  # Yes
for _ in $(seq 100); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
check "Yes ends the program" eval '! kill -0 "$first" 2>/dev/null'
wait "$first"
check "the program ended cleanly" test $? -eq 0

# ---- the window manager's close during a deletion ---------------------------------------------

tree="$work/tree"
for i in $(seq 1 6000); do
    d="$tree/$((i % 50))"
    mkdir -p "$d"
    printf 'content %d\n' "$i" >"$d/a$i.txt"
    printf 'content %d\n' "$i" >"$d/b$i.txt"
done
# The page scans the tree, starts deleting one file of every pair, then says so in its title;
# the window manager's close comes from outside; the page answers the question No and reports.
script="$(cat <<JS
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const until = async (f) => { for (let i = 0; i < 1200; i++) { const v = await f(); if (v) return v; await sleep(50); } throw new Error('timed out'); };
while (!document.documentElement.dataset.ready) await sleep(50);
await view.SetSearchDirectory(['$tree']);
if (await view.BeginSearch() !== 0) throw new Error('no scan');
await until(async () => (await view.GetScanningInfo())[0] === 0);
const rows = await new Promise((resolve) => { window.DuplicateFileToUI = (r) => { resolve(r); return 1; }; view.GetDuplicateFiles(63); });
const doomed = rows.filter((r, i) => i > 0 && rows[i - 1][9] === r[9]);
let result = null;
window.DelFileResultToUI = (v) => { result = v; return 1; };
if (await view.DeleteFiles(doomed) !== 0) throw new Error('no deletion');
document.title = 'deleting';
const question = Lang.translate('QUIT_WHILE_DELETING');
const box = await until(() => Array.from(document.querySelectorAll('.popup-layer iframe')).find((f) => {
    const t = f.contentDocument && f.contentDocument.getElementById('msgText');
    return t && t.textContent === question && !f.contentDocument.getElementById('btnNo').hidden;
}));
const jobs = await view.GetRunningJobs();
box.contentDocument.getElementById('btnNo').click();
await until(() => result !== null);
return JSON.stringify({ asked: true, deletingWhenAsked: jobs[1] === 1, requested: doomed.length, result });
JS
)"
MERRAVINE_WINDOW_CHECK="$script" "$BIN" --data-dir "$work/third" >"$work/third.out" 2>&1 &
third=$!
pids+=($third)
win="$(find_window "$third")"
for _ in $(seq 1200); do
    [ "$(xdotool getwindowname "$win" 2>/dev/null)" = "deleting" ] && break
    sleep 0.05
done
wmctrl -i -c "$win"
for _ in $(seq 1200); do kill -0 "$third" 2>/dev/null || break; sleep 0.1; done
wait "$third"
outcome="$(grep "WINDOW CHECK" "$work/third.out")"
echo "$outcome"
check "the close during a deletion asks while the deletion runs" \
    grep -q '"asked":true,"deletingWhenAsked":true' <<<"$outcome"
check "answered No, the deletion finishes: all 6000 files" grep -q '"requested":6000,"result":\[6000,6000,0\]' <<<"$outcome"
left="$(find "$tree" -type f | wc -l)"
check "6000 files are left on disk (got $left)" test "$left" -eq 6000

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
