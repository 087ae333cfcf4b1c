#!/usr/bin/env python3
"""Times merravine scan against fdupes, jdupes and rmlint on the same trees.

For each tree: one warm-up run of every tool (fills the page cache, not counted), then
--runs rounds in which the tools run one after another (interleaved, so a slow spell of a
shared machine hits every tool alike). Wall time is measured here around the process;
peak RSS comes from /usr/bin/time -v. Prints, per tree and tool, the median, minimum and
maximum wall time, for merravine the median time until its results were out (its own
figure; the process then waits for the content cache to be written), the largest peak RSS, the sets and files found, and how many times
faster and leaner merravine is than each peer.

Every tool does a full-content duplicate search of the whole tree, hidden entries and
empty files included, symbolic links not followed, and hard links reported as duplicate
names (see README.md for the flags and what still differs).

Usage:
  run.py [--bin PATH] [--runs 5] [--tools fdupes,jdupes,rmlint,merravine]
         [--markdown] [TREE...]
Default trees: the large generated corpus (made with gen_corpus.py when missing),
/usr/share and /usr/lib. merravine's path: --bin or $MERRAVINE_BIN.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_LARGE = '/tmp/merravine-bench/large'
ALL_TOOLS = ['fdupes', 'jdupes', 'rmlint', 'merravine', 'merravine-walk1', 'merravine-cache',
             'merravine-warm', 'find']
# merravine: a first scan without the content cache (--no-cache);
# merravine-walk1: the same with one walk thread (--walk-threads 1);
# merravine-cache: a first scan that writes the cache (a fresh data folder each run);
# merravine-warm: a second scan of the unchanged tree (the cache kept from the warm-up);
# find: the bare walk, find -type f -printf '%s\\n', the floor of a first scan on trees
# where few sizes are shared.


def command(tool, tree, out_file, binary, extra, workdir='.'):
    if tool == 'find':
        return ['find', tree, '-type', 'f', '-printf', '%s\n']
    if tool == 'fdupes':
        return ['fdupes', '-r', '-q', '-H', tree]
    if tool == 'jdupes':
        return ['jdupes', '-r', '-q', '-H', '-z', tree]
    if tool == 'rmlint':
        return ['rmlint', '-T', 'df', '-s', '0', '-r', '-F', '-o', f'json:{out_file}', tree]
    # The development build of the scan command takes the scan arguments directly.
    prefix = [binary] if os.path.basename(binary).endswith('scan_dev') else [binary, 'scan']
    if tool == 'merravine':
        cache = ['--no-cache']
    elif tool == 'merravine-walk1':
        cache = ['--no-cache', '--walk-threads', '1']
    elif tool == 'merravine-cache':
        fresh = os.path.join(workdir, 'data-fresh')
        shutil.rmtree(fresh, ignore_errors=True)
        cache = ['--data-dir', fresh]
    else:
        cache = ['--data-dir', os.path.join(workdir, 'data-warm')]
    return prefix + ['--skip', '0', '--format', 'json'] + cache + extra + [tree]


def count_text_groups(path):
    """Sets and file lines of fdupes/jdupes output (blank-line separated groups)."""
    sets = files = 0
    in_set = False
    with open(path, 'rb') as f:
        for line in f:
            if line.strip(b'\n'):
                files += 1
                if not in_set:
                    sets += 1
                    in_set = True
            else:
                in_set = False
    return sets, files


def count_output(tool, stdout_path, out_file):
    try:
        if tool == 'find':
            with open(stdout_path, 'rb') as f:
                return None, sum(1 for _ in f)
        if tool in ('fdupes', 'jdupes'):
            return count_text_groups(stdout_path)
        if tool == 'rmlint':
            with open(out_file, 'rb') as f:
                doc = json.loads(f.read().decode('utf-8', 'surrogateescape'))
            files = sum(1 for x in doc if x.get('type') == 'duplicate_file')
            return doc[-1].get('duplicate_sets'), files
        with open(stdout_path, 'rb') as f:
            doc = json.loads(f.read().decode('utf-8'))
        return len(doc['sets']), sum(len(s['files']) for s in doc['sets'])
    except (OSError, ValueError, KeyError, IndexError, TypeError) as e:
        print(f'  cannot count the output of {tool}: {e}', file=sys.stderr)
        return None, None


def results_seconds(tool, stdout_path):
    """merravine only: seconds from the start of its search to its results being out, as
    it reports them (the process may go on after that, writing the content cache)."""
    if not tool.startswith('merravine'):
        return None
    try:
        with open(stdout_path, 'rb') as f:
            return float(json.loads(f.read().decode('utf-8'))['stats']['seconds'])
    except (OSError, ValueError, KeyError, TypeError):
        return None


def time_figures(time_file):
    """Peak RSS in KiB and CPU seconds (user + system) from /usr/bin/time -v."""
    rss, cpu = None, 0.0
    with open(time_file) as f:
        for line in f:
            if 'Maximum resident set size' in line:
                rss = int(line.rsplit(':', 1)[1])
            elif 'User time (seconds)' in line or 'System time (seconds)' in line:
                cpu += float(line.rsplit(':', 1)[1])
    return rss, cpu


def run_once(tool, tree, binary, extra, workdir, count, nice):
    stdout_path = os.path.join(workdir, f'{tool}.out')
    stderr_path = os.path.join(workdir, f'{tool}.err')
    time_path = os.path.join(workdir, f'{tool}.time')
    out_file = os.path.join(workdir, f'{tool}.json')
    if os.path.exists(out_file):
        os.unlink(out_file)
    cmd = ['/usr/bin/time', '-v', '-o', time_path] + command(tool, tree, out_file, binary, extra, workdir)
    if nice:
        cmd = ['nice', '-n', str(nice)] + cmd
    with open(stdout_path, 'wb') as out, open(stderr_path, 'wb') as err:
        started = time.monotonic()
        rc = subprocess.call(cmd, stdout=out, stderr=err, cwd=workdir)
        wall = time.monotonic() - started
    if rc != 0:
        with open(stderr_path, 'rb') as f:
            tail = f.read()[-400:].decode('utf-8', 'replace')
        print(f'  {tool} exited {rc}: {tail}', file=sys.stderr)
    sets, files = count_output(tool, stdout_path, out_file) if count else (None, None)
    rss, cpu = time_figures(time_path)
    return wall, rss, cpu, sets, files, rc, results_seconds(tool, stdout_path)


def bench_tree(tree, tools, runs, binary, extra, nice):
    results = {t: dict(walls=[], rss=[], cpu=[], out=[], sets=None, files=None, failed=False)
               for t in tools}
    with tempfile.TemporaryDirectory(prefix='merravine-bench-') as workdir:
        for round_no in range(runs + 1):  # round 0 is the warm-up
            for tool in tools:
                last = round_no == runs
                wall, rss, cpu, sets, files, rc, out = run_once(tool, tree, binary, extra, workdir,
                                                           last, nice)
                r = results[tool]
                r['failed'] |= rc != 0
                if round_no == 0:
                    continue
                r['walls'].append(wall)
                r['cpu'].append(cpu)
                if out is not None:
                    r['out'].append(out)
                if rss is not None:
                    r['rss'].append(rss)
                if last:
                    r['sets'], r['files'] = sets, files
            if round_no:
                load = os.getloadavg()[0]
                print(f'  round {round_no}/{runs} done (load {load:.2f})', file=sys.stderr)
    return results


def fmt_ratio(ours, theirs):
    if not ours or not theirs:
        return '-'
    return f'{theirs / ours:.2f}x'


def report(tree, results, markdown):
    ours = results.get('merravine')
    our_med = statistics.median(ours['walls']) if ours and ours['walls'] else None
    our_rss = max(ours['rss']) if ours and ours['rss'] else None
    rows = []
    for tool, r in results.items():
        med = statistics.median(r['walls'])
        rss = max(r['rss']) if r['rss'] else None
        rows.append([tool, f'{med:.3f}', f'{min(r["walls"]):.3f}', f'{max(r["walls"]):.3f}',
                     f'{statistics.median(r["cpu"]):.2f}',
                     f'{statistics.median(r["out"]):.3f}' if r['out'] else '-',
                     f'{rss / 1024:.1f}' if rss else '-',
                     str(r['sets']), str(r['files']),
                     '-' if tool == 'merravine' else fmt_ratio(our_med, med),
                     '-' if tool == 'merravine' else fmt_ratio(our_rss, rss),
                     'FAILED' if r['failed'] else ''])
    head = ['tool', 'median s', 'min s', 'max s', 'cpu s', 'results s', 'peak MiB', 'sets', 'files',
            'peer time / ours', 'peer RSS / ours', '']
    print(f'\n{tree}  ({len(next(iter(results.values()))["walls"])} runs each, warm cache)')
    if markdown:
        print('| ' + ' | '.join(head[:-1]) + ' |')
        print('|' + '---|' * (len(head) - 1))
        for row in rows:
            print('| ' + ' | '.join(row[:-1]) + ' |' + (' ' + row[-1] if row[-1] else ''))
    else:
        widths = [max(len(h), *(len(row[i]) for row in rows)) for i, h in enumerate(head)]
        print('  '.join(h.ljust(w) for h, w in zip(head, widths)))
        for row in rows:
            print('  '.join(c.ljust(w) for c, w in zip(row, widths)))


def main():
    ap = argparse.ArgumentParser(description='Benchmark merravine scan against its peers.')
    ap.add_argument('--bin', default=os.environ.get('MERRAVINE_BIN'),
                    help='merravine executable (default $MERRAVINE_BIN)')
    ap.add_argument('--runs', type=int, default=5)
    ap.add_argument('--tools', default=','.join(ALL_TOOLS))
    ap.add_argument('--scan-arg', action='append', default=[],
                    help='extra argument for merravine scan (repeatable), e.g. --threads')
    ap.add_argument('--nice', type=int, default=0,
                    help='run every tool at this nice level (e.g. -20 as root, to shield the '
                         'measurement from other work on a shared machine)')
    ap.add_argument('--markdown', action='store_true', help='print tables as Markdown')
    ap.add_argument('--busy-core', action='store_true',
                    help='keep one core busy with a second process (a spinning shell loop) '
                         'for the whole run')
    ap.add_argument('trees', nargs='*')
    args = ap.parse_args()

    tools = [t for t in args.tools.split(',') if t]
    for t in tools:
        if t not in ALL_TOOLS:
            ap.error(f'unknown tool {t}')
    if not args.bin:
        ours = [t for t in tools if t.startswith('merravine')]
        if ours:
            print('no merravine executable (--bin or MERRAVINE_BIN): timing the peers only',
                  file=sys.stderr)
        tools = [t for t in tools if not t.startswith('merravine')]
    if args.bin:
        args.bin = os.path.abspath(args.bin)
    for t in tools:
        if not t.startswith('merravine') and not shutil.which(t):
            sys.exit(f'{t} is not installed (apt-get install {t})')
    if not os.path.exists('/usr/bin/time'):
        sys.exit('/usr/bin/time is missing (apt-get install time)')

    trees = args.trees or [DEFAULT_LARGE, '/usr/share', '/usr/lib']
    if DEFAULT_LARGE in trees and not os.path.isdir(DEFAULT_LARGE):
        print(f'generating the large corpus in {DEFAULT_LARGE}', file=sys.stderr)
        subprocess.check_call([sys.executable, os.path.join(HERE, 'gen_corpus.py'),
                               '--preset', 'large', '--seed', '1', '--out', DEFAULT_LARGE])
    print(f'{os.cpu_count()} cores; tools: {", ".join(tools)}'
          f'{"; one core held busy" if args.busy_core else ""}', file=sys.stderr)
    spinner = subprocess.Popen(['sh', '-c', 'while :; do :; done']) if args.busy_core else None
    try:
        for tree in trees:
            tree = os.path.abspath(tree)
            print(f'benchmarking {tree}', file=sys.stderr)
            results = bench_tree(tree, tools, args.runs, args.bin, args.scan_arg, args.nice)
            report(tree, results, args.markdown)
    finally:
        if spinner is not None:
            spinner.kill()
            spinner.wait()


if __name__ == '__main__':
    main()
