#!/usr/bin/python3
"""Check research-ready copies of the multi-patient corpus (multipatient.py) made by the CLI.

Usage:
  /usr/bin/python3 verify.py --cli CLI --corpus DIR --work WORKDIR [--key KEYFILE]
      [--table confidentiality-profile.tsv]

Stages the corpus's DICOM files into fresh folders under WORKDIR, runs the CLI on them and reads
the copies with pydicom alone; what the inputs held comes from DIR/manifest.json and the corpus
files. Checks, each a line of the figures table (exit status 1 if any fails):
  a. two runs `--standard --option modified-dates --uid-key KEY --link-file WORK/linkN.csv`:
     one VX- pseudonym per patient in every copy, the same in both runs, distinct between
     patients; PatientName = pseudonym; other patient IDs and the issuer gone; every DA and DT
     date (every level, birth date included) moved back by the patient's one offset of 365 to
     3653 whole days, so every interval between two dates of a patient is the input's; DT time
     and offset parts and every TM unchanged; a year-only DT keeps its precision; dates the
     table lets the profile remove may be absent, others not; (0028,0303) MODIFIED, (0012,0062)
     YES, (0012,0063)/(0012,0064) name exactly the Basic profile (113100) and Modified Dates
     (113107), scheme DCM;
  b. `--shard K/4`, K = 1..4 one after another into one fresh output tree: the same files, byte
     for byte, as the first run; no shard rewrites another's file; one report per shard
     (<out>.report.K-of-4.txt); the shards' link rows together are the first run's;
  c. the link file: mode 0600, header copy,kind,element,original,new, kinds patient-id,
     patient-id-issuer (where the input has an issuer), uid, date-offset-days; rows for every copy; patient-id original = input PatientID and new = the
     copy's; date-offset-days = the offset measured in (a); every UID of a copy that differs
     from the input's at the same path is a uid row of that copy; one new UID per original
     across copies; references between copies resolve; runs without --link-file write no .csv;
     a link file inside or beside the output folder is refused;
  d. `--rename` (two runs and 4 shards): <pseudonym>/<study>/<series>-<modality>/<instance>.dcm,
     one folder per study and series UID, no input file or folder name, patient name, ID or
     date in any path, the same paths and bytes in every run and shard, and the report's
     "in -> copy" lines match the copies;
  e. no copy gains a dciodvfy Error line (values and UIDs masked as tools/privacy does);
  f. plain `--standard` (no option): patients still apart, the same pseudonyms as in (a).
Every finding is listed in WORKDIR/details.txt. Copies are matched to their inputs by the
(SeriesNumber, InstanceNumber) pair unique to each corpus file, so renamed copies count.
"""
import argparse
import collections
import concurrent.futures
import csv
import datetime
import json
import os
import re
import stat
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'privacy'))
from common import (Table, dciodvfy_errors, list_files, norm_error, read_ds, run, sha,  # noqa: E402
                    stage, value_text, walk_file)

PSEUDONYM = re.compile(r'^VX-[A-Z2-7]{10}$')
UID_OK = re.compile(r'^(0|[1-9][0-9]*)(\.(0|[1-9][0-9]*))*$')
TAG = re.compile(r'\(([0-9A-F]{4}),([0-9A-F]{4})\)')
DT_RX = re.compile(r'^(\d{4})(\d{2})?(\d{2})?(.*)$')
MIN_DAYS, MAX_DAYS = 365, 3653
BASIC, MODIFIED = '113100', '113107'
MODIFIED_COLUMN = 9  # retain_long_modified_dates in the confidentiality table
LINK_HEADER = ['copy', 'kind', 'element', 'original', 'new']
LINK_KINDS = {'patient-id', 'patient-id-issuer', 'uid', 'date-offset-days'}
WRITER_UIDS = {'(0002,0010)', '(0002,0012)'}  # transfer syntax and the writer's own implementation UID
OTHER_IDS = {0x00100021: 'IssuerOfPatientID', 0x00101000: 'OtherPatientIDs',
             0x00101002: 'OtherPatientIDsSequence', 0x00101001: 'OtherPatientNames'}


def tags_of(path):
    return [int(g + e, 16) for g, e in TAG.findall(path)]


def s2d(s):
    return datetime.date(int(s[:4]), int(s[4:6]), int(s[6:8]))


class ModifiedDatesTable(Table):
    """The confidentiality table's action with Modified Dates: that column where it gives one,
    else the basic action."""
    def __init__(self, path):
        super().__init__(path)
        with open(path) as f:
            for line in f:
                cols = line.rstrip('\n').split('\t')
                if line.startswith('#') or cols[0] == 'tag' or 'X' in cols[0] or cols[0] == 'GGGG,EEEE':
                    continue
                if len(cols) > MODIFIED_COLUMN and cols[MODIFIED_COLUMN]:
                    self.exact[int(cols[0].replace(',', ''), 16)] = cols[MODIFIED_COLUMN]

    def may_remove(self, path):
        """Whether the profile (with Modified Dates) may remove or empty the element at path:
        its own action, or that of a sequence holding it, is not keep/clean/UID."""
        return any(self.action(t) not in (None, 'K', 'C', 'U') for t in tags_of(path))


class Report:
    def __init__(self, work):
        self.rows = []
        self.failed = False
        self.det = open(os.path.join(work, 'details.txt'), 'w', encoding='utf-8')

    def fig(self, check, text, ok=None):
        """One line of the figures table; ok None is a figure without a verdict."""
        verdict = '' if ok is None else ('PASS' if ok else 'FAIL')
        self.failed |= ok is False
        self.rows.append((check, verdict, text))
        print('%-3s %-4s %s' % (check, verdict, text), file=self.det)

    def d(self, line):
        print('  ' + line, file=self.det)

    def many(self, check, what, items, limit=200):
        for x in items[:limit]:
            self.d('%s %s: %s' % (check, what, x))
        if len(items) > limit:
            self.d('%s %s: ... %d more' % (check, what, len(items) - limit))

    def print(self):
        for check, verdict, text in self.rows:
            print('%-3s %-4s %s' % (check, verdict, text))


# ---------------------------------------------------------------------------------------
# runs

class Runner:
    def __init__(self, args, files, rep):
        self.cli, self.corpus, self.work, self.files, self.rep = args.cli, args.corpus, args.work, files, rep
        xdg = os.path.join(self.work, 'xdg')
        self.env = dict(os.environ, XDG_CONFIG_HOME=xdg + '/config', XDG_DATA_HOME=xdg + '/data',
                        XDG_CACHE_HOME=xdg + '/cache', XDG_STATE_HOME=xdg + '/state')

    def call(self, args):
        t = time.time()
        r = run([self.cli] + args, cwd=self.work, env=self.env)
        out = dict(rc=r.returncode, secs=time.time() - t, cmd=' '.join(args),
                   stdout=r.stdout.decode('utf-8', 'replace'), stderr=r.stderr.decode('utf-8', 'replace'))
        self.rep.d('ran %s: rc=%d %.1fs %s' % (' '.join(args), out['rc'], out['secs'],
                                               (out['stdout'].strip().splitlines() or [''])[0]))
        for line in out['stderr'].splitlines()[:20]:
            self.rep.d('    stderr: ' + line)
        return out

    def fresh(self, name):
        folder = os.path.join(self.work, name, 'corpus')
        stage(self.corpus, self.files, folder)
        return folder

    def run(self, name, flags):
        folder = self.fresh(name)
        r = self.call(flags + [folder])
        r.update(name=name, input=folder, out=folder + '_depersonification')
        return r

    def shards(self, name, flags, n=4):
        """K/n one after another into one output tree; per shard: files it added, files it rewrote."""
        folder = self.fresh(name)
        out = folder + '_depersonification'
        before, per = {}, []
        for k in range(1, n + 1):
            r = self.call(flags + ['--shard', '%d/%d' % (k, n), folder])
            now = snapshot(out)
            r['added'] = sorted(set(now) - set(before))
            r['rewrote'] = sorted(p for p in before if now.get(p) != before[p])
            r['report'] = '%s.report.%d-of-%d.txt' % (out, k, n)
            per.append(r)
            before = now
        return dict(name=name, input=folder, out=out, shards=per,
                    rc=max(s['rc'] for s in per), secs=sum(s['secs'] for s in per))


def snapshot(root):
    out = {}
    if os.path.isdir(root):
        for rel in list_files(root):
            st = os.stat(os.path.join(root, rel))
            out[rel] = (st.st_size, st.st_mtime_ns, sha(os.path.join(root, rel)))
    return out


# ---------------------------------------------------------------------------------------
# copies

def marker(ds):
    try:
        return int(ds.SeriesNumber), int(ds.InstanceNumber)
    except Exception:
        return None


def pair(run, man):
    """input rel -> (copy rel, dataset); copies whose input cannot be told are under None."""
    by_marker = {tuple(f['marker']): rel for rel, f in man['files'].items()}
    pairs, strays = {}, []
    for out_rel in list_files(run['out']):
        ds = read_ds(os.path.join(run['out'], out_rel))
        rel = by_marker.get(marker(ds)) if ds is not None else None
        if rel is None and out_rel in man['files']:
            rel = out_rel
        if rel is None or rel in pairs:
            strays.append(out_rel)
        else:
            pairs[rel] = (out_rel, ds)
    run['pairs'], run['strays'] = pairs, strays
    return pairs


def elements(ds):
    return {p: e for p, e in walk_file(ds)} if ds is not None else {}


def text(e):
    return value_text(e).strip() if e is not None else None


def split_date(value):
    """(date string YYYYMMDD or None, precision 'Y'/'YM'/'YMD', rest) of a DA or DT value."""
    m = DT_RX.match(value.strip())
    if not m:
        return None, None, value
    y, mo, d, rest = m.groups()
    if mo and d:
        return y + mo + d, 'YMD', rest
    return None, 'Y' if not mo else 'YM', (mo or '') + (d or '') + rest


def shift_ok_partial(inp, out, days):
    """A year (or year-month) DT moved back by days: same precision, within the range it spans."""
    p_in, p_out = split_date(inp)[1], split_date(out)[1]
    if p_in != p_out or not re.fullmatch(r'\d{4}(\d{2})?', out.strip()):
        return False
    y = int(inp[:4])
    lo = (datetime.date(y, 1, 1) - datetime.timedelta(days=days)).year
    hi = (datetime.date(y, 12, 31) - datetime.timedelta(days=days)).year
    return lo <= int(out[:4]) <= hi


def values(v):
    return [x for x in v.split('\\')]


# ---------------------------------------------------------------------------------------
# a: pseudonyms, dates, the de-identification method

def pseudonyms(run, man, rep, check, label):
    """patient -> set of PatientID values in run's copies; checks format, name and other IDs."""
    per, bad_fmt, bad_name, others = collections.defaultdict(set), [], [], []
    for rel, (out_rel, ds) in sorted(run['pairs'].items()):
        pid = str(ds.get('PatientID', '')).strip() if ds is not None else ''
        per[man['files'][rel]['patient']].add(pid)
        if not PSEUDONYM.match(pid):
            bad_fmt.append('%s: %r' % (out_rel, pid))
        name = str(ds.get('PatientName', '')).strip() if ds is not None else ''
        if name != pid:
            bad_name.append('%s: PatientName %r, PatientID %r' % (out_rel, name, pid))
        for tag, kw in OTHER_IDS.items():
            e = ds.get(tag) if ds is not None else None
            if e is not None and e.value not in (None, '', []) and (e.VR != 'SQ' or len(e.value)):
                others.append('%s: %s %s' % (out_rel, kw, text(e)[:60] if e.VR != 'SQ' else '(%d items)' % len(e.value)))
    multi = {p: sorted(v) for p, v in per.items() if len(v) != 1}
    owners = collections.defaultdict(set)
    for p, v in per.items():
        for x in v:
            owners[x].add(p)
    shared = {x: sorted(ps) for x, ps in owners.items() if len(ps) > 1}
    rep.many(check, label + ' bad pseudonym', bad_fmt)
    rep.many(check, label + ' name is not the pseudonym', bad_name)
    rep.many(check, label + ' other patient ID left', others)
    for p, v in multi.items():
        rep.d('%s %s patient %s has %d pseudonyms: %s' % (check, label, p, len(v), ' '.join(v)))
        for rel, (out_rel, ds) in sorted(run['pairs'].items()):
            if man['files'][rel]['patient'] == p:
                rep.d('    %s (input PatientID %r, charset %s) -> %s' % (
                    out_rel, man['files'][rel]['id'], man['files'][rel]['charset'], ds.get('PatientID', '')))
    for x, ps in shared.items():
        rep.d('%s %s pseudonym %s shared by patients %s' % (check, label, x, ', '.join(ps)))
    rep.fig(check, '%s: %d patients, %d distinct pseudonyms; patients with more than one: %d%s; '
            'pseudonyms shared by patients: %d%s' % (
                label, len(per), len(owners), len(multi),
                ''.join(' [%s: %s]' % (p, ' '.join(v)) for p, v in sorted(multi.items())),
                len(shared), ''.join(' [%s: %s]' % (x, ', '.join(ps)) for x, ps in sorted(shared.items()))),
            not multi and not shared and len(owners) == len(man['patients']))
    rep.fig(check, '%s: copies whose PatientID is not VX- plus 10 base-32 characters: %d; PatientName not the '
            'pseudonym: %d; issuer or other patient IDs left: %d' % (label, len(bad_fmt), len(bad_name), len(others)),
            not bad_fmt and not bad_name and not others)
    return {p: next(iter(v)) for p, v in per.items() if len(v) == 1}


def check_dates(run, man, table, rep, check, label):
    """Dates and times of every copy against the manifest; returns patient -> offset in days."""
    found = collections.defaultdict(list)  # patient -> [(days, copy rel, path, input, output)]
    lost, removed, unshifted, partial_bad, time_bad, new_dates, time_lost = [], 0, [], [], [], [], []
    partial_ok, times_same, depth = 0, 0, collections.Counter()
    pending_partial, removed_paths = [], collections.Counter()
    for rel, (out_rel, ds) in sorted(run['pairs'].items()):
        f = man['files'][rel]
        els = elements(ds)
        for path, (vr, vin) in sorted(f['dates'].items()):
            e = els.get(path)
            vout = text(e)
            if not vout:
                if table.may_remove(path) and tags_of(path)[-1] != 0x00100030:
                    removed += 1
                    removed_paths[re.sub(r'\[\d+\]', '[i]', path)] += 1
                else:
                    lost.append('%s %s %s=%r is %s' % (out_rel, path, vr, vin, 'empty' if e is not None else 'gone'))
                continue
            vin_l, vout_l = values(vin), values(vout)
            if len(vin_l) != len(vout_l):
                lost.append('%s %s: %d values became %d (%r -> %r)' % (out_rel, path, len(vin_l), len(vout_l), vin, vout))
                continue
            for a, b in zip(vin_l, vout_l):
                da, pa, ra = split_date(a)
                db, pb, rb = split_date(b)
                if da is None:
                    pending_partial.append((f['patient'], out_rel, path, a, b))
                    continue
                if db is None:
                    unshifted.append('%s %s: %r -> %r (not a full date)' % (out_rel, path, a, b))
                    continue
                try:
                    days = (s2d(da) - s2d(db)).days
                except ValueError:
                    unshifted.append('%s %s: %r -> %r (not a date)' % (out_rel, path, a, b))
                    continue
                found[f['patient']].append((days, out_rel, path, a, b))
                depth[path.count('>')] += 1
                if vr == 'DT' and ra != rb:
                    time_bad.append('%s %s DT time part %r -> %r' % (out_rel, path, a, b))
        for path, vin in sorted(f['times'].items()):
            e = els.get(path)
            vout = text(e)
            if not vout:
                if not table.may_remove(path):
                    time_lost.append('%s %s TM %r is %s' % (out_rel, path, vin, 'empty' if e is not None else 'gone'))
                continue
            if vout != vin.strip():
                time_bad.append('%s %s TM %r -> %r' % (out_rel, path, vin, vout))
            else:
                times_same += 1
        for path, e in els.items():
            if e.VR in ('DA', 'DT') and text(e) and path not in f['dates']:
                new_dates.append('%s %s %s=%r' % (out_rel, path, e.VR, text(e)))
    offsets, intervals, differing, moved_bad = {}, 0, 0, []
    for p, lst in sorted(found.items()):
        counts = collections.Counter(days for days, *_ in lst)
        off = counts.most_common(1)[0][0]
        offsets[p] = off
        n = len(lst)
        intervals += n * (n - 1) // 2
        differing += n * (n - 1) // 2 - sum(k * (k - 1) // 2 for k in counts.values())
        for days, out_rel, path, a, b in lst:
            if days != off:
                unshifted.append('%s %s: %r -> %r moved %d days, the patient\'s other dates %d' % (
                    out_rel, path, a, b, days, off))
        if not MIN_DAYS <= off <= MAX_DAYS:
            moved_bad.append('%s: offset %d days' % (p, off))
        if len(counts) > 1:
            rep.d('%s %s patient %s offsets: %s' % (check, label, p, dict(counts)))
    for p, out_rel, path, a, b in pending_partial:
        if p in offsets and shift_ok_partial(a, b, offsets[p]):
            partial_ok += 1
        else:
            partial_bad.append('%s %s: %r -> %r (offset %s days)' % (out_rel, path, a, b, offsets.get(p)))
    n_dates = sum(len(v) for v in found.values())
    rep.many(check, label + ' date lost', lost)
    rep.d('%s %s dates absent where the table lets the profile remove them, by path: %s' % (
        check, label, ', '.join('%s %d' % kv for kv in sorted(removed_paths.items()))))
    rep.many(check, label + ' date not moved by the patient\'s offset', unshifted)
    rep.many(check, label + ' partial DT', partial_bad)
    rep.many(check, label + ' time changed', time_bad)
    rep.many(check, label + ' time lost', time_lost)
    rep.many(check, label + ' date in the copy that the input lacks', new_dates)
    rep.fig(check, '%s: %d dates compared (%s); intervals between two dates of a patient: %d, differing: %d; '
            'dates not moved by the patient\'s offset: %d' % (
                label, n_dates, ', '.join('depth %d: %d' % kv for kv in sorted(depth.items())), intervals,
                differing, len(unshifted)), differing == 0 and not unshifted and n_dates > 0)
    rep.fig(check, '%s: offsets by patient (days back): %s; outside %d..%d: %d' % (
        label, ', '.join('%s %d' % kv for kv in sorted(offsets.items())), MIN_DAYS, MAX_DAYS, len(moved_bad)),
        not moved_bad and len(offsets) == len(man['patients']))
    rep.fig(check, '%s: dates absent where the table lets the profile remove them: %d; lost elsewhere: %d; '
            'year-only DT kept as a year: %d of %d; dates the input lacks: %d' % (
                label, removed, len(lost), partial_ok, partial_ok + len(partial_bad), len(new_dates)),
            not lost and not partial_bad)
    rep.fig(check, '%s: times unchanged: %d TM + DT time parts; changed: %d; TM lost where the table keeps '
            'it: %d' % (label, times_same, len(time_bad), len(time_lost)), not time_bad and not time_lost)
    return offsets


def check_method(run, rep, check, label, want):
    bad = collections.Counter()
    seen = collections.Counter()
    for rel, (out_rel, ds) in sorted(run['pairs'].items()):
        problems = []
        ltim = str(ds.get('LongitudinalTemporalInformationModified', '')).strip()
        if MODIFIED in want and ltim != 'MODIFIED':
            problems.append('(0028,0303) %r' % ltim)
        if MODIFIED not in want and ltim == 'MODIFIED':
            problems.append('(0028,0303) %r without the option' % ltim)
        if str(ds.get('PatientIdentityRemoved', '')).strip() != 'YES':
            problems.append('(0012,0062) %r' % str(ds.get('PatientIdentityRemoved', '')))
        method = ds.get(0x00120063)
        mtext = text(method) or ''
        if 'basic' not in mtext.lower() or (MODIFIED in want) != ('modified dates' in mtext.lower()):
            problems.append('(0012,0063) %r' % mtext)
        codes = set()
        for it in ds.get('DeidentificationMethodCodeSequence', []) or []:
            codes.add((str(it.get('CodeValue', '')), str(it.get('CodingSchemeDesignator', '')),
                       str(it.get('CodeMeaning', ''))))
        got = {(c, s) for c, s, _ in codes}
        if got != {(c, 'DCM') for c in want}:
            problems.append('(0012,0064) %s' % sorted(got))
        seen[(mtext, tuple(sorted(codes)))] += 1
        for p in problems:
            bad[p.split(' ')[0]] += 1
            rep.d('%s %s %s: %s' % (check, label, out_rel, p))
    rep.fig(check, '%s: (0028,0303)/(0012,0062)/(0012,0063)/(0012,0064) wrong in %s copies; as written: %s' % (
        label, '/'.join(str(bad[t]) for t in ('(0028,0303)', '(0012,0062)', '(0012,0063)', '(0012,0064)')),
        '; '.join('%r with %s [%d]' % (m, ', '.join('%s %s %r' % c for c in cs), n) for (m, cs), n in seen.items())),
        not bad)


def check_ages(run, man, rep, check, label):
    same, differ, absent = 0, [], 0
    for rel, (out_rel, ds) in run['pairs'].items():
        a = str(ds.get('PatientAge', '')).strip()
        inp = read_ds(os.path.join(man['_corpus'], rel))
        if not a:
            absent += 1
        elif a == str(inp.get('PatientAge', '')).strip():
            same += 1
        else:
            differ.append('%s: %s -> %s' % (out_rel, inp.get('PatientAge'), a))
    rep.many(check, label + ' PatientAge', differ)
    rep.fig(check, '%s: PatientAge kept %d, removed %d, changed %d' % (label, same, absent, len(differ)), not differ)


# ---------------------------------------------------------------------------------------
# c: link file

def read_link(path, run, rep, check, label):
    """Rows by copy rel (relative to run's output folder); figures on mode, header, kinds."""
    if not os.path.exists(path):
        rep.fig(check, '%s: link file %s not written' % (label, path), False)
        return None
    mode = stat.S_IMODE(os.stat(path).st_mode)
    with open(path, newline='', encoding='utf-8') as f:
        rows = list(csv.reader(f))
    header = rows[0] if rows else []
    body = [r for r in rows[1:] if r]
    kinds = collections.Counter(r[1] if len(r) > 1 else '?' for r in body)
    elements_ = collections.Counter(r[2] for r in body if len(r) > 2 and r[1] != 'uid')
    by_copy, unresolved, malformed = collections.defaultdict(list), [], []
    for r in body:
        if len(r) != 5:
            malformed.append(repr(r))
            continue
        c = resolve_copy(r[0], run)
        if c is None:
            unresolved.append(r[0])
        else:
            by_copy[c].append(dict(zip(LINK_HEADER, r)))
    headers_again = sum(1 for r in body if r == LINK_HEADER)
    rep.many(check, label + ' malformed row', malformed)
    rep.many(check, label + ' copy not found', sorted(set(unresolved)))
    rep.d('%s %s elements named (other than uid rows): %s' % (check, label, dict(elements_)))
    rep.fig(check, '%s: mode %o, header %s, %d rows (%s), %d malformed, %d naming no copy of this run%s' % (
        label, mode, ','.join(header) if header == LINK_HEADER else 'WRONG %r' % header, len(body),
        ', '.join('%s %d' % kv for kv in sorted(kinds.items())), len(malformed), len(set(unresolved)),
        ', header repeated %d times' % headers_again if headers_again else ''),
        mode == 0o600 and header == LINK_HEADER and not malformed and not unresolved and set(kinds) <= LINK_KINDS
        and not headers_again)
    return by_copy


def resolve_copy(value, run):
    cands = [value] if os.path.isabs(value) else [os.path.join(run['out'], value),
                                                    os.path.join(os.path.dirname(run['out']), value)]
    for c in cands:
        c = os.path.normpath(c)
        if c.startswith(run['out'] + os.sep) and os.path.isfile(c):
            return os.path.relpath(c, run['out'])
    return None


def uid_values(ds):
    out = {}
    for p, e in walk_file(ds):
        if e.VR == 'UI' and e.value not in (None, '') and p not in WRITER_UIDS:
            for i, v in enumerate(values(value_text(e))):
                out[p if i == 0 else '%s#%d' % (p, i)] = v.strip().rstrip('\0')
    return out


def check_link(run, man, link, offsets, pseud, rep, check, label):
    by_copy = read_link(link, run, rep, check, label)
    if by_copy is None:
        return None
    missing_rows, pid_bad, off_bad, uid_missing, uid_extra, reid_bad = [], [], [], [], [], []
    changed = found = 0
    mapping = collections.defaultdict(set)
    sop_new = {}
    invalid = []
    for rel, (out_rel, ds) in sorted(run['pairs'].items()):
        f = man['files'][rel]
        rows = by_copy.get(out_rel, [])
        kinds = collections.Counter(r['kind'] for r in rows)
        need = {'patient-id', 'uid'} | ({'date-offset-days'} if offsets is not None else set())
        if not need <= set(kinds):
            missing_rows.append('%s: has %s' % (out_rel, dict(kinds)))
        for r in rows:
            if r['kind'] == 'patient-id':
                if r['original'].strip() != f['id'].strip() or r['new'] != str(ds.get('PatientID', '')).strip():
                    pid_bad.append('%s: %r -> %r (input %r, copy %r)' % (out_rel, r['original'], r['new'], f['id'],
                                                                         ds.get('PatientID', '')))
                elif r['original'] != f['id']:
                    rep.d('%s %s %s: patient-id original %r, input %r (spaces differ)' % (
                        check, label, out_rel, r['original'], f['id']))
            elif r['kind'] == 'patient-id-issuer':
                if r['original'] != f.get('issuer', '').strip() or r['new'] != str(ds.get('PatientID', '')).strip():
                    pid_bad.append('%s: issuer %r -> %r (input %r)' % (out_rel, r['original'], r['new'],
                                                                       f.get('issuer', '')))
            elif r['kind'] == 'date-offset-days':
                want = offsets.get(f['patient']) if offsets else None
                if r['original'] != '' or not re.fullmatch(r'[1-9][0-9]*', r['new']) or \
                        (want is not None and int(r['new']) != want):
                    off_bad.append('%s: %r -> %r (dates moved %s days)' % (out_rel, r['original'], r['new'], want))
        # re-identification: from the copy's pseudonym through the link rows to the input's ID
        back = {r['original'].strip() for r in rows if r['kind'] == 'patient-id'
                and r['new'] == str(ds.get('PatientID', '')).strip()}
        if back != {f['id'].strip()}:
            reid_bad.append('%s: pseudonym %s -> %s, input %r' % (out_rel, ds.get('PatientID', ''), sorted(back), f['id']))
        pairs_in_rows = {(r['original'], r['new']) for r in rows if r['kind'] == 'uid'}
        inp = read_ds(os.path.join(run['input'], rel))
        uin, uout = uid_values(inp), uid_values(ds)
        for p, new in uout.items():
            old = uin.get(p)
            if old is None or old == new:
                continue
            changed += 1
            mapping[old].add(new)
            if not UID_OK.match(new) or len(new) > 64:
                invalid.append('%s %s %r' % (out_rel, p, new))
            if (old, new) in pairs_in_rows:
                found += 1
            else:
                uid_missing.append('%s %s: %s -> %s' % (out_rel, p, old, new))
        for old, new in pairs_in_rows:
            if old not in uin.values() or new not in uout.values():
                uid_extra.append('%s: %s -> %s (%s)' % (out_rel, old, new, 'not in the input' if old not in uin.values()
                                                         else 'not in the copy'))
        sop_new[f['sop']] = str(ds.get('SOPInstanceUID', ''))
    one_to_many = {o: sorted(n) for o, n in mapping.items() if len(n) > 1}
    news = collections.Counter(n for ns in mapping.values() for n in ns)
    collide = [n for n, k in news.items() if k > 1]
    unchanged = collections.Counter()
    for rel, (out_rel, ds) in run['pairs'].items():
        f = man['files'][rel]
        for kw, want in (('StudyInstanceUID', f['study']), ('SeriesInstanceUID', f['series']),
                         ('SOPInstanceUID', f['sop'])):
            if str(ds.get(kw, '')) == want:
                unchanged[kw] += 1
    # references between copies
    refs = broken = dropped = 0
    for rel, (out_rel, ds) in run['pairs'].items():
        uin = uid_values(read_ds(os.path.join(run['input'], rel)))
        uout = uid_values(ds)
        for p, old in uin.items():
            if p.endswith('(0008,1155)') and old in sop_new:
                if p not in uout:
                    dropped += 1
                    continue
                refs += 1
                if uout.get(p) != sop_new[old]:
                    broken += 1
                    rep.d('%s %s %s %s: reference to %s is %s, that copy is %s' % (
                        check, label, out_rel, p, old, uout.get(p), sop_new[old]))
    for name, items in (('copy without its rows', missing_rows), ('patient-id row wrong', pid_bad),
                        ('date-offset row wrong', off_bad), ('changed UID without a row', uid_missing),
                        ('uid row not matching the files', uid_extra), ('re-identification wrong', reid_bad),
                        ('invalid new UID', invalid)):
        rep.many(check, label + ' ' + name, items)
    for o, n in one_to_many.items():
        rep.d('%s %s UID %s became %s' % (check, label, o, ' '.join(n)))
    rep.fig(check, '%s: copies lacking patient-id/uid/date-offset rows: %d of %d; patient-id rows wrong: %d; '
            'date-offset rows wrong: %d; re-identification from the link file wrong: %d' % (
                label, len(missing_rows), len(run['pairs']), len(pid_bad), len(off_bad), len(reid_bad)),
            not missing_rows and not pid_bad and not off_bad and not reid_bad)
    rep.fig(check, '%s: UIDs changed in copies: %d, in the link file %d, missing %d; rows naming a UID the files '
            'lack: %d; originals with two new UIDs: %d; new UIDs shared by two originals: %d; invalid new UIDs: %d; '
            'study/series/instance UIDs left as they were: %d/%d/%d; references between copies: %d, broken %d '
            '(%d more removed with their sequence)' % (
                label, changed, found, len(uid_missing), len(uid_extra), len(one_to_many), len(collide), len(invalid),
                unchanged['StudyInstanceUID'], unchanged['SeriesInstanceUID'], unchanged['SOPInstanceUID'],
                refs, broken, dropped),
            not uid_missing and not uid_extra and not one_to_many and not collide and not invalid
            and not sum(unchanged.values()) and not broken and changed > 0)
    return {(r['kind'], r['element'], r['original'], r['new'], c) for c, rows in by_copy.items() for r in rows}


def csv_files(root):
    out = set()
    for d, _, fs in os.walk(root):
        out.update(os.path.join(d, f) for f in fs if f.lower().endswith('.csv'))
    return out


# ---------------------------------------------------------------------------------------
# d: names from the data

RENAMED = re.compile(r'^([^/]+)/([^/]+)/([^/]+)-([^/]+)/([^/]+)\.dcm$')


def forbidden_words(man):
    words = set()
    for rel, f in man['files'].items():
        parts = rel.split('/')
        words.update(parts)
        words.update(os.path.splitext(p)[0] for p in parts)
        words.update(re.split(r'[_ ]', parts[-1][:-4]))
        words.update(x for x in re.split(r'[\^= ]', f['name']) if x)
        words.update(g.replace('^', '') for g in f['name'].split('='))
        words.update([f['id'].strip(), f['birth'], f['study_date'], f['issuer']])
    return {w for w in words if len(w.strip()) >= 4 and not re.fullmatch(r'(?i)im\d*|export|mixed|\d{1,4}', w)}


def check_rename(run, man, words, rep, check, label):
    bad_form, bad_parts = [], []
    study_dirs, series_dirs, leaks = collections.defaultdict(set), collections.defaultdict(set), []
    for rel, (out_rel, ds) in sorted(run['pairs'].items()):
        m = RENAMED.match(out_rel)
        if not m:
            bad_form.append(out_rel)
            continue
        pid, study, series, modality, inst = m.groups()
        if pid != str(ds.get('PatientID', '')).strip():
            bad_parts.append('%s: folder %s, PatientID %s' % (out_rel, pid, ds.get('PatientID', '')))
        if modality != str(ds.get('Modality', '')):
            bad_parts.append('%s: modality folder %s, Modality %s' % (out_rel, modality, ds.get('Modality', '')))
        study_dirs[str(ds.get('StudyInstanceUID', ''))].add(pid + '/' + study)
        series_dirs[str(ds.get('SeriesInstanceUID', ''))].add('%s/%s/%s' % (pid, study, series))
        low = out_rel.lower()
        hit = sorted(w for w in words if w.lower() in low)
        if hit:
            leaks.append('%s: %s' % (out_rel, ', '.join(hit)))
    multi = [u for u, d in study_dirs.items() if len(d) > 1] + [u for u, d in series_dirs.items() if len(d) > 1]
    rev_s = collections.Counter(d for ds_ in study_dirs.values() for d in ds_)
    rev_e = collections.Counter(d for ds_ in series_dirs.values() for d in ds_)
    shared = [d for d, n in list(rev_s.items()) + list(rev_e.items()) if n > 1]
    for u, d in list(study_dirs.items()) + list(series_dirs.items()):
        if len(d) > 1:
            rep.d('%s %s UID %s in folders %s' % (check, label, u, ' '.join(sorted(d))))
    rep.many(check, label + ' path not <pseudonym>/<study>/<series>-<modality>/<instance>.dcm', bad_form)
    rep.many(check, label + ' path part wrong', bad_parts)
    rep.many(check, label + ' input name, patient name, ID or date in path', leaks)
    rep.fig(check, '%s: %d copies; paths not of the form: %d; pseudonym/modality folder wrong: %d; study or series '
            'UIDs in two folders: %d; folders holding two studies or series: %d; paths holding an input name, '
            'patient name, ID or date: %d; stray files: %d' % (
                label, len(run['pairs']), len(bad_form), len(bad_parts), len(multi), len(shared), len(leaks),
                len(run['strays'])),
            not bad_form and not bad_parts and not multi and not shared and not leaks and not run['strays'])


def report_map(path, run):
    """input rel -> copy rel from a report's "in -> copy" lines."""
    out = {}
    if not os.path.exists(path):
        return None
    with open(path, encoding='utf-8', errors='replace') as f:
        for line in f:
            m = re.match(r'^\s*(.+?) -> (.+?)(?:: (?:written|failed|skipped).*)?\s*$', line.rstrip('\n'))
            if not m:
                continue
            a, b = m.group(1).rstrip(':').strip(), m.group(2).strip()
            a = os.path.relpath(a, run['input']) if os.path.isabs(a) else a
            b = os.path.relpath(b, run['out']) if os.path.isabs(b) else b
            out[a] = b
    return out


def check_report_map(run, reports, rep, check, label):
    got = {}
    missing_reports = [r for r in reports if not os.path.exists(r)]
    for r in reports:
        got.update(report_map(r, run) or {})
    want = {rel: out_rel for rel, (out_rel, _) in run['pairs'].items()}
    absent = sorted(set(want) - set(got))
    wrong = sorted('%s -> %s (copy is %s)' % (k, got[k], want[k]) for k in set(want) & set(got) if got[k] != want[k])
    rep.many(check, label + ' input without an "in -> copy" line', absent)
    rep.many(check, label + ' "in -> copy" line wrong', wrong)
    rep.fig(check, '%s: reports %d (missing %d); "in -> copy" lines %d; inputs without one %d; pointing elsewhere %d' % (
        label, len(reports), len(missing_reports), len(got), len(absent), len(wrong)),
        not missing_reports and not absent and not wrong)


# ---------------------------------------------------------------------------------------

def same_tree(a, b):
    """(only in a, only in b, differing bytes) of two output trees."""
    sa, sb = snapshot(a), snapshot(b)
    diff = sorted(p for p in set(sa) & set(sb) if sa[p][2] != sb[p][2])
    return sorted(set(sa) - set(sb)), sorted(set(sb) - set(sa)), diff, len(sa)


def check_same(a, b, rep, check, label):
    only_a, only_b, diff, n = same_tree(a, b)
    rep.many(check, label + ' only in the first', only_a)
    rep.many(check, label + ' only in the second', only_b)
    rep.many(check, label + ' bytes differ', diff)
    rep.fig(check, '%s: %d files; only in one: %d + %d; bytes differ: %d' % (label, n, len(only_a), len(only_b),
                                                                           len(diff)),
            not only_a and not only_b and not diff and n > 0)


def check_runs(runs, n_files, rep):
    for r in runs:
        rcs = [s['rc'] for s in r.get('shards', [r])]
        n = len(list_files(r['out'])) if os.path.isdir(r['out']) else 0
        rep.fig('-', 'run %-12s rc %s, %d of %d copies, %.1f s: %s' % (
            r['name'], '/'.join(map(str, rcs)), n, n_files, r['secs'],
            ' | '.join((s['stdout'].strip().splitlines() or ['(no output)'])[0] for s in r.get('shards', [r]))[:160]),
            all(c == 0 for c in rcs) and n == n_files)


def check_shards(sh, rep, check, label):
    added = [len(s['added']) for s in sh['shards']]
    rewrote = [p for s in sh['shards'] for p in s['rewrote']]
    no_report = [s['report'] for s in sh['shards'] if not os.path.exists(s['report'])]
    rep.many(check, label + ' file rewritten by a later shard', rewrote)
    rep.many(check, label + ' report missing', no_report)
    rep.fig(check, '%s: files per shard %s; rewritten by a later shard: %d; shard reports missing: %d' % (
        label, '/'.join(map(str, added)), len(rewrote), len(no_report)),
        not rewrote and not no_report and all(added))


def dciodvfy_all(paths, pool):
    return dict(zip(paths, pool.map(dciodvfy_errors, paths)))


def check_inputs(runs, corpus, files, rep):
    want = {rel: sha(os.path.join(corpus, rel)) for rel in files}
    changed = ['%s %s' % (r['name'], rel) for r in runs for rel in files
               if not os.path.exists(os.path.join(r['input'], rel)) or sha(os.path.join(r['input'], rel)) != want[rel]]
    rep.many('-', 'input changed', changed)
    rep.fig('-', 'inputs changed or gone after the runs: %d' % len(changed), not changed)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--cli', required=True)
    ap.add_argument('--corpus', required=True, help="multipatient.py's OUT")
    ap.add_argument('--work', required=True, help='a fresh folder')
    ap.add_argument('--key', help='UID key file (default: a new one made with --new-uid-key)')
    ap.add_argument('--table', default='/work/shared/dicom/confidentiality-profile.tsv')
    args = ap.parse_args()
    args.cli, args.corpus, args.work = (os.path.abspath(p) for p in (args.cli, args.corpus, args.work))
    if os.path.exists(args.work) and os.listdir(args.work):
        sys.exit('%s is not empty; give a fresh --work' % args.work)
    os.makedirs(args.work, exist_ok=True)
    with open(os.path.join(args.corpus, 'manifest.json'), encoding='utf-8') as f:
        man = json.load(f)
    man['_corpus'] = args.corpus
    files = sorted(man['files'])
    rep = Report(args.work)
    table = ModifiedDatesTable(args.table)
    R = Runner(args, files, rep)
    helptext = R.call(['--help'])['stdout']
    lacking = [o for o in ('--option', '--link-file', '--rename', '--shard') if o not in helptext]
    if lacking:
        print('%s --help lacks %s' % (args.cli, ' '.join(lacking)))
        sys.exit(2)
    key = args.key
    if not key:
        key = os.path.join(args.work, 'uid.key')
        R.call(['--new-uid-key', key])
    W = lambda *p: os.path.join(args.work, *p)
    md = ['--standard', '--option', 'modified-dates', '--uid-key', key]
    t0 = time.time()
    csv_before = csv_files(args.work) | csv_files(args.corpus)
    a1 = R.run('a1', md + ['--link-file', W('link1.csv')])
    a2 = R.run('a2', md + ['--link-file', W('link2.csv')])
    sh = R.shards('shards', md + ['--link-file', W('link-shards.csv')])
    ren1 = R.run('rename1', md + ['--rename', '--link-file', W('link-rename1.csv')])
    ren2 = R.run('rename2', md + ['--rename'])
    rsh = R.shards('rename-shards', md + ['--rename'])
    csv_mid = csv_files(args.work) | csv_files(args.corpus)
    nolink = R.run('nolink', md)
    plain = R.run('plain', ['--standard', '--uid-key', key])
    csv_after = csv_files(args.work) | csv_files(args.corpus)
    # refusals: a link file inside or beside the output folder
    refused = []
    for where in ('inside', 'beside'):
        folder = os.path.join(args.work, 'refuse-' + where, 'corpus')
        one = [r for r in files if man['files'][r]['patient'] == 'okafor']
        stage(args.corpus, one, folder)
        out = folder + '_depersonification'
        target = os.path.join(out, 'link.csv') if where == 'inside' else os.path.join(os.path.dirname(out), 'link.csv')
        if where == 'inside':
            os.makedirs(out)
        r = R.call(md + ['--link-file', target, folder])
        refused.append((where, r['rc'], os.path.exists(target), len(list_files(out)) if os.path.isdir(out) else 0))
    secs = time.time() - t0
    runs = [a1, a2, sh, ren1, ren2, rsh, nolink, plain]
    check_runs(runs, len(files), rep)
    check_inputs(runs, args.corpus, files, rep)
    for r in runs:
        pair(r, man)
    rep.fig('-', 'corpus %s: %d patients, %d studies, %d files; CLI runs took %.0f s' % (
        args.corpus, len(man['patients']), sum(len(p['studies']) for p in man['patients'].values()), len(files),
        secs))

    # a
    ps = {}
    for r in (a1, a2, ren1):
        ps[r['name']] = pseudonyms(r, man, rep, 'a', r['name'])
    same = all(ps[n] == ps['a1'] for n in ps)
    rep.fig('a', 'pseudonyms the same in runs a1, a2, rename1: %s; a1: %s' % (
        'yes' if same else 'NO', ', '.join('%s %s' % kv for kv in sorted(ps['a1'].items()))), same)
    offsets = {}
    for r in (a1, a2, ren1):
        offsets[r['name']] = check_dates(r, man, table, rep, 'a', r['name'])
        check_method(r, rep, 'a', r['name'], {BASIC, MODIFIED})
    rep.fig('a', 'offsets the same in runs a1, a2, rename1: %s' % (
        'yes' if all(o == offsets['a1'] for o in offsets.values()) else 'NO'),
        all(o == offsets['a1'] for o in offsets.values()))
    check_ages(a1, man, rep, 'a', 'a1')
    check_same(a1['out'], a2['out'], rep, 'a', 'a1 and a2 copies')

    # b
    check_shards(sh, rep, 'b', 'shards')
    check_same(a1['out'], sh['out'], rep, 'b', '4 shards against one run')

    # c
    links = {}
    for r, path in ((a1, W('link1.csv')), (a2, W('link2.csv')), (sh, W('link-shards.csv')),
                    (ren1, W('link-rename1.csv'))):
        links[r['name']] = check_link(r, man, path, offsets['a1'], ps['a1'], rep, 'c', 'link ' + r['name'])
    if links.get('a1') is not None and links.get('shards') is not None:
        la, ls = links['a1'], links['shards']
        rep.many('c', 'row only in the one run', sorted(map(str, la - ls)))
        rep.many('c', 'row only in the shards', sorted(map(str, ls - la)))
        rep.fig('c', 'link rows of the 4 shards against one run: only in one run %d, only in the shards %d' % (
            len(la - ls), len(ls - la)), la == ls)
    new_csv = sorted((csv_mid - csv_before) - {W(n) for n in ('link1.csv', 'link2.csv', 'link-shards.csv',
                                                              'link-rename1.csv')})
    new_csv += sorted(csv_after - csv_mid)
    rep.many('c', 'csv written without --link-file', new_csv)
    rep.fig('c', 'runs without --link-file (rename2, rename-shards, nolink, plain): .csv files written in the work '
            'tree and the CLI\'s config folders: %d' % len(new_csv), not new_csv)
    rep.fig('c', 'link file refused inside / beside the output folder: %s' % '; '.join(
        '%s: rc %d, link file %s, %d copies written' % (w, rc, 'WRITTEN' if ex else 'not written', n)
        for w, rc, ex, n in refused), all(rc != 0 and not ex for w, rc, ex, n in refused))

    # d
    words = forbidden_words(man)
    for r in (ren1, ren2, rsh):
        check_rename(r, man, words, rep, 'd', r['name'])
    check_same(ren1['out'], ren2['out'], rep, 'd', 'rename1 and rename2')
    check_same(ren1['out'], rsh['out'], rep, 'd', 'rename1 and 4 rename shards')
    check_shards(rsh, rep, 'd', 'rename-shards')
    check_report_map(ren1, [ren1['out'] + '.report.txt'], rep, 'd', 'rename1 report')
    check_report_map(rsh, [s['report'] for s in rsh['shards']], rep, 'd', 'rename-shards reports')

    # e
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=2)
    for r in (a1, plain):
        paths = [(os.path.join(r['input'], rel), os.path.join(r['out'], o)) for rel, (o, _) in r['pairs'].items()]
        errs = dciodvfy_all([p for pr in paths for p in pr], pool)
        gained, msgs = [], collections.Counter()
        for i, o in paths:
            before = {norm_error(x) for x in errs[i]}
            new = sorted({x for x in errs[o] if norm_error(x) not in before})
            for x in new:
                gained.append('%s: %s' % (os.path.relpath(o, r['out']), x))
                msgs[norm_error(x)[:140]] += 1
        rep.many('e', r['name'] + ' new dciodvfy error', gained)
        n_copies = len({g.split(': ')[0] for g in gained})
        rep.fig('e', '%s: copies gaining dciodvfy errors: %d of %d (%d lines)%s' % (
            r['name'], n_copies, len(paths), len(gained),
            ''.join(' | %s [%d]' % kv for kv in msgs.most_common(5))), not gained)
    pool.shutdown()

    # f
    pf = pseudonyms(plain, man, rep, 'f', 'plain')
    rep.fig('f', 'plain --standard pseudonyms the same as with Modified Dates (same key): %s' % (
        'yes' if pf == ps['a1'] else 'NO'), pf == ps['a1'])
    check_method(plain, rep, 'f', 'plain', {BASIC})

    rep.fig('-', 'work %s; details %s' % (args.work, os.path.join(args.work, 'details.txt')))
    rep.det.close()
    rep.print()
    sys.exit(1 if rep.failed else 0)


if __name__ == '__main__':
    import warnings
    warnings.simplefilter('ignore')
    main()
