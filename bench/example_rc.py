#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Judges the public SpamAssassin corpus with the shipped example rc file.

Writes each folder of the corpus (fetched as bench/learn.py fetches it) as a Maildir, runs
pollensift --judge with doc/pollensiftrc.example over each, and prints how many messages the
example would delete. Exits 1 when it would delete any ham, which an example users copy must not:

    bench/example_rc.py --pollensift build/release/src/driver/pollensift
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import learn  # noqa: E402

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
HAM = ['easy-ham-1', 'easy-ham-2', 'hard-ham-1']
SUMMARY = re.compile(r'Judged (\d+) message\(s\): (\d+) would be deleted')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--pollensift', default=os.path.join(ROOT, 'build', 'release', 'src',
                                                              'driver', 'pollensift'))
    parser.add_argument('--rc', default=os.path.join(ROOT, 'doc', 'pollensiftrc.example'))
    parser.add_argument('--cache', default=os.path.expanduser('~/.cache/pollensift-bench/'
                                                              'spam-assassin'))
    args = parser.parse_args()
    data = learn.fetch(args.cache)
    ham_deleted = 0
    with tempfile.TemporaryDirectory() as work:
        for group in learn.GROUPS:
            box = learn.maildir(work, group, learn.messages(data, group))
            p = subprocess.run([args.pollensift, '-v', '4', '-M', args.rc, '--judge', box],
                               capture_output=True, text=True, errors='replace',
                               env=dict(os.environ, HOME=work))
            found = SUMMARY.search(p.stdout)
            if not found:
                sys.exit('no summary for %s: %s' % (group, p.stderr.strip()))
            judged, deleted = int(found.group(1)), int(found.group(2))
            print('%-11s %5d judged %5d would be deleted' % (group, judged, deleted))
            if group in HAM:
                ham_deleted += deleted
                for line in p.stdout.splitlines():
                    if ': Deny: ' in line:
                        print('  ' + line[:200])
    print('ham deleted: %d' % ham_deleted)
    sys.exit(1 if ham_deleted else 0)


if __name__ == '__main__':
    main()
