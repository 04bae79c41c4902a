#!/usr/bin/python3
"""Write an adversarial privacy corpus: identifiers of invented patients in other spellings.

Usage: /usr/bin/python3 adversarial.py OUT_DIR

Writes about 60 DICOM files under OUT_DIR/corpus/ and OUT_DIR/manifest.json. Seven invented
patients, each in its own character set (ISO_IR 100, 101, 144, 192 and ISO 2022 IR 6/87/13),
have their identifiers (name, IDs, birth date, accession, address, phone, institution,
station, physicians) written the way people write them ("John Doe", "Doe, John", lower case,
NFD, the surname alone, one group of a multi-group name, "MRN 642341 left knee",
"April 12, 1937") into descriptions, code meanings, labels, UC/UR/UT/UN/OB values, private
elements, overlays, presentation states, SR trees six levels deep, the meta group, a command
element, the trailing padding, and file and folder names. Beside them: clean control files,
images with a name burned into the pixels (several fonts, sizes, transfer syntaxes) and clean
images without text. The manifest lists every planted identifier: patient, exact spelling,
element path in the CLI's residue format ("name" for a file or folder name), file and kind.
Deterministic: the same OUT_DIR content every run.
"""
import hashlib
import io
import json
import os
import random
import re
import sys
import unicodedata

import pydicom
from PIL import Image, ImageDraw, ImageFont
from pydicom.dataelem import DataElement
from pydicom.dataset import Dataset, FileDataset
from pydicom.encaps import encapsulate
from pydicom.sequence import Sequence
from pydicom.uid import (DeflatedExplicitVRLittleEndian, ExplicitVRLittleEndian,
                         ImplicitVRLittleEndian, JPEGBaseline8Bit, RLELossless)

from plant import code, item_prefix, make_meta, tagpath

SEED = 16
MONTHS = ['January', 'February', 'March', 'April', 'May', 'June', 'July', 'August',
          'September', 'October', 'November', 'December']
FONTS = '/usr/share/fonts/truetype/'
ISO2022 = ['ISO 2022 IR 6', 'ISO 2022 IR 87', 'ISO 2022 IR 13']
SC, US, CT = '1.2.840.10008.5.1.4.1.1.7', '1.2.840.10008.5.1.4.1.1.6.1', '1.2.840.10008.5.1.4.1.1.2'
GSPS, CSR, PDF = '1.2.840.10008.5.1.4.1.1.11.1', '1.2.840.10008.5.1.4.1.1.88.33', '1.2.840.10008.5.1.4.1.1.104.1'

PATIENTS = [
    dict(key='doe', pn='DOE^JOHN', charset='ISO_IR 100', id='MRN642341', birth='19710123',
         acc='ACC20240117', other='OID77812290', address='14 Larkspur Crescent, Wexbridge',
         phone='+44 1632 960418', inst='Wexbridge General Infirmary', station='WEXCT02',
         doctors=['HALLORAN^MAEVE', 'OKONJO^CHIDI'], folder=[('DOE_JOHN', 'name'), ('MRN642341', 'id')]),
    dict(key='muller', pn='Müller^Zoë^Anaïs', charset='ISO_IR 100', id='ZM884213', birth='19370412',
         acc='A0078812', other='KV5518830', address='Brunnenstraße 17, Entenhausen',
         phone='+49 89 5550 1234', inst='Klinikum Sankt Örtel', station='ORTELMR1',
         doctors=['Bergström^Åsa', 'Nuñez^Iñigo'], folder=[('Müller Zoë', 'name')]),
    dict(key='dvorak', pn='Dvořáková^Růžena', charset='ISO_IR 101', id='CZ7731904', birth='19550812',
         acc='TRB449120', other='VZP20931177', address='Husova 1283, Třebíč',
         phone='+420 568 555 912', inst='Nemocnice Třebíč-Západ', station='TRBCT2',
         doctors=['Šťastný^Bořivoj', 'Kožíšek^Zdeněk'], folder=[]),
    dict(key='zhukov', pn='Жуковская^Ольга^Петровна', charset='ISO_IR 144', id='RU10433827',
         birth='19620305', acc='TVR558201', other='SNILS1122334', address='ул. Лесная 42, Тверь',
         phone='+7 4822 555 018', inst='Больница Святой Ксении', station='TVRMR7',
         doctors=['Пастернаков^Игорь', 'Добрынина^Вера'], folder=[('Жуковская Ольга', 'name')]),
    dict(key='yamada', pn='Yamada^Tarou=山田^太郎=やまだ^たろう', charset=ISO2022, id='JP0094412',
         birth='19481130', acc='JPA30118', other='HKN66120047', address='東京都杉並区阿佐谷北 3-1-7',
         phone='03-5550-8812', inst='山手中央病院', station='YMCUS1',
         doctors=['Ono^Hana=小野^花=おの^はな', 'Suzuki^Ichirou=鈴木^一郎=すずき^いちろう'],
         folder=[('山田太郎', 'name')]),
    dict(key='papa', pn='Παπαδοπούλου^Ελένη', charset='ISO_IR 192', id='GR40028815', birth='19840229',
         acc='ATH771203', other='AMKA55810230', address='Οδός Ερμού 88, Αθήνα',
         phone='+30 210 555 7781', inst='Νοσοκομείο Αγίας Φωτεινής', station='ATHCR3',
         doctors=['Κωνσταντίνου^Νίκος', 'Γεωργίου^Μαρία'], folder=[('GR40028815', 'id')]),
    dict(key='hong', pn='Hong^Gildong=洪^吉洞=홍^길동', charset='ISO_IR 192', id='KR8812057',
         birth='19591003', acc='SEL220931', other='KRH38112057', address='서울특별시 종로구 율곡로 99',
         phone='+82 2 555 0199', inst='한빛대학교병원', station='SELDX04',
         doctors=['Park^Jiwoo=朴^智友=박^지우', 'Lee^Soyeon=李^昭姸=이^소연'], folder=[]),
]
CONTROL = dict(key='control', pn='QA^HEAD', charset='ISO_IR 100', id='PHANTOM01',
               birth='', acc='', other='', address='', phone='', inst='', station='', doctors=[])
NEUTRAL = ['HEAD CT LEFT', 'CT Knee Left', 'Cylinder 20 cm', 'Axial 5 mm', 'Weekly check',
           'Routine protocol', 'Calibration series', 'No acute findings.', 'Uniformity check']


# ---------------------------------------------------------------------------------------
# spellings

def date_forms(d):
    y, m, dd = d[:4], d[4:6], d[6:]
    mon = MONTHS[int(m) - 1]
    return [d, '%s-%s-%s' % (y, m, dd), '%s.%s.%s' % (dd, m, y), '%s/%s/%s' % (dd, m, y),
            '%s/%s/%s' % (m, dd, y), '%d %s %s' % (int(dd), mon, y), '%s %d, %s' % (mon, int(dd), y)]


def name_spellings(pn):
    """Other ways of writing a person name: (spelling, variant)."""
    groups = pn.split('=')
    parts = [p for p in groups[0].split('^') if p]
    fam, giv = parts[0], parts[1] if len(parts) > 1 else ''
    out = [('%s %s' % (giv, fam), 'given family'), ('%s, %s' % (fam, giv), 'family, given'),
           (('%s %s' % (fam, giv)).upper(), 'upper'), (('%s %s' % (giv, fam)).lower(), 'lower'),
           (fam, 'family alone'), ('%s^%s' % (giv, fam), 'reordered'),
           (unicodedata.normalize('NFD', groups[0]), 'NFD'), (groups[0] + '^^^', 'extra ^'),
           ('%s_%s' % (fam, giv), 'underscore')]
    if len(parts) > 2:
        out.append(('%s^%s' % (fam, giv), 'missing component'))
    for i, g in enumerate(groups[1:], 1):
        gp = [p for p in g.split('^') if p]
        out += [(g, 'group %d alone' % i), (''.join(gp), 'group %d joined' % i),
                (' '.join(reversed(gp)), 'group %d reordered' % i)]
        if unicodedata.normalize('NFD', g) != g:
            out.append((unicodedata.normalize('NFD', g), 'group %d NFD' % i))
    return [(s, v) for s, v in out if s.strip()]


CODECS = {'ISO_IR 100': 'latin_1', 'ISO_IR 101': 'iso8859_2', 'ISO_IR 144': 'iso8859_5',
          'ISO_IR 192': 'utf-8'}


def encodable(text, charset):
    if isinstance(charset, list):  # ISO 2022: ASCII, JIS X 0208, half-width katakana
        return all(ord(c) < 128 or _enc(c, 'iso2022_jp') or 0xFF61 <= ord(c) <= 0xFF9F for c in text)
    return _enc(text, CODECS[charset])


def _enc(text, codec):
    try:
        text.encode(codec)
        return True
    except UnicodeEncodeError:
        return False


def encode(text, charset):
    return pydicom.charset.encode_string(text, pydicom.charset.convert_encodings(
        charset if isinstance(charset, list) else [charset]))


# ---------------------------------------------------------------------------------------
# the planter: picks a spelling for each slot and records it

class Planter:
    def __init__(self):
        self.rng = random.Random(SEED)
        self.plants = []
        self.files = {}
        self.file = None
        self.pools = {}

    def pieces(self, pt):
        """Every (kind, spelling, variant) of a patient, in a seeded order, cycled."""
        if pt['key'] not in self.pools:
            items = [('name', s, v) for s, v in name_spellings(pt['pn'])]
            items += [('id', pt['id'], 'MRN in text'), ('id', pt['id'], 'alone'),
                      ('id', pt['acc'], 'accession'), ('id', pt['other'], 'other id')]
            items += [('date', f, 'form %d' % i) for i, f in enumerate(date_forms(pt['birth']))]
            items += [('address', pt['address'], ''), ('phone', pt['phone'], ''),
                      ('institution', pt['inst'], ''), ('station', pt['station'], '')]
            for d in pt['doctors']:
                items += [('physician', s, v) for s, v in name_spellings(d)[:5]]
            self.rng.shuffle(items)
            self.pools[pt['key']] = [items, 0]
        return self.pools[pt['key']]

    def text(self, pt, charset, vr, maxlen=64, kinds=None):
        """A value for a free-text slot and the pieces planted in it."""
        if pt['key'] == 'control':  # each neutral text once, so that none repeats a cleaned value
            self.neutral = getattr(self, 'neutral', 0) + 1
            t = {'CS': 'NODE_%d', 'AE': 'NODE_%d', 'UR': 'https://pacs.example.org/wado?series=%d'}.get(
                vr, self.rng.choice(NEUTRAL) + ' %d')
            return (t % self.neutral)[:maxlen], []
        pool = self.pools.get(pt['key']) or self.pieces(pt)
        items, start = pool
        for k in range(len(items)):
            kind, s, variant = items[(start + k) % len(items)]
            if kinds and kind not in kinds:
                continue
            ascii_only = vr in ('CS', 'AE', 'UR')
            if ascii_only and (not s.isascii() or kind not in ('id', 'station', 'date')):
                continue
            if not encodable(s, charset):
                continue
            if variant == 'MRN in text':
                t = 'MRN %s left knee' % s
            elif kind == 'date' and vr not in ('CS', 'AE', 'UR'):
                t = 'born %s' % s
            else:
                t = s
            if vr == 'UR':
                t = 'https://pacs.example.org/wado?patient=%s&series=2' % s
            if ascii_only and not re.fullmatch('[A-Z0-9_]+' if vr != 'UR' else '[A-Za-z0-9_-]+', s):
                continue
            if len(t) > maxlen:
                continue
            pool[1] = (start + k + 1) % len(items)
            return t, [(kind, s, variant)]
        raise ValueError('no spelling fits %s %s' % (vr, pt['key']))

    def record(self, pt, path, pieces, text=None):
        if pt['key'] == 'control':
            return
        for kind, s, variant in pieces:
            self.plants.append({'patient': pt['key'], 'file': self.file, 'path': path, 'value': s,
                                'kind': kind, 'variant': variant, 'text': text})

    def put(self, ds, tag, vr, pt, charset, prefix='', maxlen=64, kinds=None, value=None):
        """Set tag to a planted spelling (or to value, an exact identifier, recorded as one)."""
        if value is not None:
            text, pcs = value
        else:
            text, pcs = self.text(pt, charset, vr, maxlen, kinds)
        if vr in ('UN', 'OB'):
            ds[tag] = DataElement(tag, vr, pad(encode(text, charset)))
        else:
            ds[tag] = DataElement(tag, vr, text)
        self.record(pt, prefix + tagpath(tag), pcs, text)
        return text


def pad(b):
    return b + b' ' if len(b) % 2 else b


def uid(*parts):
    return '2.25.%d' % int(hashlib.sha256(repr((SEED,) + parts).encode()).hexdigest()[:30], 16)


# ---------------------------------------------------------------------------------------
# data sets

def base(p, pt, sop_class, modality, charset, ts, number, std=True):
    """File with the patient, study, series, equipment and SOP modules. SeriesNumber and
    InstanceNumber together are unique in the corpus: the evaluator finds a copy's input by them."""
    ds = FileDataset('', {}, file_meta=make_meta(sop_class, ts), preamble=b'\0' * 128)
    ds.is_little_endian = True
    ds.is_implicit_VR = ts == ImplicitVRLittleEndian
    ds.SpecificCharacterSet = charset
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = uid(pt['key'], number, 'sop')
    ds.Modality = modality
    ds.StudyInstanceUID = uid(pt['key'], 'study')
    ds.SeriesInstanceUID = uid(pt['key'], number, 'series')
    ds.StudyDate, ds.StudyTime, ds.ContentDate, ds.ContentTime = '20240117', '101500', '20240117', '101600'
    ds.SeriesNumber, ds.InstanceNumber = str(number), '1'
    ds.StudyID = 'S%d' % number
    ds.Manufacturer = 'Nobody Imaging'
    ds.PatientSex = 'O'
    ds.Laterality = ''
    exact = [(0x00100010, 'PN', pt['pn'], 'name'), (0x00100020, 'LO', pt['id'], 'id'),
             (0x00100030, 'DA', pt['birth'], 'date'), (0x00080050, 'SH', pt['acc'], 'id'),
             (0x00080090, 'PN', (pt['doctors'] or [''])[0], 'physician')]
    if std:
        exact += [(0x00101040, 'LO', pt['address'], 'address'), (0x00102154, 'SH', pt['phone'], 'phone'),
                  (0x00080080, 'LO', pt['inst'], 'institution'), (0x00081010, 'SH', pt['station'], 'station'),
                  (0x00081050, 'PN', (pt['doctors'] or ['', ''])[-1], 'physician')]
    for tag, vr, v, kind in exact:
        ds[tag] = DataElement(tag, vr, v)
        if v:
            p.record(pt, tagpath(tag), [(kind, v, 'exact')], v)
    if std and pt['other']:
        it = Dataset()
        it.PatientID, it.TypeOfPatientID = pt['other'], 'TEXT'
        ds.OtherPatientIDsSequence = Sequence([it])
        p.record(pt, item_prefix('', 0x00101002, 0) + '(0010,0020)', [('id', pt['other'], 'exact')])
    return ds


def image(ds, pixels, mode):
    """PixelData from a PIL image (L, I;16 or RGB)."""
    ds.Rows, ds.Columns = pixels.size[1], pixels.size[0]
    ds.SamplesPerPixel = 3 if mode == 'RGB' else 1
    ds.PhotometricInterpretation = 'RGB' if mode == 'RGB' else 'MONOCHROME2'
    if mode == 'RGB':
        ds.PlanarConfiguration = 0
    bits = 16 if mode == 'I;16' else 8
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = bits, bits, bits - 1, 0
    ds.PixelData = pixels.tobytes()
    ds['PixelData'].VR = 'OW' if bits == 16 else 'OB'


def gradient(w, h, seed, mode='L'):
    rng = random.Random(seed)
    img = Image.new('L', (w, h))
    img.putdata([((x * 3 + y * 5 + seed * 17) % 200) + rng.randrange(30) for y in range(h) for x in range(w)])
    if mode == 'RGB':
        return Image.merge('RGB', (img, img, img))
    if mode == 'I;16':
        return Image.frombytes('I;16', (w, h), b''.join((v * 9).to_bytes(2, 'little') for v in img.getdata()))
    return img


def sc_module(ds):
    ds.ConversionType = 'WSD'
    ds.PatientOrientation = ''
    ds.Laterality = ''


def fill_image_file(p, ds, pt, cs, number):
    """Descriptions, code meanings, labels, UC/UR/UT, private and UN/OB elements."""
    for tag, vr in ((0x00081030, 'LO'), (0x0008103E, 'LO'), (0x00204000, 'LT'), (0x00181030, 'LO')):
        p.put(ds, tag, vr, pt, cs)
    proc = code('P-%d' % number, '99ADV', 'x')
    ds.ProcedureCodeSequence = Sequence([proc])
    p.put(proc, 0x00080104, 'LO', pt, cs, item_prefix('', 0x00081032, 0))
    # referring physician identification with a person identification code
    pid = code('x', '99ADV', 'x')
    p.put(pid, 0x00080100, 'SH', pt, cs, item_prefix(item_prefix('', 0x00080096, 0), 0x00401101, 0),
          maxlen=16, kinds=['id'])
    p.put(pid, 0x00080104, 'LO', pt, cs, item_prefix(item_prefix('', 0x00080096, 0), 0x00401101, 0))
    ref = Dataset()
    p.put(ref, 0x00080080, 'LO', pt, cs, item_prefix('', 0x00080096, 0), kinds=['institution'])
    ref.PersonIdentificationCodeSequence = Sequence([pid])
    ds.ReferringPhysicianIdentificationSequence = Sequence([ref])
    ds.WindowCenter, ds.WindowWidth = '128', '256'
    p.put(ds, 0x00281055, 'LO', pt, cs)
    dim = Dataset()
    dim.DimensionIndexPointer = 0x00209157
    p.put(dim, 0x00209421, 'LO', pt, cs, item_prefix('', 0x00209222, 0))
    ds.DimensionIndexSequence = Sequence([dim])
    fc = Dataset()
    fc.DimensionIndexValues = 1
    p.put(fc, 0x00209453, 'LO', pt, cs, item_prefix(item_prefix('', 0x52009230, 0), 0x00209111, 0))
    pf = Dataset()
    pf.FrameContentSequence = Sequence([fc])
    ds.PerFrameFunctionalGroupsSequence = Sequence([pf])
    p.put(ds, 0x00081190, 'UR', pt, cs, maxlen=200)
    p.put(ds, 0x00189908, 'UC', pt, cs, maxlen=200)
    p.put(ds, 0x00321066, 'UT', pt, cs, maxlen=500)
    p.put(ds, 0x0018990F, 'UT', pt, cs, maxlen=500)
    p.put(ds, 0x001021B0, 'UN', pt, cs)   # a public element whose VR was lost
    ds.add_new(0x00090010, 'LO', 'ADVCORPUS 1')
    p.put(ds, 0x00091001, 'LO', pt, cs)
    p.put(ds, 0x00091002, 'UN', pt, cs)
    p.put(ds, 0x00091003, 'OB', pt, cs)


def make_img(p, pt, cs, number, ts=ExplicitVRLittleEndian):
    ds = base(p, pt, SC, 'OT', cs, ts, number)
    sc_module(ds)
    ds.BurnedInAnnotation = 'NO'
    image(ds, gradient(32, 32, number), 'L')
    fill_image_file(p, ds, pt, cs, number)
    return ds


def make_overlay(p, pt, cs, number):
    ds = base(p, pt, SC, 'OT', cs, ExplicitVRLittleEndian, number, std=False)
    sc_module(ds)
    ds.BurnedInAnnotation = 'NO'
    image(ds, gradient(32, 32, number), 'L')
    p.put(ds, 0x00081030, 'LO', pt, cs)
    ds.add_new(0x60000010, 'US', 32)
    ds.add_new(0x60000011, 'US', 32)
    ds.add_new(0x60000040, 'CS', 'G')
    ds.add_new(0x60000050, 'SS', [1, 1])
    ds.add_new(0x60000100, 'US', 1)
    ds.add_new(0x60000102, 'US', 0)
    p.put(ds, 0x60000022, 'LO', pt, cs)
    p.put(ds, 0x60001500, 'LO', pt, cs)
    ds.add_new(0x60003000, 'OW', bytes((i * 37) % 256 for i in range(32 * 32 // 8)))
    # meta group: application entity titles, presentation address, private information
    meta = ds.file_meta
    for tag in (0x00020016, 0x00020017, 0x00020018):
        p.put(meta, tag, 'AE', pt, cs, maxlen=16)
    p.put(meta, 0x00020026, 'UR', pt, cs, maxlen=200)
    meta.add_new(0x00020100, 'UI', '1.2.826.0.1.3680043.8.498.77')
    p.put(meta, 0x00020102, 'OB', pt, cs)
    return ds


def make_gsps(p, pt, cs, number, ref_sop):
    ds = base(p, pt, GSPS, 'PR', cs, ImplicitVRLittleEndian if number % 2 else ExplicitVRLittleEndian,
              number, std=False)
    ds.PresentationCreationDate, ds.PresentationCreationTime = '20240118', '090000'
    p.put(ds, 0x00700080, 'CS', pt, cs, maxlen=16)
    p.put(ds, 0x00700081, 'LO', pt, cs)
    p.put(ds, 0x00700084, 'PN', pt, cs, kinds=['name', 'physician'])
    ref = Dataset()
    ref.SeriesInstanceUID = uid(pt['key'], number - 2, 'series')
    img = Dataset()
    img.ReferencedSOPClassUID, img.ReferencedSOPInstanceUID = SC, ref_sop
    ref.ReferencedImageSequence = Sequence([img])
    ds.ReferencedSeriesSequence = Sequence([ref])
    layer = Dataset()
    layer.GraphicLayer, layer.GraphicLayerOrder = 'NOTES', 1
    p.put(layer, 0x00700068, 'LO', pt, cs, item_prefix('', 0x00700060, 0))
    ds.GraphicLayerSequence = Sequence([layer])
    ann = Dataset()
    ann.GraphicLayer = 'NOTES'
    ann.ReferencedImageSequence = Sequence([img])
    txt = Dataset()
    txt.BoundingBoxAnnotationUnits = 'PIXEL'
    txt.BoundingBoxTopLeftHandCorner, txt.BoundingBoxBottomRightHandCorner = [1.0, 1.0], [30.0, 8.0]
    txt.BoundingBoxTextHorizontalJustification = 'LEFT'
    p.put(txt, 0x00700006, 'ST', pt, cs, item_prefix(item_prefix('', 0x00700001, 0), 0x00700008, 0))
    ann.TextObjectSequence = Sequence([txt])
    ds.GraphicAnnotationSequence = Sequence([ann])
    ds.PresentationLUTShape = 'IDENTITY'
    ds.ImageHorizontalFlip = 'N'
    ds.ImageRotation = 0
    dd = Dataset()
    dd.ReferencedImageSequence = Sequence([img])
    dd.PresentationSizeMode = 'SCALE TO FIT'
    dd.DisplayedAreaTopLeftHandCorner, dd.DisplayedAreaBottomRightHandCorner = [1, 1], [32, 32]
    dd.PresentationPixelAspectRatio = [1, 1]
    ds.DisplayedAreaSelectionSequence = Sequence([dd])
    ds.InstanceNumber = '1'
    return ds


def item(rel, vtype, concept, **values):
    it = Dataset()
    it.RelationshipType = rel
    it.ValueType = vtype
    it.ConceptNameCodeSequence = Sequence([code(*concept)])
    if vtype == 'CONTAINER':
        it.ContinuityOfContent = 'SEPARATE'
    for k, v in values.items():
        setattr(it, k, v)
    return it


def make_sr(p, pt, number):
    """Comprehensive SR in UTF-8 (deflated for every second patient), text six levels deep."""
    cs = 'ISO_IR 192'
    ts = DeflatedExplicitVRLittleEndian if number % 2 else ExplicitVRLittleEndian
    ds = base(p, pt, CSR, 'SR', cs, ts, number, std=False)
    ds.ValueType = 'CONTAINER'
    ds.ConceptNameCodeSequence = Sequence([code('18748-4', 'LN', 'Diagnostic Imaging Report')])
    ds.ContinuityOfContent = 'SEPARATE'
    ds.CompletionFlag, ds.VerificationFlag = 'COMPLETE', 'UNVERIFIED'
    ds.PerformedProcedureCodeSequence = Sequence()
    ds.ReferencedPerformedProcedureStepSequence = Sequence()
    # nesting: ContentSequence[0] > [0] > [0] > [k] (level 4) > [0] (5) > [0] (6)
    l1 = item('CONTAINS', 'CONTAINER', ('121070', 'DCM', 'Findings'))
    l2 = item('CONTAINS', 'CONTAINER', ('121071', 'DCM', 'Finding'))
    l3 = item('CONTAINS', 'CONTAINER', ('125007', 'DCM', 'Measurement Group'))
    l1.ContentSequence, l2.ContentSequence = Sequence([l2]), Sequence([l3])
    ds.ContentSequence = Sequence([l1])
    pre = ''.join(item_prefix('', 0x0040A730, 0) for _ in range(3))
    txt = item('CONTAINS', 'TEXT', ('121106', 'DCM', 'Comment'))
    p.put(txt, 0x0040A160, 'UT', pt, cs, pre + item_prefix('', 0x0040A730, 0), maxlen=300)
    pn = item('CONTAINS', 'PNAME', ('121008', 'DCM', 'Person Observer Name'))
    p.put(pn, 0x0040A123, 'PN', pt, cs, pre + item_prefix('', 0x0040A730, 1), kinds=['name', 'physician'])
    cd = item('CONTAINS', 'CODE', ('121071', 'DCM', 'Finding'))
    cc = code('ADV%d' % number, '99ADV', 'x')
    p.put(cc, 0x00080104, 'LO', pt, cs, item_prefix(pre + item_prefix('', 0x0040A730, 2), 0x0040A168, 0))
    cd.ConceptCodeSequence = Sequence([cc])
    da = item('CONTAINS', 'DATE', ('111060', 'DCM', 'Study Date'), Date=pt['birth'] or '20240117')
    p.record(pt, pre + item_prefix('', 0x0040A730, 3) + '(0040,A121)', [('date', pt['birth'], 'SR DATE')])
    l5 = item('HAS PROPERTIES', 'TEXT', ('121106', 'DCM', 'Comment'))
    p.put(l5, 0x0040A160, 'UT', pt, cs, pre + item_prefix(item_prefix('', 0x0040A730, 2), 0x0040A730, 0))
    l6 = item('HAS PROPERTIES', 'CODE', ('121071', 'DCM', 'Finding'))
    c6 = code('ADV6', '99ADV', 'x')
    p.put(c6, 0x00080104, 'LO', pt, cs, item_prefix(pre + ''.join(
        item_prefix('', 0x0040A730, i) for i in (2, 0, 0)), 0x0040A168, 0))
    l6.ConceptCodeSequence = Sequence([c6])
    l5.ContentSequence = Sequence([l6])
    cd.ContentSequence = Sequence([l5])
    l3.ContentSequence = Sequence([txt, pn, cd, da])
    return ds


MINI_PDF = (b'%PDF-1.1\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n2 0 obj<</Type/Pages/Kids[3 0 R]'
            b'/Count 1>>endobj\n3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]>>endobj\n'
            b'trailer<</Root 1 0 R>>\n%%EOF\n')


def make_pdf(p, pt, cs, number):
    ds = base(p, pt, PDF, 'DOC', cs, ExplicitVRLittleEndian, number, std=False)
    ds.ConversionType = 'WSD'
    ds.BurnedInAnnotation = 'YES'
    ds.ConceptNameCodeSequence = Sequence()
    ds.AcquisitionDateTime = '20240117101500'
    p.put(ds, 0x00420010, 'ST', pt, cs)
    ds.MIMETypeOfEncapsulatedDocument = 'application/pdf'
    ds.EncapsulatedDocument = pad(MINI_PDF)
    return ds


def add_padding(ds, p, pt, cs):
    """The exact name as DataSetTrailingPadding."""
    ds.add_new(0xFFFCFFFC, 'OB', pad(encode(pt['pn'], cs)))
    p.record(pt, '(FFFC,FFFC)', [('name', pt['pn'], 'exact, padding')], pt['pn'])


def command_value(p, pt, cs):
    """An ErrorComment (0000,0902) left in a stored file; see insert_command."""
    text, pcs = p.text(pt, cs, 'LO')
    p.record(pt, '(0000,0902)', pcs, text)
    return pad(encode(text, cs))


def insert_command(path, value):
    """pydicom writes no command group into a file, so it goes in after the meta group."""
    with open(path, 'rb') as f:
        data = f.read()
    glen = int.from_bytes(data[140:144], 'little')
    at = 144 + glen
    elem = b'\x00\x00\x02\x09LO' + len(value).to_bytes(2, 'little') + value
    with open(path, 'wb') as f:
        f.write(data[:at] + elem + data[at:])


# ---------------------------------------------------------------------------------------
# images with and without burned-in text

def render(w, h, lines, mode, bg_seed, fan=False):
    img = gradient(w, h, bg_seed).point(lambda v: v // 3)
    if fan:
        d = ImageDraw.Draw(img)
        d.pieslice([w // 2 - h, -h // 2, w // 2 + h, h + h // 2], 60, 120, fill=90)
    d = ImageDraw.Draw(img)
    y = 6
    for text, font, size in lines:
        f = ImageFont.truetype(FONTS + font, size)
        d.text((8, y), text, font=f, fill=255)
        y += size + 6
    if mode == 'RGB':
        return Image.merge('RGB', (img, img, img.point(lambda v: min(255, v + 20))))
    if mode == 'I;16':
        return Image.frombytes('I;16', (w, h), b''.join((v * 16).to_bytes(2, 'little') for v in img.getdata()))
    return img


def ct_module(ds, image_type):
    ds.ImageType = image_type
    ds.FrameOfReferenceUID = uid(ds.SeriesInstanceUID, 'for')
    ds.PositionReferenceIndicator = ''
    ds.PatientPosition = 'HFS'
    ds.KVP, ds.AcquisitionNumber, ds.SliceThickness = '120', '1', '5'
    ds.ImagePositionPatient, ds.ImageOrientationPatient = [0, 0, 0], [1, 0, 0, 0, 1, 0]
    ds.PixelSpacing, ds.SliceLocation = [0.5, 0.5], '0'
    ds.RescaleIntercept, ds.RescaleSlope, ds.RescaleType = '-1024', '1', 'HU'
    ds.WindowCenter, ds.WindowWidth = '40', '400'


BURNED = [  # patient, kind, lines (text, font, size)
    ('doe', 'sc', [('DOE JOHN  MRN642341', 'dejavu/DejaVuSans.ttf', 18), ('23.01.1971', 'dejavu/DejaVuSans.ttf', 12)]),
    ('muller', 'us', [('Müller, Zoë', 'liberation/LiberationSans-Bold.ttf', 16), ('ZM884213', 'liberation/LiberationMono-Regular.ttf', 14)]),
    ('zhukov', 'ct16', [('ЖУКОВСКАЯ О.П.', 'dejavu/DejaVuSansMono.ttf', 13), ('RU10433827  05.03.1962', 'dejavu/DejaVuSansMono.ttf', 13)]),
    ('dvorak', 'jpeg', [('Dvořáková Růžena', 'dejavu/DejaVuSerif-Bold.ttf', 22), ('CZ7731904', 'dejavu/DejaVuSerif.ttf', 16)]),
    ('papa', 'rle', [('Παπαδοπούλου Ελένη', 'liberation/LiberationSans-Italic.ttf', 18), ('GR40028815', 'liberation/LiberationSans-Regular.ttf', 20)]),
    ('yamada', 'secondary', [('YAMADA TAROU', 'liberation/LiberationSansNarrow-Regular.ttf', 15), ('JP0094412 1948-11-30', 'liberation/LiberationSerif-Regular.ttf', 11)]),
]
CLEAN_IMAGES = ['ct16', 'sc', 'jpeg', 'us']


def make_picture(p, pt, kind, lines, number):
    """An image of the given kind; with lines, their text is burned into the pixels."""
    cs = 'ISO_IR 192'
    w, h = (256, 192)
    ts = {'jpeg': JPEGBaseline8Bit, 'rle': RLELossless}.get(kind, ExplicitVRLittleEndian)
    sop, modality = {'us': (US, 'US'), 'ct16': (CT, 'CT'), 'secondary': (CT, 'CT')}.get(kind, (SC, 'OT'))
    ds = base(p, pt, sop, modality, cs, ExplicitVRLittleEndian, number, std=False)
    mode = {'us': 'RGB', 'ct16': 'I;16', 'secondary': 'I;16'}.get(kind, 'L')
    pix = render(w, h, lines, mode, number, fan=kind == 'us')
    image(ds, pix, mode)
    if sop == SC:
        sc_module(ds)
    if sop == CT:
        ct_module(ds, ['DERIVED', 'SECONDARY', 'AXIAL'] if kind == 'secondary' else ['ORIGINAL', 'PRIMARY', 'AXIAL'])
    if kind == 'us':
        ds.ImageType = ['ORIGINAL', 'PRIMARY', 'ABDOMINAL']
        ds.PatientOrientation = ''
        ds.Laterality = ''
    if kind in ('sc', 'jpeg') or not lines:
        ds.BurnedInAnnotation = 'YES' if lines else 'NO'
    for text, _, _ in lines:
        p.record(pt, '(7FE0,0010)', [('image-text', text, 'burned in')], text)
    if kind == 'jpeg':
        buf = io.BytesIO()
        pix.save(buf, 'JPEG', quality=92)
        ds.PixelData = encapsulate([buf.getvalue()])
        ds['PixelData'].VR = 'OB'
        ds.LossyImageCompression, ds.LossyImageCompressionRatio = '01', '8'
        ds.LossyImageCompressionMethod = 'ISO_10918_1'
        ds.PhotometricInterpretation = 'YBR_FULL_422' if mode == 'RGB' else 'MONOCHROME2'
        ds.file_meta.TransferSyntaxUID = JPEGBaseline8Bit
        ds.is_implicit_VR = False
    elif kind == 'rle':
        ds.compress(RLELossless)
    return ds


# ---------------------------------------------------------------------------------------

def main():
    if len(sys.argv) != 2:
        sys.exit('usage: adversarial.py OUT_DIR')
    out = sys.argv[1]
    corpus = os.path.join(out, 'corpus')
    if os.path.exists(corpus):
        sys.exit('%s exists; use a fresh OUT_DIR' % corpus)
    os.makedirs(corpus)
    pydicom.config.replace_un_with_known_vr = False   # keep the UN elements UN
    p = Planter()
    number = [0]

    def save(ds, rel, role, pt, command=None):
        path = os.path.join(corpus, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        ds.save_as(path, write_like_original=False)
        if command:
            insert_command(path, command)
        p.files[rel] = {'role': role, 'patient': pt['key'],
                        'marker': [int(ds.SeriesNumber), int(ds.InstanceNumber)]}

    def nxt(rel):
        number[0] += 1
        p.file = rel
        return number[0]

    for i, pt in enumerate(PATIENTS):
        cs = pt['charset']
        folder = '_'.join(sp for sp, _ in pt['folder']) or 'case_%02d' % (i + 1)
        for spelling, kind in pt['folder']:
            p.plants.append({'patient': pt['key'], 'file': folder + '/', 'path': 'name', 'value': spelling,
                             'kind': kind, 'variant': 'folder name', 'text': folder})
        named = pt['pn'].split('=')[0].upper().rstrip('^')   # DOE^JOHN_19710123.dcm
        first = '%s_%s.dcm' % (named, pt['birth']) if i % 2 == 0 else 'img_01.dcm'
        names = [first, 'ovl_%s.dcm' % pt['id'], 'pr_01.dcm', 'sr_01.dcm', 'doc_01.dcm', 'img_02.dcm']
        rels = [os.path.join(folder, 'series_%d' % (k % 2), nm) for k, nm in enumerate(names)]
        if i % 2 == 0:
            p.plants.append({'patient': pt['key'], 'file': rels[0], 'path': 'name', 'value': named,
                             'kind': 'name', 'variant': 'file name', 'text': first})
            p.plants.append({'patient': pt['key'], 'file': rels[0], 'path': 'name', 'value': pt['birth'],
                             'kind': 'date', 'variant': 'file name', 'text': first})
        img = make_img(p, pt, cs, nxt(rels[0]))
        save(img, rels[0], 'patient', pt)
        n = nxt(rels[1])
        p.plants.append({'patient': pt['key'], 'file': rels[1], 'path': 'name', 'value': pt['id'],
                         'kind': 'id', 'variant': 'file name', 'text': names[1]})
        ovl = make_overlay(p, pt, cs, n)
        add_padding(ovl, p, pt, cs)
        command = command_value(p, pt, cs) if i < 2 else None  # dciodvfy stops at it: only two
        save(ovl, rels[1], 'patient', pt, command)
        n = nxt(rels[2])
        save(make_gsps(p, pt, cs, n, img.SOPInstanceUID), rels[2], 'patient', pt)
        n = nxt(rels[3])
        save(make_sr(p, pt, n), rels[3], 'patient', pt)
        n = nxt(rels[4])
        save(make_pdf(p, pt, cs, n), rels[4], 'patient', pt)
        n = nxt(rels[5])
        img2 = make_img(p, pt, 'ISO_IR 192', n, ImplicitVRLittleEndian if i % 2 else ExplicitVRLittleEndian)
        add_padding(img2, p, pt, 'ISO_IR 192')
        save(img2, rels[5], 'patient', pt)
    # control files: the same kinds of file, neutral values only
    ctl = CONTROL
    for k, make in enumerate([lambda n: make_img(p, ctl, 'ISO_IR 100', n), lambda n: make_overlay(p, ctl, 'ISO_IR 100', n),
                              lambda n: make_gsps(p, ctl, 'ISO_IR 100', n, uid('control', 'x')),
                              lambda n: make_sr(p, ctl, n), lambda n: make_pdf(p, ctl, 'ISO_IR 100', n),
                              lambda n: make_img(p, ctl, 'ISO_IR 192', n, ImplicitVRLittleEndian),
                              lambda n: make_picture(p, ctl, 'ct16', [], n),
                              lambda n: make_sr(p, ctl, n)]):
        rel = 'controls/control_%02d.dcm' % k
        save(make(nxt(rel)), rel, 'control', ctl)
    for key, kind, lines in BURNED:
        pt = next(x for x in PATIENTS if x['key'] == key)
        rel = 'images/burned_%s_%s.dcm' % (kind, key[:2])
        save(make_picture(p, pt, kind, lines, nxt(rel)), rel, 'burned', pt)
    for kind in CLEAN_IMAGES:
        rel = 'images/clean_%s.dcm' % kind
        save(make_picture(p, dict(CONTROL, pn='PHANTOM^WATER', id='WATER01'), kind, [], nxt(rel)),
             rel, 'image-control', CONTROL)
    patients = {pt['key']: {k: pt[k] for k in ('pn', 'charset', 'id', 'birth', 'acc', 'other', 'address',
                                                 'phone', 'inst', 'station', 'doctors')} for pt in PATIENTS}
    with open(os.path.join(out, 'manifest.json'), 'w', encoding='utf-8') as f:
        json.dump({'corpus': 'corpus', 'patients': patients, 'files': p.files, 'plants': p.plants},
                  f, indent=1, ensure_ascii=False)
    print('%d files (%d controls, %d burned-in, %d clean images), %d planted identifiers in %s' % (
        len(p.files), sum(f['role'] == 'control' for f in p.files.values()), len(BURNED), len(CLEAN_IMAGES),
        len(p.plants), corpus))


if __name__ == '__main__':
    main()
