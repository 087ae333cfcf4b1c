#!/usr/bin/env bash
# Fetches and prepares the C libraries the Windows build compiles itself, from Debian's
# own source packages: SQLite (its amalgamation sqlite3.c is generated from the source
# tree with the tree's own tools) and LZF. Usage: windows-deps.sh OUTPUT_FOLDER.
# Leaves OUTPUT_FOLDER/sqlite/{sqlite3.c,sqlite3.h} and OUTPUT_FOLDER/lzf/{lzf.h,lzf_c.c,
# lzf_d.c,...}; a library already there is not fetched again.
# apt-get source needs a deb-src line; scripts/install-deps.sh writes one.
set -euo pipefail
out="$(mkdir -p "$1" && cd "$1" && pwd)"

if [ ! -f "$out/sqlite/sqlite3.c" ]; then
    work="$out/sources-sqlite"
    rm -rf "$work" && mkdir -p "$work" && cd "$work"
    if ! apt-get source --only-source sqlite3 >apt.log 2>&1; then
        cat apt.log >&2
        echo "windows-deps.sh: could not fetch the sqlite3 source package (is deb-src configured?)" >&2
        exit 1
    fi
    tree="$(find . -maxdepth 1 -type d -name 'sqlite3-*' | head -n1)"
    mkdir -p amalgamation
    (cd amalgamation && "../$tree/configure" --disable-tcl >configure.log 2>&1 &&
        make -j"${MERRAVINE_JOBS:-2}" sqlite3.c >make.log 2>&1) || {
        tail -n 30 amalgamation/*.log >&2
        exit 1
    }
    mkdir -p "$out/sqlite"
    cp amalgamation/sqlite3.c amalgamation/sqlite3.h "$out/sqlite/"
    cd "$out" && rm -rf "$work"
fi

if [ ! -f "$out/lzf/lzf_c.c" ]; then
    work="$out/sources-lzf"
    rm -rf "$work" && mkdir -p "$work" && cd "$work"
    # The packaging part of liblzf is not always on the mirror; the upstream tarball is all
    # the build uses.
    if ! apt-get source --only-source --tar-only --download-only liblzf >apt.log 2>&1; then
        cat apt.log >&2
        echo "windows-deps.sh: could not fetch the liblzf source package" >&2
        exit 1
    fi
    tar xzf liblzf_*.orig.tar.gz
    tree="$(find . -maxdepth 1 -type d -name 'liblzf-*' | head -n1)"
    mkdir -p "$out/lzf"
    cp "$tree"/lzfP.h "$tree"/lzf_c.c "$tree"/lzf_d.c "$out/lzf/"
    # The upstream header has no C++ linkage block; the program includes it through one.
    cp "$tree"/lzf.h "$out/lzf/lzf_upstream.h"
    sed -i 's/include "lzf.h"/include "lzf_upstream.h"/' "$out/lzf/lzfP.h"
    cat >"$out/lzf/lzf.h" <<'HEADER'
/* LZF with C linkage for C++ callers. */
#ifdef __cplusplus
extern "C" {
#endif
#include "lzf_upstream.h"
#ifdef __cplusplus
}
#endif
HEADER
    cd "$out" && rm -rf "$work"
fi
