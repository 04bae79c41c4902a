#!/usr/bin/python3
"""A stand-in for vexar-anonymizer-cli's research options, to test verify.py itself.

Usage: stubcli.py [--standard] [--option NAME]... [--uid-key FILE] [--new-uid-key FILE]
                  [--link-file FILE] [--rename] [--shard K/N] FOLDER...

Writes copies the way the research options are meant to (keyed pseudonym, keyed per-patient
date offset, keyed UIDs, link file, names from the data, shards), crudely: it is no
anonymizer and cleans nothing else. STUB_FAULTS (comma-separated) makes it go wrong in one way
each, so that the self-test can see verify.py catch it:
  nested-dates  dates two or more levels deep are left as they were
  raw-id        the pseudonym is made from the PatientID as stored, spaces included
  name          PatientName keeps the patient's name
  time          TM values lose their seconds
  codes         (0012,0064) names only the Basic profile
  link-uid      the link file leaves out references (0008,1155)
  link-mode     the link file is readable by all
  link-always   a link file is written even without --link-file
  stamp         each copy holds the time it was written (so runs and shards differ)
  rename-name   renamed copies keep the input's file name
"""
import base64
import hashlib
import hmac
import os
import re
import sys

import pydicom
from pydicom.dataset import Dataset
from pydicom.sequence import Sequence
from pydicom.uid import UID_dictionary

FAULTS = set(filter(None, os.environ.get('STUB_FAULTS', '').split(',')))
HELP = """Usage: stubcli.py [options] FOLDER...
  --standard  --option <NAME>  --uid-key <FILE>  --new-uid-key <FILE>  --link-file <FILE>
  --rename  --shard <K/N>"""
REMOVE = ('IssuerOfPatientID', 'OtherPatientIDs', 'OtherPatientIDsSequence', 'OtherPatientNames', 'PatientAge',
          'OriginalAttributesSequence')


def mac(key, *parts):
    return hmac.new(key, b'\0'.join(p.encode('utf-8') for p in parts), hashlib.sha256).digest()


def b32(digest, n):
    return base64.b32encode(digest).decode()[:n]


class Stub:
    def __init__(self, key, modified, link, rename):
        self.key, self.modified, self.link, self.rename = key, modified, link, rename

    def identity(self, ds):
        pid = str(ds.get('PatientID', ''))
        pid = pid if 'raw-id' in FAULTS else pid.strip()
        if pid:
            return 'id', str(ds.get('IssuerOfPatientID', '')).strip(), pid
        return 'name', str(ds.get('PatientName', '')).strip(), str(ds.get('PatientBirthDate', ''))

    def uid(self, old):
        return '2.25.%d' % int.from_bytes(mac(self.key, 'uid', old)[:16], 'big')

    def shift(self, value, vr, days):
        import datetime
        out = []
        for v in (value if isinstance(value, str) else '\\'.join(value)).split('\\'):
            m = re.match(r'^(\d{4})(\d{2})?(\d{2})?(.*)$', v)
            if not m:
                out.append(v)
            elif m.group(3):
                d = datetime.date(int(m.group(1)), int(m.group(2)), int(m.group(3))) - datetime.timedelta(days=days)
                out.append(d.strftime('%Y%m%d') + m.group(4))
            else:
                y = (datetime.date(int(m.group(1)), 7, 1) - datetime.timedelta(days=days)).year
                out.append('%04d' % y + (m.group(2) or '') + m.group(4))
        return '\\'.join(out)

    def clean(self, ds, days, pairs, depth=0):
        for kw in REMOVE:
            if kw in ds:
                delattr(ds, kw)
        for e in list(ds):
            if e.VR == 'SQ':
                for it in e.value:
                    self.clean(it, days, pairs, depth + 1)
            elif e.VR == 'UI' and e.value and str(e.value) not in UID_dictionary:
                new = self.uid(str(e.value))
                pairs.append((str(e.tag), str(e.value), new))
                e.value = new
            elif e.VR in ('DA', 'DT') and e.value:
                if self.modified and not ('nested-dates' in FAULTS and depth >= 2):
                    e.value = self.shift(e.value, e.VR, days)
                elif not self.modified:
                    e.value = '19700101'
            elif e.VR == 'TM' and e.value and 'time' in FAULTS:
                e.value = str(e.value)[:4]

    def one(self, src, root, out_root, rows, report):
        ds = pydicom.dcmread(src, force=True)
        ident = self.identity(ds)
        pseud = 'VX-' + b32(mac(self.key, 'patient', *ident), 10)
        days = 365 + int.from_bytes(mac(self.key, 'days', *ident)[:4], 'big') % (3653 - 365)
        orig_id = str(ds.get('PatientID', ''))
        pairs = []
        self.clean(ds, days, pairs)
        ds.PatientID = pseud
        if 'name' not in FAULTS:
            ds.PatientName = pseud
        if self.modified:
            ds.LongitudinalTemporalInformationModified = 'MODIFIED'
        ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
        ds.PatientIdentityRemoved = 'YES'
        codes = [('113100', 'Basic Application Confidentiality Profile')]
        if self.modified and 'codes' not in FAULTS:
            codes.append(('113107', 'Retain Longitudinal Temporal Information Modified Dates Option'))
        ds.DeidentificationMethod = [m for _, m in codes]
        seq = Sequence()
        for value, meaning in codes:
            c = Dataset()
            c.CodeValue, c.CodingSchemeDesignator, c.CodeMeaning = value, 'DCM', meaning
            seq.append(c)
        ds.DeidentificationMethodCodeSequence = seq
        if 'stamp' in FAULTS:
            import time
            ds.ImageComments = '%.6f' % time.time()
        rel = os.path.relpath(src, root)
        if self.rename:
            h = lambda u: b32(hashlib.sha256(u.encode()).digest(), 8)
            name = os.path.basename(src)[:-4] if 'rename-name' in FAULTS else h(ds.SOPInstanceUID)
            out_rel = '%s/%s/%s-%s/%s.dcm' % (pseud, h(ds.StudyInstanceUID), h(ds.SeriesInstanceUID), ds.Modality, name)
        else:
            out_rel = rel
        dst = os.path.join(out_root, out_rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        ds.save_as(dst + '.part', write_like_original=False)
        os.replace(dst + '.part', dst)
        report.append('  %s: written' % rel)
        if self.rename:
            report.append('  %s -> %s' % (rel, out_rel))
        rows.append((dst, 'patient-id', '(0010,0020)', orig_id.strip(), pseud))
        if self.modified:
            rows.append((dst, 'date-offset-days', '', '', str(days)))
        seen = set()
        for tag, old, new in pairs:
            if (old, new) in seen or ('link-uid' in FAULTS and tag == '(0008, 1155)'):
                continue
            seen.add((old, new))
            rows.append((dst, 'uid', tag.replace(' ', ''), old, new))


def write_link(path, rows):
    import csv
    new = not os.path.exists(path) or os.path.getsize(path) == 0
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644 if 'link-mode' in FAULTS else 0o600)
    with os.fdopen(fd, 'w', newline='', encoding='utf-8') as f:
        w = csv.writer(f, lineterminator='\n')
        if new:
            w.writerow(['copy', 'kind', 'element', 'original', 'new'])
        w.writerows(rows)


def main(argv):
    opts, folders, i = {'option': []}, [], 0
    while i < len(argv):
        a = argv[i]
        if a in ('-h', '--help'):
            print(HELP)
            return 0
        if a in ('--standard', '--rename'):
            opts[a[2:]] = True
        elif a in ('--option', '--uid-key', '--new-uid-key', '--link-file', '--shard'):
            i += 1
            if a == '--option':
                opts['option'].append(argv[i])
            else:
                opts[a[2:]] = argv[i]
        else:
            folders.append(a)
        i += 1
    if 'new-uid-key' in opts:
        fd = os.open(opts['new-uid-key'], os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        os.write(fd, os.urandom(32).hex().encode())
        os.close(fd)
    key = open(opts['uid-key'], 'rb').read().strip() if 'uid-key' in opts else b'installation'
    link = opts.get('link-file') or (os.path.join(os.getcwd(), 'stub-link.csv') if 'link-always' in FAULTS else None)
    k, n = map(int, opts.get('shard', '1/1').split('/'))
    stub = Stub(key, 'modified-dates' in opts['option'], link, opts.get('rename'))
    for folder in folders:
        folder = os.path.abspath(folder.rstrip('/'))
        out = folder + '_depersonification'
        if link and (os.path.abspath(link).startswith(out + os.sep) or
                     os.path.dirname(os.path.abspath(link)) == os.path.dirname(out)):
            print('link file inside or beside %s' % out, file=sys.stderr)
            return 2
        rows, report = [], []
        for d, _, fs in sorted(os.walk(folder)):
            for f in sorted(fs):
                src = os.path.join(d, f)
                h = int(hashlib.sha256(os.path.relpath(src, folder).encode()).hexdigest(), 16)
                if h % n == k - 1:
                    stub.one(src, folder, out, rows, report)
        suffix = '.report.%d-of-%d.txt' % (k, n) if 'shard' in opts else '.report.txt'
        with open(out + suffix, 'w', encoding='utf-8') as f:
            f.write('\n'.join(report) + '\n')
        if link:
            write_link(link, rows)
        print('%d files written' % len(report))
    return 0


if __name__ == '__main__':
    import warnings
    warnings.simplefilter('ignore')
    sys.exit(main(sys.argv[1:]))
