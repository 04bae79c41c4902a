#!/usr/bin/python3
"""Build a corpus of DICOM files with planted, greppable identifying values.

Usage: /usr/bin/python3 plant.py OUT_DIR

Writes OUT_DIR/corpus/gNN/*.dcm (about 50 files, from pydicom's test files plus a few
made here) and OUT_DIR/manifest.json, which lists every planted value: the file (relative
to OUT_DIR/corpus), the element path in the CLI's residue-path format, the value, its kind
(string, uid, date, time, datetime, preamble) and whether the value is shared by several
files on purpose (study / frame-of-reference UIDs, cross-file references).

String plants look like PLNT0001XQ (unique per plant). Dates, times and UIDs are valid for
their VR and distinctive enough to grep for.
"""
import copy
import datetime
import json
import os
import sys

import pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import (ExplicitVRBigEndian, ExplicitVRLittleEndian,
                         ImplicitVRLittleEndian)

TEST_FILES = os.path.join(os.path.dirname(pydicom.__file__), 'data', 'test_files')

# (source file, how many planted copies to make of it)
SOURCES = [
    ('CT_small.dcm', 3), ('MR_small.dcm', 2), ('MR_small_bigendian.dcm', 2),
    ('MR_small_expb.dcm', 1), ('MR_small_implicit.dcm', 2), ('MR_small_RLE.dcm', 1),
    ('MR_small_jp2klossless.dcm', 1), ('MR_small_jpeg_ls_lossless.dcm', 1),
    ('ExplVR_BigEnd.dcm', 2), ('rtplan.dcm', 2), ('rtdose.dcm', 1), ('rtdose_1frame.dcm', 1),
    ('rtdose_expb.dcm', 1), ('rtdose_rle_1frame.dcm', 1), ('reportsi.dcm', 2),
    ('test-SR.dcm', 2), ('SC_rgb_small_odd.dcm', 1), ('SC_rgb_rle_2frame.dcm', 1),
    ('SC_rgb_jpeg_dcmtk.dcm', 1), ('SC_ybr_full_422_uncompressed.dcm', 1),
    ('JPEG2000.dcm', 1), ('JPEG-lossy.dcm', 1), ('liver_1frame.dcm', 1),
    ('liver_expb_1frame.dcm', 1), ('waveform_ecg.dcm', 1),
    ('dicomdirtests/77654033/CR1/6154', 1), ('dicomdirtests/77654033/CT2/17106', 1),
    ('dicomdirtests/98892003/MR1/4919', 1), ('693_J2KI.dcm', 1), ('MR_small_padded.dcm', 1),
    ('SC_rgb_rle_16bit_2frame.dcm', 1), ('reportsi_with_empty_number_tags.dcm', 1),
    ('rtdose_expb_1frame.dcm', 1), ('dicomdirtests/98892001/CT5N/2062', 1),
    ('SC_rgb_jpeg_gdcm.dcm', 1), ('JPGExtended.dcm', 1), ('MR_small_implicit.dcm', 1),
]
OWN = ['own_sc_le', 'own_sc_be', 'own_sr_implicit', 'own_us_multiframe']
GROUP_SIZE = 5


class Planter:
    def __init__(self):
        self.n = 0
        self.manifest = []
        self.file = None

    def next(self):
        self.n += 1
        return self.n

    def token(self):
        return 'PLNT%04dXQ' % self.next()

    def date(self):
        n = self.next()
        return n, (datetime.date(1901, 1, 1) + datetime.timedelta(days=3 * n + 1)).strftime('%Y%m%d')

    def time(self, n=None):
        n = self.next() if n is None else n
        return '%02d%02d%02d.9%05d' % (n % 24, (n // 24) % 60, (n // 7) % 60, n)

    def uid(self):
        n = self.next()
        return '1.3.6.1.4.1.99999.7%05d.1%05d' % (n, (n * 7919) % 100000)

    def record(self, path, value, kind, vr, shared=False):
        self.manifest.append({'file': self.file, 'path': path, 'value': value,
                              'kind': kind, 'vr': vr, 'shared': shared})

    # --- helpers that set a value and record it ---------------------------------------
    def put(self, ds, tag, vr, prefix='', kind=None, value=None, shared=False):
        """Set tag in ds to a fresh planted value (or value) and record it; returns value."""
        if value is None:
            if vr in ('DA',):
                _, value = self.date()
                kind = 'date'
            elif vr == 'TM':
                value = self.time()
                kind = 'time'
            elif vr == 'DT':
                n, d = self.date()
                value = d + self.time(n)
                kind = 'datetime'
            elif vr == 'UI':
                value = self.uid()
                kind = 'uid'
            else:
                value = self.token()
                kind = 'string'
        if kind is None:
            kind = {'UI': 'uid', 'DA': 'date', 'TM': 'time', 'DT': 'datetime'}.get(vr, 'string')
        if tag in ds:
            del ds[tag]
        ds.add_new(tag, vr, value)
        self.record(prefix + tagpath(tag), value, kind, vr, shared)
        return value


def tagpath(tag):
    tag = pydicom.tag.Tag(tag)
    return '(%04X,%04X)' % (tag.group, tag.element)


def item_prefix(prefix, seqtag, idx):
    return '%s%s[%d]>' % (prefix, tagpath(seqtag), idx)


TOP_STRINGS = [
    (0x00100010, 'PN'), (0x00100020, 'LO'), (0x00101000, 'LO'), (0x00101001, 'PN'),
    (0x00101060, 'PN'), (0x00101040, 'LO'), (0x00102154, 'SH'), (0x00380010, 'LO'),
    (0x00080050, 'SH'), (0x00080080, 'LO'), (0x00080081, 'ST'), (0x00081040, 'LO'),
    (0x00081010, 'SH'), (0x00181000, 'LO'), (0x00080090, 'PN'), (0x00081070, 'PN'),
    (0x00081050, 'PN'), (0x00081048, 'PN'), (0x00321032, 'PN'), (0x00200010, 'SH'),
    (0x001021B0, 'LT'), (0x00104000, 'LT'), (0x00081030, 'LO'), (0x00400254, 'LO'),
    (0x00181030, 'LO'),
]
TOP_DATES = [
    (0x00080020, 'DA'), (0x00080021, 'DA'), (0x00080022, 'DA'), (0x00080023, 'DA'),
    (0x00100030, 'DA'), (0x00080030, 'TM'), (0x00080031, 'TM'), (0x0008002A, 'DT'),
    (0x00400244, 'DA'),
]


def plant_file(p, ds, is_sr, explicit, group_uids, prev_ref, want_preamble):
    # top level strings, dates
    for tag, vr in TOP_STRINGS:
        p.put(ds, tag, vr)
    for tag, vr in TOP_DATES:
        p.put(ds, tag, vr)
    # other patient IDs sequence, 2 items
    seq = Sequence()
    for i in range(2):
        it = Dataset()
        p.put(it, 0x00100020, 'LO', item_prefix('', 0x00101002, i))
        p.put(it, 0x00100021, 'LO', item_prefix('', 0x00101002, i))
        it.add_new(0x00100022, 'CS', 'TEXT')
        seq.append(it)
    if 0x00101002 in ds:
        del ds[0x00101002]
    ds.add_new(0x00101002, 'SQ', seq)
    # UIDs
    p.put(ds, 0x0020000D, 'UI', value=group_uids['study'], shared=True)
    p.put(ds, 0x00200052, 'UI', value=group_uids['for'], shared=True)
    p.put(ds, 0x0020000E, 'UI')
    sop = p.put(ds, 0x00080018, 'UI')
    ds.file_meta.MediaStorageSOPInstanceUID = sop
    p.record('(0002,0003)', sop, 'uid', 'UI')
    # referenced study sequence with a private block in its item
    it = Dataset()
    it.add_new(0x00081150, 'UI', '1.2.840.10008.3.1.2.3.1')
    pre = item_prefix('', 0x00081110, 0)
    p.put(it, 0x00081155, 'UI', pre)
    blk = it.private_block(0x0019, 'PLNT NESTED', create=True)
    v = p.token()
    blk.add_new(0x01, 'LO', v)
    p.record(pre + tagpath(blk.get_tag(0x01)), v, 'string', 'LO')
    if 0x00081110 in ds:
        del ds[0x00081110]
    ds.add_new(0x00081110, 'SQ', Sequence([it]))
    # request attributes: 2 deep, 3 deep
    it = Dataset()
    pre = item_prefix('', 0x00400275, 0)
    for tag, vr in [(0x00401001, 'SH'), (0x00400009, 'SH'), (0x00080050, 'SH'),
                    (0x00100010, 'PN'), (0x00100020, 'LO'), (0x00321060, 'LO')]:
        p.put(it, tag, vr, pre)
    p.put(it, 0x0020000D, 'UI', pre, value=group_uids['study'], shared=True)
    inner = Dataset()
    inner.add_new(0x00081150, 'UI', '1.2.840.10008.3.1.2.3.1')
    p.put(inner, 0x00081155, 'UI', item_prefix(pre, 0x00081110, 0))
    it.add_new(0x00081110, 'SQ', Sequence([inner]))
    if 0x00400275 in ds:
        del ds[0x00400275]
    ds.add_new(0x00400275, 'SQ', Sequence([it]))
    # original attributes > modified attributes > patient name / ID / birth date
    it = Dataset()
    pre = item_prefix('', 0x04000561, 0)
    p.put(it, 0x04000562, 'DT', pre)
    p.put(it, 0x04000563, 'LO', pre)
    p.put(it, 0x04000564, 'LO', pre)
    it.add_new(0x04000565, 'CS', 'COERCE')
    mod = Dataset()
    pre2 = item_prefix(pre, 0x04000550, 0)
    p.put(mod, 0x00100010, 'PN', pre2)
    p.put(mod, 0x00100020, 'LO', pre2)
    p.put(mod, 0x00100030, 'DA', pre2)
    it.add_new(0x04000550, 'SQ', Sequence([mod]))
    ds.add_new(0x04000561, 'SQ', Sequence([it]))
    # reference to another file of the same group (shared UID)
    if prev_ref:
        it = Dataset()
        it.add_new(0x00081150, 'UI', prev_ref[0])
        p.put(it, 0x00081155, 'UI', item_prefix('', 0x00082112, 0), value=prev_ref[1], shared=True)
        if 0x00082112 in ds:
            del ds[0x00082112]
        ds.add_new(0x00082112, 'SQ', Sequence([it]))
    # private block at top level holding the patient name
    blk = ds.private_block(0x0011, 'PLNT VERIFY', create=True)
    v = p.token()
    blk.add_new(0x10, 'LO', v)
    p.record(tagpath(blk.get_tag(0x10)), v, 'string', 'LO')
    v = p.token()
    blk.add_new(0x11, 'PN', v)
    p.record(tagpath(blk.get_tag(0x11)), v, 'string', 'PN')
    if explicit:
        pit = Dataset()
        pv = p.token()
        pit.add_new(0x00100010, 'PN', pv)
        blk.add_new(0x12, 'SQ', Sequence([pit]))
        p.record(tagpath(blk.get_tag(0x12)) + '[0]>(0010,0010)', pv, 'string', 'PN')
    # SR content
    if is_sr:
        plant_sr(p, ds)
    # file meta
    v = p.token()
    ds.file_meta.SourceApplicationEntityTitle = v
    p.record('(0002,0016)', v, 'string', 'AE')
    v = p.token()
    ds.file_meta.ImplementationVersionName = v
    p.record('(0002,0013)', v, 'string', 'SH')
    if want_preamble:
        v = p.token()
        ds.preamble = v.encode('ascii') + b'\0' * (128 - len(v))
        p.record('preamble', v, 'string', '')
    return sop


def code(value, scheme, meaning):
    c = Dataset()
    c.CodeValue = value
    c.CodingSchemeDesignator = scheme
    c.CodeMeaning = meaning
    return c


def plant_sr(p, ds):
    if 0x0040A730 not in ds:
        ds.add_new(0x0040A730, 'SQ', Sequence())
    root = ds[0x0040A730].value
    k = len(root)
    pre = item_prefix('', 0x0040A730, k)
    cont = Dataset()
    cont.RelationshipType = 'CONTAINS'
    cont.ValueType = 'CONTAINER'
    cont.ConceptNameCodeSequence = Sequence([code('121064', 'DCM', 'Current Procedure Descriptions')])
    cont.ContinuityOfContent = 'SEPARATE'
    txt = Dataset()
    txt.RelationshipType = 'CONTAINS'
    txt.ValueType = 'TEXT'
    txt.ConceptNameCodeSequence = Sequence([code('121065', 'DCM', 'Procedure Description')])
    p.put(txt, 0x0040A160, 'UT', item_prefix(pre, 0x0040A730, 0))
    pn = Dataset()
    pn.RelationshipType = 'HAS OBS CONTEXT'
    pn.ValueType = 'PNAME'
    pn.ConceptNameCodeSequence = Sequence([code('121008', 'DCM', 'Person Observer Name')])
    p.put(pn, 0x0040A123, 'PN', item_prefix(pre, 0x0040A730, 1))
    dt = Dataset()
    dt.RelationshipType = 'CONTAINS'
    dt.ValueType = 'DATE'
    dt.ConceptNameCodeSequence = Sequence([code('111060', 'DCM', 'Study Date')])
    p.put(dt, 0x0040A121, 'DA', item_prefix(pre, 0x0040A730, 2))
    cont.add_new(0x0040A730, 'SQ', Sequence([txt, pn, dt]))
    root.append(cont)
    # verifying observer
    vo = Dataset()
    pre = item_prefix('', 0x0040A073, 0)
    p.put(vo, 0x0040A075, 'PN', pre)
    p.put(vo, 0x0040A027, 'LO', pre)
    p.put(vo, 0x0040A030, 'DT', pre)
    vo.add_new(0x0040A088, 'SQ', Sequence())
    if 0x0040A073 in ds:
        del ds[0x0040A073]
    ds.add_new(0x0040A073, 'SQ', Sequence([vo]))
    ds.VerificationFlag = 'VERIFIED'
    ds.CompletionFlag = 'COMPLETE'


def make_meta(sop_class, ts):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = '1.2.3.4'
    meta.TransferSyntaxUID = ts
    meta.ImplementationClassUID = '1.2.826.0.1.3680043.8.498.1'
    return meta


def own_dataset(kind):
    if kind in ('own_sc_le', 'own_sc_be'):
        ts = ExplicitVRLittleEndian if kind == 'own_sc_le' else ExplicitVRBigEndian
        meta = make_meta('1.2.840.10008.5.1.4.1.1.7', ts)
        ds = FileDataset(kind, {}, file_meta=meta, preamble=b'\0' * 128)
        ds.is_little_endian = kind == 'own_sc_le'
        ds.is_implicit_VR = False
        ds.SOPClassUID = meta.MediaStorageSOPClassUID
        ds.Modality = 'OT'
        ds.ConversionType = 'WSD'
        ds.PatientSex = 'O'
        ds.SeriesNumber = '1'
        ds.InstanceNumber = '1'
        ds.PatientOrientation = ''
        ds.Laterality = ''
        ds.Manufacturer = ''
        ds.SamplesPerPixel = 1
        ds.PhotometricInterpretation = 'MONOCHROME2'
        ds.Rows = 16
        ds.Columns = 16
        ds.BitsAllocated = 16
        ds.BitsStored = 12
        ds.HighBit = 11
        ds.PixelRepresentation = 0
        ds.PixelData = b''.join(((i * 13) % 4096).to_bytes(2, 'little' if ds.is_little_endian else 'big')
                                for i in range(256))
        ds['PixelData'].VR = 'OW'
        return ds, True
    if kind == 'own_us_multiframe':
        meta = make_meta('1.2.840.10008.5.1.4.1.1.3.1', ImplicitVRLittleEndian)
        ds = FileDataset(kind, {}, file_meta=meta, preamble=b'\0' * 128)
        ds.is_little_endian = True
        ds.is_implicit_VR = True
        ds.SOPClassUID = meta.MediaStorageSOPClassUID
        ds.Modality = 'US'
        ds.PatientSex = 'F'
        ds.SeriesNumber = '2'
        ds.InstanceNumber = '1'
        ds.PatientOrientation = ''
        ds.Laterality = ''
        ds.Manufacturer = ''
        ds.ImageType = ['ORIGINAL', 'PRIMARY', 'ABDOMINAL']
        ds.NumberOfFrames = '3'
        ds.FrameIncrementPointer = 0x00181063
        ds.FrameTime = '33.3'
        ds.SamplesPerPixel = 1
        ds.PhotometricInterpretation = 'MONOCHROME2'
        ds.Rows = 8
        ds.Columns = 8
        ds.BitsAllocated = 8
        ds.BitsStored = 8
        ds.HighBit = 7
        ds.PixelRepresentation = 0
        ds.PixelData = bytes((i * 7) % 256 for i in range(3 * 64))
        ds['PixelData'].VR = 'OB'
        return ds, False
    if kind == 'own_sr_implicit':
        meta = make_meta('1.2.840.10008.5.1.4.1.1.88.33', ImplicitVRLittleEndian)
        ds = FileDataset(kind, {}, file_meta=meta, preamble=b'\0' * 128)
        ds.is_little_endian = True
        ds.is_implicit_VR = True
        ds.SOPClassUID = meta.MediaStorageSOPClassUID
        ds.Modality = 'SR'
        ds.PatientSex = 'M'
        ds.SeriesNumber = '3'
        ds.InstanceNumber = '1'
        ds.Manufacturer = ''
        ds.ValueType = 'CONTAINER'
        ds.ConceptNameCodeSequence = Sequence([code('18748-4', 'LN', 'Diagnostic Imaging Report')])
        ds.ContinuityOfContent = 'SEPARATE'
        ds.CompletionFlag = 'COMPLETE'
        ds.VerificationFlag = 'UNVERIFIED'
        ds.PerformedProcedureCodeSequence = Sequence()
        ds.add_new(0x0040A730, 'SQ', Sequence())
        return ds, False
    raise ValueError(kind)


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: plant.py OUT_DIR')
    out = sys.argv[1]
    corpus = os.path.join(out, 'corpus')
    if os.path.exists(corpus):
        sys.exit('%s exists; use a fresh OUT_DIR' % corpus)
    os.makedirs(corpus)
    jobs = []
    for src, count in SOURCES:
        for i in range(count):
            jobs.append(('src', src, i))
    for kind in OWN:
        jobs.append(('own', kind, 0))
    p = Planter()
    group_uids = {}
    prev = {}
    for idx, (how, name, rep) in enumerate(jobs):
        g = idx // GROUP_SIZE
        if g not in group_uids:
            group_uids[g] = {'study': p.uid(), 'for': p.uid()}
        if how == 'src':
            ds = pydicom.dcmread(os.path.join(TEST_FILES, name))
            explicit = not ds.is_implicit_VR
            base = name.replace('/', '_').replace('.dcm', '')
        else:
            ds, explicit = own_dataset(name)
            base = name
        # no dots in folder names; file names may keep them
        rel = 'g%02d/%02d_%s_%d.dcm' % (g, idx, base.replace('.', '_'), rep)
        p.file = rel
        is_sr = ds.get('Modality') == 'SR'
        sop = plant_file(p, ds, is_sr, explicit, group_uids[g], prev.get(g), idx % 2 == 0)
        prev[g] = (str(ds.SOPClassUID), sop)
        path = os.path.join(corpus, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        ds.save_as(path, write_like_original=True)
        # check it reads back and holds the values we recorded
        back = pydicom.dcmread(path)
        assert str(back.SOPInstanceUID) == sop, rel
    with open(os.path.join(out, 'manifest.json'), 'w') as f:
        json.dump({'corpus': 'corpus', 'plants': p.manifest}, f, indent=1)
    files = sorted({m['file'] for m in p.manifest})
    print('%d files, %d planted values (%d distinct) in %s' % (
        len(files), len(p.manifest), len({m['value'] for m in p.manifest}), corpus))


if __name__ == '__main__':
    main()
