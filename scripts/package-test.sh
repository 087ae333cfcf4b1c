#!/usr/bin/env bash
# Builds the Debian package from a release build (or the one MERRAVINE_PACKAGE_PRESET names),
# checks it with lintian, installs it on this machine with apt-get and tries the installed
# program as a user would: its version, a scan of a small tree with a known answer, the page
# server without a window, and (with a display server at hand) the window module found in
# its private folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
step() { printf '\n== %s\n' "$*"; }
fail() { echo "package test FAILED: $*" >&2; exit 1; }

# The build to package: the release preset, or another one already built (CI packages its
# ci build, stripped like a release, rather than compiling the product a second time).
preset="${MERRAVINE_PACKAGE_PRESET:-release}"
step "$preset build and package"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
(cd "build/$preset" && cpack -G DEB)
version="$(sed -n 's/^project(merravine VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
deb="build/$preset/merravine_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb"
dpkg-deb --info "$deb"

step "lintian"
lintian --fail-on error "$deb" || fail "lintian found errors"

step "install"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "./$deb"
for file in /usr/bin/merravine /usr/lib/merravine/merravine-window.so \
    /usr/share/applications/com.corvantis.merravine.desktop \
    /usr/share/metainfo/com.corvantis.merravine.metainfo.xml \
    /usr/share/icons/hicolor/scalable/apps/merravine.svg \
    /usr/share/icons/hicolor/48x48/apps/merravine.png \
    /usr/share/man/man1/merravine.1.gz /usr/share/bash-completion/completions/merravine; do
    [ -f "$file" ] || fail "not installed: $file"
done
desktop-file-validate /usr/share/applications/com.corvantis.merravine.desktop
appstreamcli validate --no-net --pedantic /usr/share/metainfo/com.corvantis.merravine.metainfo.xml
zcat /usr/share/man/man1/merravine.1.gz | grep -q '^\.SH SCAN COMMAND' || fail "the manual page has no scan command"
bash -c 'source /usr/share/bash-completion/completions/merravine && complete -p merravine' >/dev/null

work="$(mktemp -d)"
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" \
    XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
unset MERRAVINE_DATA_DIR

step "merravine --version"
[ "$(merravine --version)" = "$version" ] || fail "merravine --version does not say $version"

step "merravine scan"
tree="$work/tree"
mkdir -p "$tree/a/deep" "$tree/b"
printf 'same text\n' > "$tree/a/one.txt"
printf 'same text\n' > "$tree/b/two.txt"
printf 'same text\n' > "$tree/a/deep/three.txt"
printf 'other text\n' > "$tree/b/lonely.txt"
head -c 70000 /dev/zero > "$tree/a/zeros.bin"
head -c 70000 /dev/zero > "$tree/b/zeros.bin"
head -c 69999 /dev/zero > "$tree/b/shorter.bin"
got="$(merravine scan --format csv "$tree" | tail -n +2 | cut -d, -f1,2,3 | sort)"
expected="$(printf '%s\n' "1,10,$tree/a/deep/three.txt" "1,10,$tree/a/one.txt" "1,10,$tree/b/two.txt" \
    "2,70000,$tree/a/zeros.bin" "2,70000,$tree/b/zeros.bin" | sort)"
echo "$got"
[ "$got" = "$expected" ] || fail "the scan found something else"

step "merravine --no-window"
coproc server { exec merravine --no-window; }
server_pid=$server_PID
if read -r -t 30 line <&"${server[0]}"; then echo "$line"; else line=""; fi
kill -TERM "$server_pid" 2>/dev/null || true
wait "$server_pid" || true
[[ $line =~ ^URL:\ http://127\.0\.0\.1:[0-9]+/app/index\.html#t=[0-9a-f]+$ ]] || fail "no address: $line"
# Installed in /usr/bin, the program keeps its files in the user's folders.
[ -f "$XDG_CONFIG_HOME/merravine/Config.ini" ] || fail "no Config.ini in the user's config folder"
[ -f "$XDG_DATA_HOME/merravine/duplicate.db" ] || fail "no duplicate.db in the user's data folder"
[ -f "$XDG_STATE_HOME/merravine/Log/Tessvel.log" ] || fail "no log in the user's state folder"

step "the installed window"
if command -v xvfb-run >/dev/null; then
    out="$(MERRAVINE_WINDOW_CHECK="return await view.GetProductVersion();" \
        timeout 120 xvfb-run -a -s '-screen 0 1024x768x24' merravine 2>&1)"
    echo "$out" | grep "WINDOW CHECK"
    echo "$out" | grep -qx "WINDOW CHECK: $version" || fail "the installed program opened no window"
else
    echo "skipped: no xvfb-run, so no display"
fi

echo
echo "package test passed: $deb"
