#!/usr/bin/env python3
"""The repeat run against the bare session: with STATEFILE over an unchanged mailbox of N kept
messages on a private loopback Dovecot, pollensift's repeat run (-v 2, R rules) and
`floor_client --uidl` (CAPA, USER with PASS, STAT with UIDL, QUIT: the dialogue of that run and
nothing else) take turns, and the medians and their ratio are printed. Run as root:

    bench/repeat_session.py --no-build --build-dir build/release [--size 1895] [--runs 21]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import incremental  # noqa: E402
import run  # noqa: E402
from run import USER_PASSWORD  # noqa: E402
from dovecot import Dovecot  # noqa: E402


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument('--size', type=int, default=1895, help='kept messages in the mailbox (N)')
    p.add_argument('--rules', type=int, default=100, help='rule count R')
    p.add_argument('--runs', type=int, default=21, help='runs of each, in turn')
    p.add_argument('--seed', default='1')
    p.add_argument('--build-dir', default=os.path.join(run.ROOT, 'build', 'bench'))
    p.add_argument('--no-build', action='store_true')
    p.add_argument('--pollensift', help='measure this binary')
    return p.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    programs, work = incremental.prepare(args, 'repeat_session.py')
    try:
        with Dovecot({incremental.USER: USER_PASSWORD}) as server:
            box = incremental.Mailbox(work, '127.0.0.1', server.port, args)
            incremental.settle(server, box, programs, args, 0)
            kept = len(server.messages(incremental.USER))
            bare_argv = [programs.floor, '--uidl', '127.0.0.1', str(server.port),
                         incremental.USER, USER_PASSWORD]
            repeat, bare = [], []
            for k in range(args.runs):
                order = ['repeat', 'bare'] if k % 2 == 0 else ['bare', 'repeat']
                for which in order:
                    if which == 'repeat':
                        repeat.append(box.run(programs, box.state_rc)[:2])
                    else:
                        wall, cpu, _, code = run.run_once(programs.measure, bare_argv,
                                                          subprocess.DEVNULL,
                                                          os.path.join(work, 'bare'))
                        if code != 0:
                            sys.exit('repeat_session.py: floor_client --uidl failed')
                        bare.append((wall, cpu))
            log = box.run(programs, box.state_rc, verbose=6)[3]
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sent = [line.split('Wrote: ', 1)[1] for line in log.splitlines() if 'Wrote: ' in line]
    print('# repeat run against the bare session: N=%d kept, R=%d, %d runs each in turn, '
          'medians; load %.1f' % (kept, args.rules, args.runs, os.getloadavg()[0]))
    print('# pollensift sent: %s' % ', '.join(sent))
    print('| program | wall s | CPU s |')
    print('|---|--:|--:|')
    for label, samples in (('pollensift repeat run', repeat), ('bare session', bare)):
        print('| %s | %.4f | %.4f |' % (label, statistics.median(s[0] for s in samples),
                                        statistics.median(s[1] for s in samples)))
    ratios = sorted(r[0] / b[0] for r, b in zip(repeat, bare))
    print('wall ratio of the medians %.2f; of each pair: median %.2f, range %.2f to %.2f'
          % (statistics.median(s[0] for s in repeat) / statistics.median(s[0] for s in bare),
             statistics.median(ratios), ratios[0], ratios[-1]))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
