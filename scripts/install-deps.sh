#!/usr/bin/env bash
# Installs everything the build, the program and the tests need on Debian 12.
# Safe to run again: apt-get skips what is there, npm ci restores e2e/node_modules.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
    cmake ninja-build g++ pkg-config git
    clang-format clang-tidy
    libgtest-dev libgmock-dev
    clang-14 libclang-rt-14-dev
    libsqlite3-dev sqlite3
    liblzf-dev
    libssl-dev
    liburing-dev
    libboost-dev
    nlohmann-json3-dev
    libgtk-3-dev libwebkit2gtk-4.1-dev
    xdg-utils
    xfsprogs
    fuse3 libfuse3-dev
    nodejs npm chromium xvfb xauth
    openbox xdotool wmctrl x11-utils
    dpkg-dev lintian desktop-file-utils appstream librsvg2-bin
    g++-mingw-w64-x86-64-posix wine64 googletest tcl make
)

missing=()
for package in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
# Node and npm may come from outside Debian on some machines; take them as they are.
if command -v node >/dev/null && command -v npm >/dev/null; then
    filtered=()
    for package in "${missing[@]}"; do
        case "$package" in nodejs|npm) ;; *) filtered+=("$package") ;; esac
    done
    missing=("${filtered[@]}")
fi

# The Windows build compiles SQLite and LZF from Debian's source packages
# (scripts/windows-deps.sh), which apt-get source finds through a deb-src line.
sources=/etc/apt/sources.list.d/merravine-src.sources
need_update=0
if [ ! -f "$sources" ]; then
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
    $SUDO tee "$sources" >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    need_update=1
fi

if [ "${#missing[@]}" -gt 0 ] || [ "$need_update" -eq 1 ]; then
    $SUDO apt-get update -qq
fi
if [ "${#missing[@]}" -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -f "$root/e2e/package-lock.json" ] && [ "${MERRAVINE_SKIP_NPM:-0}" != "1" ]; then
    (cd "$root/e2e" && npm ci --no-audit --no-fund --loglevel=error)
fi
