#!/usr/bin/env python3
"""Seeded corpus generator for the duplicate-finder benchmarks and correctness checks.

Builds a folder tree whose layout and content depend only on the preset and the seed:
unique files, identical twins and larger sets, same-size near-twins that differ only in
the first, a middle or the last byte, empty files, files of 1, 31, 32 and 33 bytes, files
around common read-buffer sizes, nested and hidden folders, odd names (spaces, quotes,
newlines, non-ASCII, bytes that are not valid UTF-8), hard links and a few symbolic links
(to a file, to a folder, a loop, a dangling one). The small preset also holds a FIFO and a
socket, which a duplicate finder must never open.

Content is cut from one random pool held in memory: each file is the pool read from a
seeded offset (wrapping around), optionally with one byte flipped, and is written with
large writes straight from a memoryview, so the large preset (about 100,000 files and
2.4 GiB) is written in well under a minute on a local disk.

Usage:
  gen_corpus.py --preset small|large [--seed N] --out DIR [--force] [--plan-only]
"""

import argparse
import os
import random
import shutil
import socket
import stat
import sys
import time

KIB = 1024
MIB = 1024 * KIB

# Sizes at and around the buffer sizes a reader is likely to use.
BOUNDARY_SIZES = [511, 512, 513, 4095, 4096, 4097, 8191, 8192, 8193, 65535, 65536, 65537,
                  131071, 131072, 131073, 262144, 1048575, 1048576, 1048577]

# Suffixes with their rough share; mixed case on purpose (kinds are decided by suffix).
SUFFIXES = [b'.txt', b'.log', b'.c', b'.h', b'.py', b'.json', b'.xml', b'.html', b'.pdf',
            b'.doc', b'.docx', b'.xls', b'.jpg', b'.JPG', b'.png', b'.gif', b'.bmp',
            b'.mp3', b'.flac', b'.wav', b'.mp4', b'.mkv', b'.avi', b'.zip', b'.tar.gz',
            b'.7z', b'.rar', b'.exe', b'.so', b'.bin', b'.dat', b'', b'.Mp3', b'.PDF']

SYLLABLES = [b'ka', b'lo', b'mi', b'ne', b'ru', b'ta', b'vo', b'zi', b'pel', b'dor', b'ant',
             b'bex', b'cor', b'fin', b'gul', b'hav', b'jor', b'sim', b'tul', b'wex']

# Names a scanner must carry through unchanged. Several are not valid UTF-8.
ODD_NAMES = [
    b'with space.txt', b'  leading spaces.txt', b'trailing space .txt',
    b"quote'single.doc", b'quote"double.pdf', b'new\nline.jpg', b'tab\there.txt',
    b'caf\xc3\xa9.mp3', b'\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.png', b'emoji \xf0\x9f\x98\x80.txt',
    b'bad\xffutf8.bin', b'latin1 caf\xe9.txt', b'\xc3(truncated.dat', b'back\\slash.txt',
    b'-dash-leading.txt', b'star*and?mark.txt', b'UPPER.JPG', b'multi.dots.tar.gz',
    b'noext', b'endsdot.', b'pct%s%d%n.txt', b'comma,name.csv', b'lit\\udcff.txt',
    b'surrogate\xed\xa0\x80.txt', b'overlong\xc0\xaf.txt', b'ctrl\x01\x1f.txt',
    b'cr\rreturn.txt', b'x' * 200 + b'.txt', b'\xff', b'\xfe\xfe\xfe.jpg',
    b'bracket[1]{2}(3).png', b'amp&semi;pipe|.txt', b'<angle>.html',
]

ODD_DIRS = [b'dir with space', b'dir\nnewline', b'dir\xffbad', b'\xd0\xbf\xd0\xb0\xd0\xbf\xd0\xba\xd0\xb0',
            b"it's", b'.hidden dir']

PRESETS = {
    # files: unique files; sets: number of identical sets; near: near-twin families.
    'small': dict(dirs=80, depth=7, unique=1250, sets=170, near=60, empty=30, tiny=60,
                  boundary=2, hardlinks=25, odd=len(ODD_NAMES), hidden_share=0.06,
                  med_share=0.05, big_share=0.004, small_max=64 * KIB, med_max=1 * MIB,
                  big_max=2 * MIB, deep_chain=40, specials=True, pool=8 * MIB),
    'large': dict(dirs=1600, depth=9, unique=68000, sets=8500, near=1500, empty=400,
                  tiny=600, boundary=6, hardlinks=400, odd=len(ODD_NAMES), hidden_share=0.05,
                  med_share=0.03, big_share=0.0006, small_max=64 * KIB, med_max=1 * MIB,
                  big_max=16 * MIB, deep_chain=60, specials=False, pool=32 * MIB),
}


class Plan:
    """Everything to create, in creation order; all paths are bytes relative to the root."""

    def __init__(self):
        self.dirs = []        # folders, parents before children
        self.files = []       # (path, size, offset, patch) where patch is None or (pos, xor)
        self.hardlinks = []   # (new name, existing file)
        self.symlinks = []    # (link name, target as stored in the link)
        self.fifos = []
        self.sockets = []
        self.used = set()     # every name given out, to keep names unique


def make_name(rng, suffix=None):
    stem = b''.join(rng.choice(SYLLABLES) for _ in range(rng.randint(1, 3)))
    stem += b'%d' % rng.randrange(1000)
    return stem + (rng.choice(SUFFIXES) if suffix is None else suffix)


def join(folder, name):
    return folder + b'/' + name if folder else name


def unique_path(plan, rng, folder, name=None):
    while True:
        candidate = join(folder, name if name is not None else make_name(rng))
        if candidate not in plan.used:
            plan.used.add(candidate)
            return candidate
        name = None


def build_dirs(plan, rng, p):
    depth = {b'': 0}
    roots = [b'']
    for _ in range(p['dirs']):
        parent = rng.choice(roots)
        hidden = rng.random() < p['hidden_share']
        name = (b'.' if hidden else b'') + b''.join(rng.choice(SYLLABLES) for _ in range(2))
        path = unique_path(plan, rng, parent, name)
        plan.dirs.append(path)
        depth[path] = depth[parent] + 1
        if depth[path] < p['depth']:
            roots.append(path)
    # Fixed folders: odd names, a trash folder, and one deep chain.
    for name in ODD_DIRS:
        path = unique_path(plan, rng, b'', name)
        plan.dirs.append(path)
    trash = b''
    for part in (b'.local', b'share', b'Trash', b'files'):
        trash = join(trash, part)
        plan.dirs.append(trash)
        plan.used.add(trash)
    chain = b''
    for i in range(p['deep_chain']):
        chain = join(chain, b'deep%02d' % i)
        plan.dirs.append(chain)
        plan.used.add(chain)
    return [d for d in plan.dirs] + [b'']


def random_size(rng, p):
    r = rng.random()
    if r < p['big_share']:
        lo, hi = p['med_max'], p['big_max']
    elif r < p['big_share'] + p['med_share']:
        lo, hi = p['small_max'], p['med_max']
    else:
        lo, hi = 64, p['small_max']
    # Log-uniform between lo and hi.
    return int(lo * (hi / lo) ** rng.random())


def file_name(rng, p):
    if rng.random() < p['hidden_share']:
        return b'.' + make_name(rng)
    return None


def add_file(plan, rng, p, folders, size, offset, patch=None, folder=None, name=None):
    if folder is None:
        folder = rng.choice(folders)
    if name is None:
        name = file_name(rng, p)
    path = unique_path(plan, rng, folder, name)
    plan.files.append((path, size, offset, patch))
    return path


def build_plan(preset, seed):
    p = PRESETS[preset]
    rng = random.Random(seed)
    plan = Plan()
    folders = build_dirs(plan, rng, p)
    pool = p['pool']

    def offset():
        return rng.randrange(pool)

    # Unique files.
    for _ in range(p['unique']):
        add_file(plan, rng, p, folders, random_size(rng, p), offset())

    # Identical sets: mostly twins, some larger; members scattered or in one folder.
    for _ in range(p['sets']):
        r = rng.random()
        count = 2 if r < 0.6 else 3 if r < 0.85 else rng.randint(4, 6) if r < 0.96 else rng.randint(7, 20)
        size, off = random_size(rng, p), offset()
        same_folder = rng.random() < 0.2
        folder = rng.choice(folders)
        for _ in range(count):
            add_file(plan, rng, p, folders, size, off, folder=folder if same_folder else None)

    # Near-twin families: one base, variants that differ in the first, a middle or the last
    # byte; sometimes the base has a true twin too, so sets and near-misses share a size.
    for i in range(p['near']):
        size = rng.choice(BOUNDARY_SIZES) if i % 4 == 0 else random_size(rng, p)
        off = offset()
        add_file(plan, rng, p, folders, size, off)
        if rng.random() < 0.5:
            add_file(plan, rng, p, folders, size, off)
        for pos in rng.sample([0, size // 2, size - 1], rng.randint(1, 3)):
            add_file(plan, rng, p, folders, size, off, (pos, 1 + rng.randrange(255)))

    # Buffer-boundary sizes: a twin pair and a last-byte near-twin at each size.
    for _ in range(p['boundary']):
        for size in BOUNDARY_SIZES:
            off = offset()
            add_file(plan, rng, p, folders, size, off)
            add_file(plan, rng, p, folders, size, off)
            add_file(plan, rng, p, folders, size, off, (size - 1, 0x80))

    # Empty files.
    for _ in range(p['empty']):
        add_file(plan, rng, p, folders, 0, 0)

    # Tiny files: content is the key for these sizes, so include twins, single-byte
    # differences, and a pair that differs only after a zero byte.
    for i in range(p['tiny']):
        size = [1, 31, 32, 33, 1, 2, 20, 31, 32, 33][i % 10]
        off = offset()
        add_file(plan, rng, p, folders, size, off)
        if i % 2 == 0:
            add_file(plan, rng, p, folders, size, off)
        if i % 3 == 0:
            add_file(plan, rng, p, folders, size, off, (size - 1, 0x01))
    zero_at = plan_zero_block(rng, pool)
    add_file(plan, rng, p, folders, 20, zero_at, (19, 0x5a))
    add_file(plan, rng, p, folders, 20, zero_at, (19, 0xa5))
    add_file(plan, rng, p, folders, 32, zero_at)
    add_file(plan, rng, p, folders, 32, zero_at)

    # Odd names: half copy an existing file's content (so they show up in sets).
    odd_folders = [d for d in plan.dirs if any(d.endswith(o) for o in ODD_DIRS)] + [b'']
    for i, name in enumerate(ODD_NAMES):
        src = rng.choice(plan.files)
        folder = rng.choice(odd_folders)
        if i % 2 == 0:
            add_file(plan, rng, p, folders, src[1], src[2], src[3], folder=folder, name=name)
        else:
            add_file(plan, rng, p, folders, random_size(rng, p), offset(), folder=folder, name=name)
    trash = b'.local/share/Trash/files'
    for _ in range(5):
        src = rng.choice(plan.files)
        add_file(plan, rng, p, folders, src[1], src[2], src[3], folder=trash)

    # Hard links to existing files, in another folder.
    for _ in range(p['hardlinks']):
        target = rng.choice(plan.files)[0]
        plan.hardlinks.append((unique_path(plan, rng, rng.choice(folders)), target))

    # Symbolic links: to a file, to a folder holding files, a loop, a self-loop, a dangling one.
    some_file = plan.files[0][0]
    some_dir = plan.dirs[0]
    plan.symlinks.append((unique_path(plan, rng, b'', b'link_to_file.txt'), some_file))
    plan.symlinks.append((unique_path(plan, rng, b'', b'link_to_dir'), some_dir))
    plan.symlinks.append((unique_path(plan, rng, some_dir, b'loop_up'), b'..'))
    plan.symlinks.append((unique_path(plan, rng, b'', b'self_loop'), b'self_loop'))
    plan.symlinks.append((unique_path(plan, rng, b'', b'dangling.jpg'), b'does/not/exist.jpg'))
    plan.symlinks.append((unique_path(plan, rng, b'', b'absolute_link'), b'/etc/hostname'))

    if p['specials']:
        plan.fifos.append(unique_path(plan, rng, b'', b'a_fifo.txt'))
        plan.sockets.append(unique_path(plan, rng, b'', b'a_socket.txt'))
    return plan


def plan_zero_block(rng, pool):
    """Offset that the writer treats as a run of zero bytes (see ContentWriter)."""
    return pool  # one past the pool: the writer serves zeros from there


class ContentWriter:
    def __init__(self, seed, pool_size):
        self.pool_size = pool_size
        pool_rng = random.Random(seed * 7919 + 17)
        self.pool = pool_rng.randbytes(pool_size)
        self.view = memoryview(self.pool)
        self.zeros = bytes(64)

    def write(self, path, size, offset, patch):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            if offset == self.pool_size:
                data = bytearray(self.zeros[:size])
                if patch:
                    data[patch[0]] ^= patch[1]
                write_all(fd, data)
                return
            pos = 0
            while pos < size:
                start = (offset + pos) % self.pool_size
                n = min(size - pos, self.pool_size - start, 8 * MIB)
                chunk = self.view[start:start + n]
                if patch and pos <= patch[0] < pos + n:
                    chunk = bytearray(chunk)
                    chunk[patch[0] - pos] ^= patch[1]
                write_all(fd, chunk)
                pos += n
        finally:
            os.close(fd)


def write_all(fd, data):
    view = memoryview(data)
    while view:
        written = os.write(fd, view)
        view = view[written:]


def create_tree(plan, out, seed, pool_size):
    writer = ContentWriter(seed, pool_size)
    root = os.fsencode(out)
    for d in plan.dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for path, size, offset, patch in plan.files:
        writer.write(os.path.join(root, path), size, offset, patch)
    for new, existing in plan.hardlinks:
        os.link(os.path.join(root, existing), os.path.join(root, new))
    for link, target in plan.symlinks:
        os.symlink(target, os.path.join(root, link))
    for fifo in plan.fifos:
        os.mkfifo(os.path.join(root, fifo))
    for sock_path in plan.sockets:
        full = os.path.join(root, sock_path)
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.bind(full)
        finally:
            s.close()


def prepare_out(out, force):
    if os.path.lexists(out):
        if not os.path.isdir(out) or os.path.islink(out):
            sys.exit(f'{out} exists and is not a folder')
        if os.listdir(out):
            if not force:
                sys.exit(f'{out} is not empty (use --force to replace it)')
            shutil.rmtree(out)
    os.makedirs(out, exist_ok=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--preset', choices=sorted(PRESETS), default='small')
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--out', help='folder to create (must be empty or absent)')
    ap.add_argument('--force', action='store_true', help='delete a non-empty --out first')
    ap.add_argument('--plan-only', action='store_true', help='print the totals, write nothing')
    args = ap.parse_args()
    if not args.plan_only and not args.out:
        ap.error('--out is required unless --plan-only')

    started = time.monotonic()
    plan = build_plan(args.preset, args.seed)
    total = sum(f[1] for f in plan.files)
    summary = (f'preset {args.preset} seed {args.seed}: {len(plan.files)} files + '
               f'{len(plan.hardlinks)} hard links, {len(plan.dirs)} folders, '
               f'{len(plan.symlinks)} symlinks, {len(plan.fifos) + len(plan.sockets)} special, '
               f'{total / MIB:.1f} MiB')
    if args.plan_only:
        print(summary)
        return
    prepare_out(args.out, args.force)
    create_tree(plan, args.out, args.seed, PRESETS[args.preset]['pool'])
    print(f'{summary} written to {args.out} in {time.monotonic() - started:.1f} s')


if __name__ == '__main__':
    main()
