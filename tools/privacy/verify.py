#!/usr/bin/python3
"""Check what vexar-anonymizer-cli leaves behind, on a planted corpus and on real files.

Usage:
  /usr/bin/python3 verify.py --cli /tmp/vexar-cli-snapshot --planted PLANT_DIR \
      [--real DIR] [--work DIR] [--details FILE] [--tags resources/tags.json] \
      [--table confidentiality-profile.tsv]

PLANT_DIR is what plant.py wrote (corpus/ and manifest.json). --real defaults to pydicom's
test files (only the files pydicom reads are used). Every CLI run gets fresh copies of the
corpus under --work (default /tmp/privacy-work/run-TIMESTAMP).

Checks:
  a. --standard, planted corpus: planted values that survive anywhere in any copy.
  b. plain (and, for information, --standard), planted corpus: every surviving planted value
     must be named, at the element path where it survives, on the copy's "residue:" line.
  c. both corpora, both modes: new dciodvfy errors in the copy, pixel data byte-identical,
     inputs unchanged, elements that neither the tag profile nor (in --standard mode) the
     confidentiality table names are unchanged. Also for --standard on the planted corpus:
     UIDs replaced by 2.25. UIDs, consistently.
Prints a summary with counts; details go to --details (text).
"""
import argparse
import concurrent.futures
import json
import os
import re
import sys
import time

from pydicom.sequence import Sequence

from common import (DEFAULT_REAL, Table, cli_run, dciodvfy_errors, list_files, norm_error, raw_bytes,
                    read_ds, read_ds_strict, reported, sha, stage, tagstr, value_text, walk_file)

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, '..', '..'))


# ---------------------------------------------------------------------------------------
# what the profile names

def load_profile(path):
    tags = set()
    with open(path) as f:
        for name, e in json.load(f).items():
            if e.get('enabled'):
                tags.add((int(e['tagU'], 16) << 16) | int(e['tagD'], 16))
    return tags


# ---------------------------------------------------------------------------------------
# planted values: where do they survive in a copy?

def plant_index(manifest):
    """value -> list of manifest entries."""
    idx = {}
    for m in manifest:
        idx.setdefault(m['value'], []).append(m)
    return idx


def value_hits_bytes(value, kind, data):
    b = value.encode('ascii')
    if kind in ('date', 'time', 'datetime'):
        return re.search(rb'(?<![0-9])' + re.escape(b) + rb'(?![0-9])', data) is not None
    return b in data


def value_in_text(value, kind, text):
    if kind in ('date', 'time', 'datetime', 'uid'):
        return re.search(r'(?<![0-9.])' + re.escape(value) + r'(?![0-9])', text) is not None
    return value in text


def survivals(copy_path, index):
    """List of (value, kind, location) for every planted value found in the copy."""
    data = raw_bytes(copy_path)
    cands = [(v, ms[0]['kind']) for v, ms in index.items() if value_hits_bytes(v, ms[0]['kind'], data)]
    if not cands:
        return []
    ds = read_ds(copy_path)
    elems = [(p, value_text(e)) for p, e in walk_file(ds) if e.VR != 'SQ']
    out = []
    for v, kind in cands:
        locs = []
        if v.encode('ascii') in data[:128]:
            locs.append('preamble')
        for p, text in elems:
            if value_in_text(v, kind, text):
                locs.append(p)
        if not locs:
            off = data.find(v.encode('ascii'))
            locs.append('raw-bytes@%d' % off)
            if kind in ('date', 'time', 'datetime'):
                # digits inside some other value, most likely a new 2.25 UID: not a survival
                ctx = data[max(0, off - 20):off + len(v) + 20]
                out.append((v, kind, 'coincidental@%d %r' % (off, ctx)))
                continue
        for l in locs:
            out.append((v, kind, l))
    return out


# ---------------------------------------------------------------------------------------
# element comparison input vs copy

SKIP_ALWAYS = {0x00020003, 0x00020012, 0x7FE00010}


class Comparer:
    def __init__(self, profile, table, standard):
        self.profile, self.table, self.standard = profile, table, standard

    def ignored(self, tag):
        if tag & 0xFFFF == 0 or tag in SKIP_ALWAYS or tag in self.profile:
            return True, False
        if self.standard:
            a = self.table.action(tag)
            if a is not None:
                return True, a == 'K'
        return False, False

    def compare(self, a, b, prefix, out):
        ta = {e.tag: e for e in a}
        tb = {e.tag: e for e in b}
        for tag in sorted(set(ta) | set(tb)):
            ign, recurse = self.ignored(tag)
            ea, eb = ta.get(tag), tb.get(tag)
            p = prefix + tagstr(tag)
            if ign and not (recurse and ea is not None and eb is not None):
                continue
            if eb is None:
                out.append((p, 'removed', short(ea), ''))
                continue
            if ea is None:
                out.append((p, 'added', '', short(eb)))
                continue
            sa = isinstance(ea.value, Sequence)
            sb = isinstance(eb.value, Sequence)
            if sa and sb:
                if len(ea.value) != len(eb.value):
                    out.append((p, 'item count changed', str(len(ea.value)), str(len(eb.value))))
                for i, (ia, ib) in enumerate(zip(ea.value, eb.value)):
                    self.compare(ia, ib, '%s[%d]>' % (p, i), out)
                continue
            if ign:
                continue
            va, vb = ea.value, eb.value
            if sa != sb or not same_value(va, vb):
                out.append((p, 'changed', short(ea), short(eb)))
            elif ea.VR != eb.VR and not (ea.VR in ('OB or OW', 'US or SS') or eb.VR in ('OB or OW', 'US or SS')):
                out.append((p, 'VR changed', ea.VR, eb.VR))


def same_value(a, b):
    if a == b:
        return True
    if isinstance(a, bytes) and isinstance(b, bytes):
        return a.rstrip(b'\0 ') == b.rstrip(b'\0 ')
    if isinstance(a, str) and isinstance(b, str):
        return a.rstrip('\0 ') == b.rstrip('\0 ')
    try:
        return str(a) == str(b)
    except Exception:
        return False


def short(elem):
    if elem is None:
        return ''
    if isinstance(elem.value, Sequence):
        return '%s SQ (%d items)' % (elem.VR, len(elem.value))
    t = value_text(elem)
    return '%s %r' % (elem.VR, t[:60] + ('...' if len(t) > 60 else ''))


def pixel_bytes(ds):
    if ds is None or 0x7FE00010 not in ds:
        return None
    return ds[0x7FE00010].value


# ---------------------------------------------------------------------------------------

def check_copies(run_info, comparer, dcio_cache, pool):
    """Part c for one run. Returns dict of findings."""
    res = {'missing_copy': [], 'new_errors': {}, 'pixel': [], 'elements': {}, 'unreadable_copy': []}
    pairs = []
    for rel in run_info['files']:
        src = os.path.join(run_info['in'], rel)
        dst = os.path.join(run_info['out'], rel)
        if not os.path.exists(dst):
            res['missing_copy'].append(rel)
            continue
        pairs.append((rel, src, dst))
    todo = [p for _, s, d in pairs for p in (s, d) if p not in dcio_cache]
    for p, errs in zip(todo, pool.map(dciodvfy_errors, todo)):
        dcio_cache[p] = errs
    for rel, src, dst in pairs:
        ein = {norm_error(l) for l in dcio_cache[src]}
        new = [l for l in dcio_cache[dst] if norm_error(l) not in ein]
        if new:
            res['new_errors'][rel] = sorted(set(new))
        a, b = read_ds(src), read_ds(dst)
        if b is None:
            res['unreadable_copy'].append(rel)
            continue
        pa, pb = pixel_bytes(a), pixel_bytes(b)
        if pa != pb:
            ts_a = str(a.file_meta.get('TransferSyntaxUID', '')) if hasattr(a, 'file_meta') else ''
            ts_b = str(b.file_meta.get('TransferSyntaxUID', '')) if hasattr(b, 'file_meta') else ''
            res['pixel'].append((rel, 'input %s bytes, copy %s bytes; transfer syntax %s -> %s' % (
                None if pa is None else len(pa), None if pb is None else len(pb), ts_a, ts_b)))
        diffs = []
        ma, mb = getattr(a, 'file_meta', None), getattr(b, 'file_meta', None)
        if ma is not None and mb is not None:
            comparer.compare(ma, mb, '', diffs)
        comparer.compare(a, b, '', diffs)
        if diffs:
            res['elements'][rel] = diffs
    return res


def check_uids(run_info, manifest):
    """--standard on the planted corpus: UID plants replaced by valid 2.25 UIDs, consistently."""
    by_file = {}
    for m in manifest:
        if m['kind'] == 'uid':
            by_file.setdefault(m['file'], []).append(m)
    mapping = {}   # old -> {new: [(file, path)]}
    removed, bad, meta_mismatch = [], [], []
    for rel, ms in sorted(by_file.items()):
        dst = os.path.join(run_info['out'], rel)
        ds = read_ds(dst) if os.path.exists(dst) else None
        if ds is None:
            continue
        vals = {p: value_text(e) for p, e in walk_file(ds) if e.VR != 'SQ'}
        for m in ms:
            new = vals.get(m['path'])
            if new is None:
                removed.append((rel, m['path']))
                continue
            new = new.rstrip('\0 ')
            mapping.setdefault(m['value'], {}).setdefault(new, []).append((rel, m['path']))
            if not re.match(r'^2\.25\.(0|[1-9][0-9]*)$', new) or len(new) > 64:
                bad.append((rel, m['path'], new))
        if vals.get('(0002,0003)') != vals.get('(0008,0018)'):
            meta_mismatch.append((rel, vals.get('(0002,0003)'), vals.get('(0008,0018)')))
    inconsistent = {old: news for old, news in mapping.items() if len(news) > 1}
    news_all = {}
    for old, news in mapping.items():
        for n in news:
            news_all.setdefault(n, set()).add(old)
    collisions = {n: olds for n, olds in news_all.items() if len(olds) > 1}
    return {'mapped': len(mapping), 'removed': removed, 'bad': bad, 'inconsistent': inconsistent,
            'collisions': collisions, 'meta_mismatch': meta_mismatch}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--cli', required=True)
    ap.add_argument('--planted', required=True)
    ap.add_argument('--real', default=DEFAULT_REAL)
    ap.add_argument('--work')
    ap.add_argument('--details')
    ap.add_argument('--tags', default=os.path.join(REPO, 'resources', 'tags.json'))
    ap.add_argument('--table', default='/work/shared/dicom/confidentiality-profile.tsv')
    args = ap.parse_args()

    work = args.work or '/tmp/privacy-work/run-%s' % time.strftime('%Y%m%d-%H%M%S')
    if os.path.exists(work):
        sys.exit('%s exists; give a fresh --work' % work)
    os.makedirs(work)
    details_path = args.details or os.path.join(work, 'details.txt')
    det = open(details_path, 'w')

    def D(*a):
        print(*a, file=det)

    cli_hash = sha(args.cli)
    with open(os.path.join(args.planted, 'manifest.json')) as f:
        manifest = json.load(f)['plants']
    index = plant_index(manifest)
    profile = load_profile(args.tags)
    table = Table(args.table)

    planted_root = os.path.join(args.planted, 'corpus')
    planted_files = list_files(planted_root)
    real_files = [rel for rel in list_files(args.real) if read_ds_strict(os.path.join(args.real, rel))]

    summary = []

    def S(line):
        summary.append(line)
        D(line)

    D('CLI %s sha256 %s' % (args.cli, cli_hash))
    D('planted corpus %s: %d files, %d plants, %d distinct values' % (
        planted_root, len(planted_files), len(manifest), len(index)))
    D('real corpus %s: %d files pydicom reads' % (args.real, len(real_files)))

    runs = {}
    for cname, root, files in (('planted', planted_root, planted_files), ('real', args.real, real_files)):
        for mode in ('plain', 'standard'):
            folder = os.path.join(work, mode, cname)
            stage(root, files, folder)
            runs[(cname, mode)] = cli_run(args.cli, folder, mode == 'standard')

    S('CLI: %s (sha256 %s...)' % (args.cli, cli_hash[:16]))
    for (cname, mode), r in runs.items():
        S('run %-8s %-8s rc=%d  stdout: %s  | residue lines %d, failed lines %d, inputs changed %d' % (
            cname, mode, r['rc'], r['stdout'], len(r['residue']), len(r['failed']), len(r['inputs_changed'])))
        m = re.match(r'(\d+) files, (\d+) failed(?:, (\d+) with residue)?(?:, (\d+) skipped)?',
                     r['stdout'])
        if m:
            nf, nfail, nres = int(m.group(1)), int(m.group(2)), int(m.group(3) or 0)
            nf += int(m.group(4) or 0)  # skipped entries (DICOMDIR files) are inputs too
            if nf != len(r['files']) or nfail != len(r['failed']) or nres != len(r['residue']):
                S('  ! summary counts disagree: %d inputs, %d failed lines, %d residue lines' % (
                    len(r['files']), len(r['failed']), len(r['residue'])))
        for f in r['failed']:
            D('  failed: %s' % f)
        for f in r['inputs_changed']:
            S('  ! input changed: %s' % f)

    # ---- a. --standard survivors ------------------------------------------------------
    rs = runs[('planted', 'standard')]
    surv = {}  # value -> [(copy rel, location)]
    coincidental = []
    unreported_std = []
    for rel in rs['files']:
        dst = os.path.join(rs['out'], rel)
        if not os.path.exists(dst):
            continue
        for v, kind, loc in survivals(dst, index):
            if loc.startswith('coincidental'):
                coincidental.append((rel, v, loc))
                continue
            surv.setdefault(v, []).append((rel, loc))
            if reported(loc, rs['residue'].get(rel, set())) != 'exact':
                unreported_std.append((rel, loc, v))
    n_plants_surv = sum(len(index[v]) for v in surv)
    S('')
    S('a. --standard: %d of %d distinct planted values survive (%d of %d plants), in %d places; '
      '%d copies missing (failed)' % (
          len(surv), len(index), n_plants_surv, len(manifest), sum(len(x) for x in surv.values()),
          sum(1 for rel in rs['files'] if not os.path.exists(os.path.join(rs['out'], rel)))))
    D('a. survivors (value, planted at, found at):')
    by_path = {}
    for v, locs in sorted(surv.items(), key=lambda kv: kv[1][0]):
        planted_at = ['%s %s' % (m['file'], m['path']) for m in index[v]]
        D('  %s  planted: %s  found: %s' % (v, '; '.join(planted_at[:3]) + (' ...' if len(planted_at) > 3 else ''),
                                             '; '.join('%s %s' % l for l in locs)))
        for m in index[v]:
            generic = re.sub(r'\[\d+\]', '[i]', m['path'])
            by_path.setdefault(generic, set()).add(v)
    S('   survivors by planted element path (distinct values):')
    for p, vs in sorted(by_path.items(), key=lambda kv: -len(kv[1])):
        S('     %-45s %d' % (p, len(vs)))
    if coincidental:
        D('   date/time digits found only inside other values (not counted): %d' % len(coincidental))
        for c in coincidental[:20]:
            D('     %s %s %s' % c)
    S('   (info) survivals not named exactly on a --standard residue line: %d' % len(unreported_std))
    for u in unreported_std[:200]:
        D('   unreported in --standard: %s %s %s' % u)

    # ---- b. plain: every survival reported? --------------------------------------------
    rp = runs[('planted', 'plain')]
    total, exact, related, unrep = 0, 0, [], []
    for rel in rp['files']:
        dst = os.path.join(rp['out'], rel)
        if not os.path.exists(dst):
            continue
        paths = rp['residue'].get(rel, set())
        for v, kind, loc in survivals(dst, index):
            if loc.startswith('coincidental'):
                continue
            total += 1
            r = reported(loc, paths)
            if r == 'exact':
                exact += 1
            elif r == 'related':
                related.append((rel, loc, v))
            else:
                unrep.append((rel, loc, v))
    S('')
    S('b. plain: %d survivals of planted values in %d copies; %d named exactly on the residue line, '
      '%d only via a parent/child path, %d unreported' % (
          total, len(rp['files']), exact, len(related), len(unrep)))
    gen = {}
    for rel, loc, v in unrep + related:
        gen.setdefault(re.sub(r'\[\d+\]', '[i]', loc), []).append((rel, v))
    S('   unreported (incl. parent/child only) by element path: %s' % ', '.join(
        '%s x%d' % (p, len(x)) for p, x in sorted(gen.items(), key=lambda kv: -len(kv[1]))))
    for rel, loc, v in unrep:
        D('   unreported: %s %s %s' % (rel, loc, v))
    for rel, loc, v in related:
        D('   parent/child only: %s %s %s' % (rel, loc, v))
    # copies with residue lines but the copy holds nothing planted is fine (real data residue)

    # ---- c. ---------------------------------------------------------------------------
    S('')
    dcio_cache = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 4) as pool:
        for (cname, mode), r in runs.items():
            comp = Comparer(profile, table, mode == 'standard')
            c = check_copies(r, comp, dcio_cache, pool)
            n_el = sum(len(v) for v in c['elements'].values())
            S('c. %-8s %-8s: %d files, %d copies missing, %d unreadable, %d copies with new dciodvfy errors '
              '(%d lines), %d pixel-data differences, %d inputs changed, %d element differences in %d copies' % (
                  cname, mode, len(r['files']), len(c['missing_copy']), len(c['unreadable_copy']),
                  len(c['new_errors']), sum(len(v) for v in c['new_errors'].values()), len(c['pixel']),
                  len(r['inputs_changed']), n_el, len(c['elements'])))
            D('--- c. %s %s' % (cname, mode))
            for rel in c['missing_copy']:
                D('  missing copy: %s' % rel)
            for rel in c['unreadable_copy']:
                D('  copy pydicom cannot read: %s' % rel)
            for rel, lines in sorted(c['new_errors'].items()):
                D('  new dciodvfy errors in %s:' % rel)
                for l in lines:
                    D('     %s' % l)
            for rel, why in c['pixel']:
                D('  pixel data differs: %s: %s' % (rel, why))
            kinds = {}
            for rel, diffs in sorted(c['elements'].items()):
                for p, what, old, new in diffs:
                    key = (re.sub(r'\[\d+\]', '[i]', p), what)
                    kinds.setdefault(key, []).append(rel)
                    D('  element %s %s: %s: %s -> %s' % (rel, p, what, old, new))
            if kinds:
                S('     element differences by path: ' + ', '.join(
                    '%s %s x%d' % (k[0], k[1], len(v)) for k, v in sorted(kinds.items(), key=lambda kv: -len(kv[1]))[:25]))
            if c['new_errors']:
                msgs = {}
                for rel, lines in c['new_errors'].items():
                    for l in lines:
                        msgs.setdefault(norm_error(l), set()).add(rel)
                S('     new dciodvfy error kinds: ' + ' | '.join(
                    '%s [%d files]' % (m[:140], len(v)) for m, v in sorted(msgs.items(), key=lambda kv: -len(kv[1]))[:12]))

    # ---- UID mapping ---------------------------------------------------------------------
    u = check_uids(runs[('planted', 'standard')], manifest)
    S('')
    S('UIDs (--standard, planted): %d planted UID values seen mapped; %d removed at their path; %d not a valid '
      '2.25 UID; %d mapped inconsistently; %d new UIDs shared by different old UIDs; %d copies with '
      '(0002,0003) != (0008,0018)' % (u['mapped'], len(u['removed']), len(u['bad']), len(u['inconsistent']),
                                      len(u['collisions']), len(u['meta_mismatch'])))
    for x in u['removed'][:100]:
        D('  uid removed: %s %s' % x)
    for x in u['bad'][:100]:
        D('  uid bad: %s %s %s' % x)
    for old, news in u['inconsistent'].items():
        D('  uid inconsistent: %s -> %s' % (old, {n: locs[:3] for n, locs in news.items()}))
    for x in u['meta_mismatch']:
        D('  meta mismatch: %s %s %s' % x)

    S('')
    S('work dir: %s' % work)
    S('details: %s' % details_path)
    det.close()
    print('\n'.join(summary))


if __name__ == '__main__':
    import warnings
    warnings.simplefilter('ignore')
    main()
