#!/usr/bin/env python3
"""Brute-force check of the sets that `merravine scan --skip 0 --format json` reports.

Walks the given folders without following symbolic links, reads every plain file of a
size that at least two files share (hard links are separate names, as the scan lists
them), and builds the expected sets: files of equal size and equal full content, two or
more per set. Then compares them with the scan's JSON, ignoring the order of sets and of
files within a set, prints every difference and exits 1 on a mismatch (0 when equal,
2 on bad input). Paths are compared as bytes: the JSON escapes \\udc80..\\udcff stand for
the bytes 0x80..0xff of a name that is not valid UTF-8.

Also reported, without failing unless --strict-order: whether sets come in ascending size
and, within one size, in ascending content key (raw content up to 32 bytes, else the MD5
hex text), which is the delivery order the engine promises.

Usage:
  verify.py --json scan.json DIR...                (JSON produced earlier)
  verify.py [--bin PATH] DIR...                    (runs the scan; PATH or $MERRAVINE_BIN)
"""

import argparse
import hashlib
import json
import os
import stat
import subprocess
import sys
import time

BLOCK = 1 << 20


def to_bytes(text):
    """JSON text of a path back to the name's bytes (lone \\udcXX surrogates become bytes)."""
    return text.encode('utf-8', 'surrogateescape')


def show(path):
    return repr(path)[1:] if isinstance(path, bytes) else repr(path)


def walk(roots):
    """Yields (path, lstat) of every plain file under the roots; symlinks are not followed."""
    unlistable = []
    stack = list(reversed(roots))
    while stack:
        folder = stack.pop()
        try:
            with os.scandir(folder) as it:
                entries = list(it)
        except OSError as e:
            unlistable.append((folder, e.strerror))
            continue
        subdirs = []
        for entry in entries:
            try:
                st = entry.stat(follow_symlinks=False)
            except OSError:
                continue  # vanished between listing and stat
            if stat.S_ISDIR(st.st_mode):
                subdirs.append(entry.path)
            elif stat.S_ISREG(st.st_mode):
                yield entry.path, st
        stack.extend(reversed(subdirs))
    for folder, why in unlistable:
        print(f'note: cannot list {show(folder)}: {why}', file=sys.stderr)


def content_digest(path):
    h = hashlib.blake2b(digest_size=32)
    with open(path, 'rb', buffering=0) as f:
        while True:
            block = f.read(BLOCK)
            if not block:
                break
            h.update(block)
    return h.digest()


def engine_key(path, size):
    """The content key the engine orders sets by: raw bytes up to 32, else MD5 hex text."""
    if size == 0:
        return b''
    with open(path, 'rb') as f:
        if size <= 32:
            return f.read(32).ljust(32, b'\0')
        h = hashlib.md5()
        while True:
            block = f.read(BLOCK)
            if not block:
                break
            h.update(block)
    return h.hexdigest().encode()


def expected_sets(roots):
    """Returns ({frozenset(paths): size}, plain file count, unreadable paths, volume).

    volume['shared'] is the bytes of distinct inodes whose size another file shares (all a
    scan could ever need to read); volume['in_sets'] the bytes of distinct inodes in sets
    (what it must read in full at least once)."""
    by_size = {}
    count = 0
    for path, st in walk(roots):
        count += 1
        by_size.setdefault(st.st_size, []).append((path, st.st_dev, st.st_ino))
    sets = {}
    unreadable = []
    volume = {'shared': 0, 'in_sets': 0}
    for size, members in by_size.items():
        if len(members) < 2:
            continue
        volume['shared'] += size * len({(dev, ino) for _, dev, ino in members})
        by_content = {}
        inode_digest = {}
        inode_of = {path: (dev, ino) for path, dev, ino in members}
        for path, dev, ino in members:
            if size == 0:
                digest = b''
            elif (dev, ino) in inode_digest:
                digest = inode_digest[(dev, ino)]
            else:
                try:
                    digest = content_digest(path)
                except OSError as e:
                    unreadable.append((path, e.strerror))
                    continue
                inode_digest[(dev, ino)] = digest
            by_content.setdefault(digest, []).append(path)
        for paths in by_content.values():
            if len(paths) >= 2:
                sets[frozenset(paths)] = size
                volume['in_sets'] += size * len({inode_of[p] for p in paths})
    return sets, count, unreadable, volume


def load_scan(args):
    if args.json:
        with open(args.json, 'rb') as f:
            raw = f.read()
    else:
        binary = args.bin or os.environ.get('MERRAVINE_BIN')
        if not binary:
            sys.exit('verify.py: give --json FILE, --bin PATH or set MERRAVINE_BIN')
        # The development build of the scan command takes the scan arguments directly.
        prefix = [binary] if os.path.basename(binary).endswith('scan_dev') else [binary, 'scan']
        cmd = prefix + ['--skip', '0', '--format', 'json'] + args.scan_arg + args.dirs
        started = time.monotonic()
        done = subprocess.run(cmd, stdout=subprocess.PIPE)
        print(f'scan took {time.monotonic() - started:.2f} s, exit {done.returncode}')
        if done.returncode != 0:
            print('FAIL: the scan did not exit 0')
            sys.exit(1)
        raw = done.stdout
    try:
        return json.loads(raw.decode('utf-8'))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        print(f'FAIL: the scan output is not valid UTF-8 JSON: {e}')
        sys.exit(1)


def parse_sets(doc, problems):
    """Returns a list of (size, [path bytes]) in output order."""
    out = []
    for i, s in enumerate(doc.get('sets', [])):
        paths = []
        for f in s.get('files', []):
            try:
                paths.append(os.path.normpath(to_bytes(f['path'])))
            except UnicodeEncodeError:
                problems.append(f'set {i}: path with a surrogate outside \\udc80..\\udcff: '
                                f'{f["path"]!r}')
        out.append((s.get('size'), paths))
    return out


def check_order(sets, problems):
    previous = None
    for i, (size, paths) in enumerate(sets):
        if not paths:
            continue
        try:
            key = (size, engine_key(paths[0], size))
        except OSError:
            continue
        if previous is not None and key < previous:
            problems.append(f'order: set {i} (size {size}) comes after a set with a greater '
                            f'size or key')
        previous = key


def main():
    ap = argparse.ArgumentParser(description='Check a scan against a brute-force search.')
    ap.add_argument('--json', help='file holding the scan\'s JSON output')
    ap.add_argument('--bin', help='merravine executable to run (default $MERRAVINE_BIN)')
    ap.add_argument('--scan-arg', action='append', default=[],
                    help='extra argument for the scan (repeatable), e.g. --scan-arg=--threads')
    ap.add_argument('--strict-order', action='store_true', help='fail on an order problem')
    ap.add_argument('--max-report', type=int, default=20, help='differences printed per kind')
    ap.add_argument('dirs', nargs='+')
    args = ap.parse_args()

    doc = load_scan(args)
    started = time.monotonic()
    roots = [os.path.normpath(os.path.abspath(os.fsencode(d))) for d in args.dirs]
    want, plain_count, unreadable, volume = expected_sets(roots)
    problems = []
    got_list = parse_sets(doc, problems)
    print(f'brute force: {plain_count} plain files, {len(want)} sets, '
          f'{sum(len(s) for s in want)} files in sets ({time.monotonic() - started:.1f} s)')
    print(f'scan:        {len(got_list)} sets, {sum(len(p) for _, p in got_list)} files in sets')
    for path, why in unreadable:
        print(f'note: unreadable {show(path)}: {why}')
    read = doc.get('stats', {}).get('bytes_read')
    print(f'bytes: {volume["shared"]:,} in files whose size is shared, {volume["in_sets"]:,} '
          f'in sets (distinct inodes)' + ('' if read is None else f', scan read {read:,}'))
    if read is not None and read > volume['shared']:
        print('note: the scan read more bytes than all files of shared sizes hold')

    # Structural checks on the output itself.
    seen = {}
    got = {}
    for i, (size, paths) in enumerate(got_list):
        if len(paths) < 2:
            problems.append(f'set {i} (size {size}) has {len(paths)} file(s)')
        if len(set(paths)) != len(paths):
            problems.append(f'set {i} (size {size}) lists a path twice')
        for p in paths:
            if p in seen:
                problems.append(f'{show(p)} is in set {seen[p]} and in set {i}')
            seen[p] = i
            try:
                real = os.lstat(p).st_size
                if real != size:
                    problems.append(f'{show(p)} is {real} bytes but set {i} says {size}')
            except OSError as e:
                problems.append(f'{show(p)} in set {i} cannot be found: {e.strerror}')
        got[frozenset(paths)] = size

    missing = [s for s in want if s not in got]
    extra = [s for s in got if s not in want]
    where = {p: s for s in got for p in s}
    for label, items in (('missing set', missing), ('unexpected set', extra)):
        for s in sorted(items, key=lambda x: (want.get(x, got.get(x)), sorted(x)))[:args.max_report]:
            size = want.get(s, got.get(s))
            problems.append(f'{label} of size {size} with {len(s)} files:')
            for p in sorted(s):
                note = ''
                if label == 'missing set':
                    other = where.get(p)
                    note = ' (not reported)' if other is None else f' (reported with {len(other)} files)'
                problems.append(f'    {show(p)}{note}')
        if len(items) > args.max_report:
            problems.append(f'... and {len(items) - args.max_report} more {label}s')

    stats = doc.get('stats', {})
    files_in_sets = sum(len(p) for _, p in got_list)
    if 'duplicates' in stats and stats['duplicates'] != files_in_sets:
        problems.append(f'stats.duplicates is {stats["duplicates"]}, sets hold {files_in_sets}')
    if 'scanned' in stats and stats['scanned'] != plain_count:
        print(f'note: stats.scanned is {stats["scanned"]}, plain files found {plain_count}')

    order_problems = []
    check_order(got_list, order_problems)
    for line in order_problems[:args.max_report]:
        print(line)
    if order_problems:
        print(f'order: {len(order_problems)} set(s) out of delivery order')

    for line in problems:
        print(line)
    failed = bool(problems) or (args.strict_order and order_problems)
    print('FAIL' if failed else 'OK: the scan matches the brute-force sets')
    sys.exit(1 if failed else 0)


if __name__ == '__main__':
    main()
