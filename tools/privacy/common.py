"""Helpers shared by the privacy check scripts (verify.py, advverify.py): reading files,
walking elements in the CLI's residue-path format, running the CLI, dciodvfy."""
import hashlib
import os
import re
import shutil
import subprocess
import time
import zlib

import pydicom
from pydicom.sequence import Sequence

DEFAULT_REAL = os.path.join(os.path.dirname(pydicom.__file__), 'data', 'test_files')
DEFLATE = '1.2.840.10008.1.2.1.99'


UID_RX = re.compile(r'\b\d+(?:\.\d+){2,}\b')


def tagstr(tag):
    return '(%04X,%04X)' % (tag >> 16, tag & 0xFFFF)


def sha(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


def list_files(root):
    out = []
    for d, _, fs in os.walk(root):
        for f in fs:
            out.append(os.path.relpath(os.path.join(d, f), root))
    return sorted(out)


def read_ds(path):
    try:
        return pydicom.dcmread(path)
    except Exception:
        try:
            return pydicom.dcmread(path, force=True)
        except Exception:
            return None


def raw_bytes(path):
    """The file's bytes; for deflated data sets the inflated data set is appended."""
    with open(path, 'rb') as f:
        data = f.read()
    ds = read_ds(path)
    try:
        if ds is not None and str(ds.file_meta.get('TransferSyntaxUID', '')) == DEFLATE:
            # meta group ends where the data set starts; find it by scanning group 2 length
            i = data.find(b'\x00\x00UL', 132)
            glen = int.from_bytes(data[i + 6:i + 10], 'little') if i == 132 else None
            start = 132 + 12 + glen if glen else None
            if start:
                data += zlib.decompress(data[start:], -15)
    except Exception:
        pass
    return data


def value_text(elem):
    v = elem.value
    if v is None:
        return ''
    if isinstance(v, bytes):
        return v.decode('latin-1')
    if isinstance(v, (list, tuple)) or type(v).__name__ == 'MultiValue':
        return '\\'.join(str(x) for x in v)
    return str(v)


def walk(ds, prefix=''):
    """Yield (path, elem) for every element at every level, in the CLI's path format."""
    for elem in ds:
        p = prefix + tagstr(elem.tag)
        yield p, elem
        if elem.VR == 'SQ' and isinstance(elem.value, Sequence):
            for i, item in enumerate(elem.value):
                yield from walk(item, '%s[%d]>' % (p, i))


def walk_file(ds):
    if ds is None:
        return
    meta = getattr(ds, 'file_meta', None)
    if meta is not None:
        for elem in meta:
            yield tagstr(elem.tag), elem
    yield from walk(ds)


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def dciodvfy_errors(path):
    r = run(['dciodvfy', path])
    lines = (r.stdout + r.stderr).decode('latin-1').splitlines()
    return [l for l in lines if l.startswith('Error')]


def norm_error(line):
    line = re.sub(r'= <[^>]*>', '= <>', line)
    line = UID_RX.sub('<UID>', line)
    return line


def stage(src_root, files, dest):
    for rel in files:
        d = os.path.join(dest, rel)
        os.makedirs(os.path.dirname(d), exist_ok=True)
        shutil.copy2(os.path.join(src_root, rel), d)


def cli_run(cli, folder, standard):
    hashes = {rel: sha(os.path.join(folder, rel)) for rel in list_files(folder)}
    out = folder + '_depersonification'
    cmd = [cli] + (['--standard'] if standard else []) + [folder]
    t = time.time()
    r = run(cmd)
    secs = time.time() - t
    stdout = r.stdout.decode('utf-8', 'replace')
    stderr = r.stderr.decode('utf-8', 'replace')
    residue, failed = {}, []
    for line in stderr.splitlines():
        m = re.match(r'^residue: (.*?): ((?:\(|preamble|name\b).*)$', line)
        if m:
            residue[os.path.relpath(m.group(1), out)] = set(m.group(2).split())
        elif line.startswith('failed: '):
            failed.append(line[len('failed: '):])
    changed = [rel for rel, h in hashes.items()
               if not os.path.exists(os.path.join(folder, rel)) or sha(os.path.join(folder, rel)) != h]
    return {'cmd': ' '.join(cmd), 'rc': r.returncode, 'stdout': stdout.strip(), 'secs': secs,
            'stderr_lines': len(stderr.splitlines()), 'residue': residue, 'failed': failed,
            'inputs_changed': changed, 'in': folder, 'out': out,
            'files': sorted(hashes)}


def reported(path, paths):
    if path in paths:
        return 'exact'
    for q in paths:
        if path.startswith(q + '[') or q.startswith(path + '['):
            return 'related'
    return None


def read_ds_strict(path):
    try:
        pydicom.dcmread(path)
        return True
    except Exception:
        return False


class Table:
    """The confidentiality table (tag, name, action) as a lookup by tag."""
    def __init__(self, path):
        self.exact = {}
        self.patterns = []  # (regex, action)
        with open(path) as f:
            for line in f:
                if line.startswith('#') or line.startswith('tag\t'):
                    continue
                cols = line.rstrip('\n').split('\t')
                tag, action = cols[0], cols[2]
                if tag == 'GGGG,EEEE':
                    continue  # every private element: handled by is_private
                if 'X' in tag:
                    rx = re.compile('^' + tag.replace('X', '[0-9A-F]').replace(',', '') + '$')
                    self.patterns.append((rx, action))
                else:
                    self.exact[int(tag.replace(',', ''), 16)] = action

    def action(self, tag):
        if tag in self.exact:
            return self.exact[tag]
        if (tag >> 16) & 1:
            return 'X(private)'
        s = '%08X' % tag
        for rx, a in self.patterns:
            if rx.match(s):
                return a
        return None

