#!/usr/bin/python3
"""Self-test of verify.py: it must pass stubcli.py as it is and catch each of its faults.

Usage: /usr/bin/python3 selftest.py [--corpus DIR] [--work DIR] [FAULT...]

Makes a corpus with multipatient.py (unless --corpus is given), runs verify.py with stubcli.py
clean (exit 0 expected) and once per fault in STUB_FAULTS (exit 1 and a FAIL line naming the
fault's check expected). About a minute per run.
"""
import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PY = '/usr/bin/python3'
# fault -> text of the FAIL line that must catch it
EXPECT = {
    'nested-dates': "dates not moved by the patient's offset",
    'raw-id': 'patients with more than one: 1 [muller',
    'name': 'PatientName not the pseudonym: 103',
    'time': 'times unchanged',
    'codes': '(0028,0303)/(0012,0062)/(0012,0063)/(0012,0064) wrong in 0/0/103/103',
    'link-uid': 'UIDs changed in copies',
    'link-mode': 'mode 644',
    'link-always': '.csv files written',
    'stamp': 'bytes differ',
    'rename-name': 'paths holding an input name',
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--corpus')
    ap.add_argument('--work')
    ap.add_argument('faults', nargs='*')
    args = ap.parse_args()
    work = args.work or tempfile.mkdtemp(prefix='research-selftest-')
    corpus = args.corpus
    if not corpus:
        corpus = os.path.join(work, 'corpus')
        subprocess.run([PY, os.path.join(HERE, 'multipatient.py'), corpus], check=True, stdout=subprocess.DEVNULL)
    passed = failed = 0
    for fault in [''] + (args.faults or sorted(EXPECT)):
        env = dict(os.environ, STUB_FAULTS=fault)
        r = subprocess.run([PY, os.path.join(HERE, 'verify.py'), '--cli', os.path.join(HERE, 'stubcli.py'),
                            '--corpus', corpus, '--work', os.path.join(work, 'run-' + (fault or 'clean'))],
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = r.stdout.decode('utf-8', 'replace')
        fails = [l for l in out.splitlines() if ' FAIL ' in l]
        if not fault:
            ok = r.returncode == 0 and not fails
        else:
            ok = r.returncode == 1 and any(EXPECT[fault] in l for l in fails)
        passed += ok
        failed += not ok
        print('%-4s %-13s rc=%d, %d FAIL lines' % ('ok' if ok else 'BAD', fault or 'clean', r.returncode, len(fails)))
        if not ok:
            print('\n'.join('     ' + l for l in (fails or out.splitlines()[-15:])))
    print('%d passed, %d failed' % (passed, failed))
    sys.exit(1 if failed else 0)


if __name__ == '__main__':
    main()
