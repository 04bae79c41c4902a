#!/usr/bin/python3
"""Check vexar-anonymizer-cli on the adversarial corpus (adversarial.py) and on real files.

Usage:
  /usr/bin/python3 advverify.py --cli CLI --corpus OUT_DIR [--real DIR] [--work DIR]
      [--table confidentiality-profile.tsv]

Copies OUT_DIR/corpus and the real files (default: pydicom's test files that pydicom reads)
into fresh folders under --work, runs `CLI FOLDER` and `CLI --standard FOLDER` and reports:
  a. --standard: planted identifiers that survive in their copy: any written form (case-blind,
     NFKC, separators ignored; dates in every form adversarial.py writes) in the decoded text of
     any element (nested, private, meta, padding, OB/UN bytes), in the raw bytes (the file's
     charset and UTF-8), and in the output's file and folder names;
  b. plain: each surviving identifier must be named on its copy's residue line at its path
     (named / only a parent or child path named / unreported); file and folder names by `name`;
  c. burned-in text: which images are flagged (residue (7FE0,0010) or "may show text" in the
     report) and whether a clean control is;
  d. new dciodvfy Error lines of each copy against its input (values and UIDs masked);
  e. real files: residue paths whose element holds nothing identifying the file's own patient.
Copies are matched to their inputs by (SeriesNumber, InstanceNumber), so renamed copies count.
Summary to stdout, one line per figure; details to WORK/details.txt.
"""
import argparse
import concurrent.futures
import json
import os
import re
import sys
import time
import unicodedata

import pydicom

from adversarial import date_forms
from common import (DEFAULT_REAL, Table, cli_run, dciodvfy_errors, list_files, norm_error,
                    raw_bytes, read_ds, read_ds_strict, reported, stage, value_text, walk_file)

SEP = re.compile(r'[\s^,_=\-./:;|]+')
STOPWORDS = {'head', 'left', 'right', 'ct', 'mr', 'us', 'the', 'of', 'and', 'dr', 'mrs', 'ms', 'md',
             'jr', 'sr', 'ii', 'iii', 'none', 'test', 'name', 'patient', 'unknown', 'anonymous'}


def norm(text):
    return SEP.sub(' ', unicodedata.normalize('NFKC', text).casefold()).strip()


def pattern(text):
    """Whole-word pattern on normalised text; no word boundary next to CJK or Hangul."""
    n = norm(text)
    if not n:
        return None
    pre = r'(?<!\w)' if ord(n[0]) < 0x2E80 else ''
    post = r'(?!\w)' if ord(n[-1]) < 0x2E80 else ''
    return re.compile(pre + re.escape(n) + post)


# ---------------------------------------------------------------------------------------
# the text of a copy

def encodings_of(ds):
    cs = ds.get('SpecificCharacterSet', 'ISO_IR 6') if ds is not None else 'ISO_IR 6'
    try:
        return pydicom.charset.convert_encodings(list(cs) if not isinstance(cs, str) else [cs])
    except Exception:
        return ['iso8859']


def decoded(elem, encs):
    """Every reading of an element's value: pydicom's, and for bytes the charset's and UTF-8."""
    v = elem.value
    if isinstance(v, bytes):
        out = []
        for dec in (lambda b: pydicom.charset.decode_bytes(b, encs, set()),
                    lambda b: b.decode('utf-8', 'ignore'), lambda b: b.decode('latin-1')):
            try:
                out.append(dec(v))
            except Exception:
                pass
        return ' | '.join(out)
    return value_text(elem)


def copy_texts(path):
    """(path, normalised text) for every element, the preamble, and the raw bytes."""
    ds = read_ds(path)
    encs = encodings_of(ds)
    out = []
    if ds is not None:
        for p, e in walk_file(ds):
            if e.VR != 'SQ':
                out.append((p, norm(decoded(e, encs))))
        if getattr(ds, 'preamble', None) and ds.preamble.strip(b'\0'):
            out.append(('preamble', norm(ds.preamble.decode('latin-1'))))
    return ds, out, raw_bytes(path)


def raw_forms(spelling, encs):
    forms = set()
    for s in {spelling, spelling.upper(), spelling.lower(), unicodedata.normalize('NFC', spelling),
              unicodedata.normalize('NFD', spelling)}:
        for enc in ('utf-8', encs):
            try:
                forms.add(s.encode(enc) if enc == 'utf-8' else pydicom.charset.encode_string(s, enc))
            except Exception:
                pass
    return [f for f in forms if len(f) >= 3]


def spellings(plant, patients):
    if plant['kind'] == 'date':
        return date_forms(patients[plant['patient']]['birth'])
    return [plant['value']]


def locate(plant, patients, texts, data, encs):
    """Where a planted identifier survives in one copy: element paths, or 'raw'."""
    locs = []
    for s in spellings(plant, patients):
        rx = pattern(s)
        locs += [p for p, t in texts if rx.search(t) and p not in locs]
    if not locs:
        for s in spellings(plant, patients):
            if any(f in data for f in raw_forms(s, encs)):
                return ['raw']
    return locs


# ---------------------------------------------------------------------------------------
# runs and copies

def marker(ds):
    try:
        return int(ds.SeriesNumber), int(ds.InstanceNumber)
    except Exception:
        return None


def pair_copies(run, files):
    """input rel -> output rel, by the unique (SeriesNumber, InstanceNumber) of each input."""
    by_marker = {tuple(f['marker']): rel for rel, f in files.items()} if files else {}
    pairs = {}
    for out_rel in list_files(run['out']):
        rel = out_rel if out_rel in run['files'] else None
        if by_marker:
            ds = read_ds(os.path.join(run['out'], out_rel))
            rel = by_marker.get(marker(ds) if ds is not None else None, rel)
        if rel is not None:
            pairs[rel] = out_rel
    return pairs


def report_lines(run):
    """entry path -> status text (with any more-indented lines after it), from <out>.report.txt."""
    out, last = {}, None
    try:
        with open(run['out'] + '.report.txt', encoding='utf-8', errors='replace') as f:
            for line in f:
                m = re.match(r'^  (\S.*?): (written.*|failed.*|skipped.*)$', line.rstrip('\n'))
                if m:
                    last = m.group(1)
                    out[last] = m.group(2)
                elif last and line.startswith('   '):
                    out[last] += ' ' + line.strip()
                else:
                    last = None
    except OSError:
        pass
    return out


def flagged_text(run, rel, out_rel, reports):
    paths = run['residue'].get(out_rel, set())
    words = (reports.get(rel, '') + reports.get(out_rel or '', '')).lower()
    return '(7FE0,0010)' in paths or 'may show text' in words


def name_reported(plant, run, pairs):
    """A file or folder name plant is reported when a copy of that file (or under that folder)
    has `name` on its residue line."""
    rels = [plant['file']] if not plant['file'].endswith('/') else \
        [r for r in pairs if r.startswith(plant['file'])]
    return any('name' in run['residue'].get(pairs.get(r, ''), set()) for r in rels)


def check_planted(run, man, pool):
    """a/b: (plant, copy rel, locations) for every planted identifier that survives."""
    files, patients = man['files'], man['patients']
    pairs = pair_copies(run, files)
    by_file = {}
    for m in man['plants']:
        if m['path'] != 'name' and m['kind'] != 'image-text':
            by_file.setdefault(m['file'], []).append(m)

    def one(rel):
        out_rel = pairs.get(rel)
        if out_rel is None:
            return []
        ds, texts, data = copy_texts(os.path.join(run['out'], out_rel))
        encs = encodings_of(read_ds(os.path.join(run['in'], rel)))
        return [(m, out_rel, locs) for m in by_file.get(rel, []) for locs in
                [locate(m, patients, texts, data, encs)] if locs]
    found = [x for res in pool.map(one, sorted(by_file)) for x in res]
    names = norm(' / '.join(list_files(run['out'])))
    for m in man['plants']:
        if m['path'] == 'name' and any(pattern(s).search(names) for s in spellings(m, patients)):
            found.append((m, None, ['name']))
    return found, pairs


def place_counts(found, run, pairs, D=None):
    """(places, named exactly, [parent/child only], [unreported]): a place is a copy's element
    path (or 'raw', or a file or folder name) where a planted identifier survives."""
    places = {}
    for m, out_rel, locs in found:
        for loc in locs:
            key = ('name', m['file']) if loc == 'name' else (out_rel, loc)
            places.setdefault(key, []).append(m)
    named, related, unrep = 0, [], []
    for (where, loc), ms in sorted(places.items()):
        if where == 'name':
            how = 'exact' if name_reported(ms[0], run, pairs) else None
        else:
            how = reported(loc, run['residue'].get(where, set()))
        if how == 'exact':
            named += 1
        else:
            (related if how else unrep).append(('name' if where == 'name' else loc))
            if D:
                D('  plain %s: %s %s holds %s' % (how or 'unreported', where if where != 'name' else loc, loc,
                                                  '; '.join('%s %r' % (m['kind'], m['value']) for m in ms)))
    return len(places), named, related, unrep


def by_generic(paths):
    counts = {}
    for p in paths:
        g = re.sub(r'\[\d+\]', '[i]', p)
        counts[g] = counts.get(g, 0) + 1
    return sorted(counts.items(), key=lambda kv: -kv[1])


# ---------------------------------------------------------------------------------------
# real files: what identifies a file's own patient

NAME_TAGS_EXTRA = {0x00100020, 0x00101000, 0x00080050, 0x00100030}


def identifiers(ds, table):
    pats = set()
    for p, e in walk_file(ds):
        if e.VR == 'SQ' or e.value in (None, '', b''):
            continue
        t = value_text(e) if not isinstance(e.value, bytes) else ''
        if e.VR == 'PN':
            for group in t.split('='):
                pats.add(group)
                pats.update(w for w in SEP.split(group) if len(w) >= 2 and w.casefold() not in STOPWORDS)
        elif e.tag == 0x00100030 and re.fullmatch(r'\d{8}', t):
            pats.update(date_forms(t))
        elif e.tag in NAME_TAGS_EXTRA or (e.VR != 'UI' and not (e.tag >> 16) & 1 and table.action(e.tag) not in (None, 'K')
                                          and len(t.strip()) >= 4):
            pats.add(t.strip())
    return [rx for rx in map(pattern, pats) if rx is not None]


def false_residue(run, table):
    """e: residue paths naming elements that hold no identifier of the file's own patient."""
    res = {'files': 0, 'elements': 0, 'paths': {}, 'true': 0, 'absent': 0, 'private': 0}
    for out_rel, paths in sorted(run['residue'].items()):
        src = os.path.join(run['in'], out_rel)
        a, b = read_ds(src), read_ds(os.path.join(run['out'], out_rel))
        if a is None or b is None:
            continue
        ids = identifiers(a, table)
        elems = dict(walk_file(b))
        encs = encodings_of(b)

        def holds(p):
            e = elems[p]
            if e.VR == 'SQ':  # a sequence holds what its items hold
                return any(holds(q) for q in elems if q.startswith(p + '[') and q.count('>') == p.count('>') + 1)
            return e.VR in ('UI', 'PN') or any(rx.search(norm(decoded(e, encs))) for rx in ids)
        bad = []
        for p in paths:
            if p in ('preamble', 'name', '(7FE0,0010)') or (p in elems and holds(p)):
                res['true'] += 1
            elif p not in elems:
                res['absent'] += 1
            else:
                bad.append(p)
                res['private'] += int(p.split('>')[-1][1:5], 16) & 1
        if bad:
            res['files'] += 1
            res['elements'] += len(bad)
            for p in bad:
                res['paths'].setdefault(re.sub(r'\[\d+\]', '[i]', p), []).append(out_rel)
    return res


def new_errors(run, pairs, cache, pool):
    todo = [os.path.join(d, r) for i, o in pairs.items() for d, r in ((run['in'], i), (run['out'], o))]
    todo = [p for p in todo if p not in cache]
    for p, errs in zip(todo, pool.map(dciodvfy_errors, todo)):
        cache[p] = errs
    out = {}
    for rel, out_rel in pairs.items():
        before = {norm_error(l) for l in cache[os.path.join(run['in'], rel)]}
        new = sorted({l for l in cache[os.path.join(run['out'], out_rel)] if norm_error(l) not in before})
        if new:
            out[rel] = new
    return out


# ---------------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--cli', required=True)
    ap.add_argument('--corpus', required=True, help="adversarial.py's OUT_DIR")
    ap.add_argument('--real', default=DEFAULT_REAL)
    ap.add_argument('--work')
    ap.add_argument('--table', default='/work/shared/dicom/confidentiality-profile.tsv')
    args = ap.parse_args()
    work = args.work or '/tmp/advcorpus-work/run-%s' % time.strftime('%Y%m%d-%H%M%S')
    if os.path.exists(work):
        sys.exit('%s exists; give a fresh --work' % work)
    os.makedirs(work)
    det = open(os.path.join(work, 'details.txt'), 'w', encoding='utf-8')
    summary = []

    def S(line):
        summary.append(line)
        print(line, file=det)

    def D(line):
        print(line, file=det)

    with open(os.path.join(args.corpus, 'manifest.json'), encoding='utf-8') as f:
        man = json.load(f)
    table = Table(args.table)
    croot = os.path.join(args.corpus, 'corpus')
    corpus_files = list_files(croot)
    real_files = [r for r in list_files(args.real) if read_ds_strict(os.path.join(args.real, r))]
    runs = {}
    for cname, root, files in (('corpus', croot, corpus_files), ('real', args.real, real_files)):
        for mode in ('plain', 'standard'):
            folder = os.path.join(work, mode, cname)
            stage(root, files, folder)
            runs[(cname, mode)] = cli_run(args.cli, folder, mode == 'standard')
    S('CLI %s; corpus %s: %d files, %d planted identifiers; real: %d files' % (
        args.cli, croot, len(corpus_files), len(man['plants']), len(real_files)))
    for (cname, mode), r in runs.items():
        S('run %-6s %-8s rc=%d: %s' % (cname, mode, r['rc'], r['stdout'].splitlines()[0] if r['stdout'] else ''))
        for f in r['failed']:
            D('  failed: %s' % f)
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2)
    kinds = lambda found: ', '.join('%s %d' % kv for kv in sorted(
        {k: sum(1 for m, _, _ in found if m['kind'] == k) for k in {m['kind'] for m, _, _ in found}}.items()))
    generic = lambda p: re.sub(r'\[\d+\]', '[i]', p)

    # a. --standard
    rs = runs[('corpus', 'standard')]
    found, pairs_s = check_planted(rs, man, pool)
    own = [(m, o, l) for m, o, l in found if m['path'] in l]
    n_text = sum(1 for m in man['plants'] if m['kind'] != 'image-text')
    S('a. --standard: %d of %d planted identifiers survive at their own path (%s), %d more only elsewhere in '
      'their copy; %d copies missing' % (len(own), n_text, kinds(own) or '-', len(found) - len(own),
                                         len(set(man['files']) - set(pairs_s))))
    where = {}
    for m, out_rel, locs in found:
        if m['path'] in locs:
            where.setdefault(generic(m['path']), []).append(m)
        D('  survives: %s %s [%s, %s] %r found at %s' % (m['file'], m['path'], m['kind'], m['variant'],
                                                       m['value'], ' '.join(locs)))
    S('   by planted path: ' + ', '.join('%s %d' % (p, len(v)) for p, v in sorted(where.items(), key=lambda kv: -len(kv[1]))))
    n, _, related, unrep = place_counts(found, rs, pairs_s)
    S('   places (copy x element, or file/folder name) holding a planted identifier: %d; not named exactly on '
      'the residue line: %d' % (n, len(related) + len(unrep)))

    # b. plain: every place where a planted identifier survives must be on the residue line
    rp = runs[('corpus', 'plain')]
    found_p, pairs_p = check_planted(rp, man, pool)
    n, named, related, unrep = place_counts(found_p, rp, pairs_p, D)
    S('b. plain: %d planted identifiers survive in %d places; places named at their path %d, only a '
      'parent/child path named %d, unreported %d' % (len(found_p), n, named, len(related), len(unrep)))
    S('   unreported by path: ' + ', '.join('%s %d' % kv for kv in by_generic(unrep)))
    S('   parent/child only by path: ' + ', '.join('%s %d' % kv for kv in by_generic(related)))

    # c. burned-in text
    for mode, run, pairs in (('plain', rp, pairs_p), ('standard', rs, pairs_s)):
        reports = report_lines(run)
        res = {}
        for rel, f in sorted(man['files'].items()):
            flag = flagged_text(run, rel, pairs.get(rel), reports)
            res.setdefault(f['role'], []).append((rel, flag))
            if f['role'] in ('burned', 'image-control', 'control'):
                D('  burned-in %s: %s %s %s' % (mode, f['role'], rel, 'FLAGGED' if flag else 'not flagged'))
        c = lambda role: (sum(fl for _, fl in res.get(role, [])), len(res.get(role, [])))
        S('c. %s: burned-in images flagged %d of %d; clean image controls flagged %d of %d; '
          'control files flagged %d of %d' % ((mode,) + c('burned') + c('image-control') + c('control')))
        ctl_res = [(rel, sorted(run['residue'].get(pairs.get(rel), []))) for rel, _ in
                   res.get('control', []) + res.get('image-control', []) if run['residue'].get(pairs.get(rel))]
        S('   controls with a residue line: %d%s' % (len(ctl_res), ''.join(
            '; %s: %s' % (r, ' '.join(p)) for r, p in ctl_res[:4])))

    # d. dciodvfy
    cache = {}
    for (cname, mode), run in runs.items():
        pairs = pair_copies(run, man['files'] if cname == 'corpus' else None)
        errs = new_errors(run, pairs, cache, pool)
        msgs = {}
        for rel, lines in errs.items():
            for l in lines:
                msgs.setdefault(norm_error(l)[:150], set()).add(rel)
                D('  new dciodvfy error %s %s: %s: %s' % (cname, mode, rel, l))
        S('d. %-6s %-8s: %d of %d copies gain dciodvfy errors (%d lines)%s' % (
            cname, mode, len(errs), len(pairs), sum(len(v) for v in errs.values()),
            ''.join(' | %s [%d]' % (k, len(v)) for k, v in sorted(msgs.items(), key=lambda kv: -len(kv[1]))[:6])))

    # e. false residue on real files
    for mode in ('plain', 'standard'):
        run = runs[('real', mode)]
        fr = false_residue(run, table)
        S('e. real %-8s: %d of %d residue lines name an element holding nothing of the patient (%d elements; '
          '%d of them private; %d paths hold an identifier, a UID or a name; %d paths not in the copy); '
          'commonest: %s' % (mode, fr['files'], len(run['residue']), fr['elements'], fr['private'], fr['true'],
                             fr['absent'],
              ', '.join('%s %d' % (p, len(v)) for p, v in sorted(fr['paths'].items(), key=lambda kv: -len(kv[1]))[:8])))
        for p, rels in sorted(fr['paths'].items()):
            D('  false residue %s %s: %s' % (mode, p, ' '.join(rels)))
    S('work: %s  details: %s' % (work, os.path.join(work, 'details.txt')))
    det.close()
    pool.shutdown()
    print('\n'.join(summary))


if __name__ == '__main__':
    import warnings
    warnings.simplefilter('ignore')
    main()
