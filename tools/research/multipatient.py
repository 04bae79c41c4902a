#!/usr/bin/python3
"""Write a multi-patient, multi-study corpus for checking research-ready copies.

Usage: /usr/bin/python3 multipatient.py OUT [--seed S] [--patients N]

Builds N (6-8, default 8) invented patients from pydicom's test files (CT, MR, NM, SC, ECG, SEG,
Basic Text SR, RT Structure Set, Plan and Dose). Each patient has 2-4 studies months to years
apart, each study one or more series of one or more instances, with fresh Study, Series, SOP
Instance and Frame of Reference UIDs and references between the instances of a study (SR to
images, SEG to its CT, RT Structure Set to the planning CT, Plan to Structure Set, Dose to Plan).
The patients are made to be told apart only by what identifies them:
  two share a PatientID under different issuers, one has an empty PatientID (name and birth
  date only, its name written in ISO_IR 100 in some files and ISO_IR 192 in others), one ID has
  spaces and lower case (and is written once with a leading space, which LO does not count),
  one differs from another only by case, one shares name and birth date with another, names
  are non-ASCII in ISO_IR 100 and ISO_IR 192.
Every DA, DT and TM the files hold is set from the patient's calendar: study, series,
acquisition, content and creation dates, DT with an offset (+0100, -0500), with fractions,
with a partial time and one year-only DT ("2019"), a multi-valued DA, a scan crossing midnight,
a leap day, dates one to three levels deep in standard sequences (Contributing Equipment,
Radiopharmaceutical Information, Verifying Observer, SR content items, SEG functional groups,
and in sequences the profile removes: Original Attributes, Acquisition Context). PatientAge
agrees with the birth date at each study.

Layout: OUT/<patient folder>/<study folder>/<series folder>/<file>.dcm, and OUT/mixed/ holding
a few patients' studies flat. OUT/manifest.json lists every file: relative path, patient key,
original PatientID, issuer, name and birth date, the source test file, the (SeriesNumber,
InstanceNumber) pair unique to the file, its UIDs and every DA, DT and TM by element path (the
CLI's residue-path format). Every file is checked with dciodvfy: it may not have more Error
lines than its source (exit status 1 otherwise). Deterministic for a given seed.
"""
import argparse
import datetime
import hashlib
import json
import os
import random
import re
import sys

import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.sequence import Sequence

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'privacy'))
from adversarial import item  # noqa: E402
from common import DEFAULT_REAL, dciodvfy_errors, walk  # noqa: E402
from plant import code  # noqa: E402

SRC = DEFAULT_REAL
SOURCES = {'ct': 'CT_small.dcm', 'mr': 'MR_small.dcm', 'nm': 'JPEG-lossy.dcm', 'sc': 'SC_rgb_rle.dcm',
           'ecg': 'waveform_ecg.dcm', 'seg': 'liver_1frame.dcm', 'sr': 'reportsi.dcm',
           'rtstruct': 'rtstruct.dcm', 'rtplan': 'rtplan.dcm', 'rtdose': 'rtdose_1frame.dcm'}
CT_CLASS = '1.2.840.10008.5.1.4.1.1.2'

# key, PatientID, issuer, name, birth, sex, charset, first study date, extra: other ID, a
# charset for every second file (same text, other encoding), a PatientID spelling for one file
PATIENTS = [
    dict(key='lindqvist', id='MRN100234', issuer='NORTH_GENERAL', name='Lindqvist^Erik^Johan',
         birth='19520314', sex='M', charset='ISO_IR 100', first='20181231', other='SE-520314-1234'),
    dict(key='okafor', id='MRN100234', issuer='SOUTH_CLINIC', name='Okafor^Ngozi', birth='19680921',
         sex='F', charset='ISO_IR 100', first='20150602'),
    dict(key='ferreira', id='', issuer='', name='Ferreira^João', birth='19450102', sex='M',
         charset='ISO_IR 100', alt_charset='ISO_IR 192', first='20131007'),
    dict(key='muller', id='ab 77 x', issuer='', name='Müller-Lüdenscheidt^Jürgen', birth='19790630',
         sex='M', charset='ISO_IR 100', first='20160111', id_variant=' ab 77 x'),
    dict(key='sotiriou', id='gr-0042/b', issuer='ΑΘΗΝΑ-ΓΝ', name='Σωτηρίου^Ελένη', birth='19880229',
         sex='F', charset='ISO_IR 192', first='20190814', fixed={1: '20200229'}),
    dict(key='nakamura', id='000731', issuer='', name='Nakamura^Yuki=中村^由紀=なかむら^ゆき',
         birth='20010815', sex='F', charset='ISO_IR 192', first='20020310', other='JP-99-000731'),
    dict(key='lindqvist2', id='MRN100235', issuer='NORTH_GENERAL', name='Lindqvist^Erik^Johan',
         birth='19520314', sex='M', charset='ISO_IR 100', first='20170420'),
    dict(key='dubois', id='mrn100234', issuer='NORTH_GENERAL', name='Dubois^Amélie', birth='19930411',
         sex='F', charset='ISO_IR 100', first='20200901'),
]

# study kind -> series: (modality, source key, instances, description)
STUDIES = {
    'ct': [('CT', 'ct', 3, 'AXIAL 5MM'), ('CT', 'ct', 2, 'CORONAL MPR'), ('SEG', 'seg', 1, 'LIVER SEG'),
           ('SR', 'sr', 1, 'REPORT')],
    'mr': [('MR', 'mr', 4, 'T1 SAG'), ('MR', 'mr', 2, 'T2 AX'), ('SR', 'sr', 1, 'REPORT')],
    'rt': [('CT', 'ct', 3, 'PLANNING CT'), ('RTSTRUCT', 'rtstruct', 1, 'CONTOURS'),
           ('RTPLAN', 'rtplan', 1, 'PLAN'), ('RTDOSE', 'rtdose', 1, 'DOSE')],
    'nm': [('NM', 'nm', 2, 'BONE SCAN')],
    'sc': [('OT', 'sc', 2, 'SCREEN CAPTURE')],
    'ecg': [('ECG', 'ecg', 1, 'RESTING ECG')],
}
STUDY_TITLES = {'ct': 'CT ABDOMEN', 'mr': 'MR KNEE', 'rt': 'RT PLANNING', 'nm': 'NM BONE', 'sc': 'SCREENSHOTS',
                'ecg': 'ECG'}
GAPS_MONTHS = [3, 4, 6, 9, 14, 18, 26, 37]


def d2s(d):
    return d.strftime('%Y%m%d')


def s2d(s):
    return datetime.date(int(s[:4]), int(s[4:6]), int(s[6:8]))


def age(birth, when):
    """PatientAge (AS) at a date: years from 2 on, else months, else weeks."""
    b, w = s2d(birth), s2d(when)
    years = w.year - b.year - ((w.month, w.day) < (b.month, b.day))
    if years >= 2:
        return '%03dY' % years
    months = (w.year - b.year) * 12 + w.month - b.month - (w.day < b.day)
    if months >= 1:
        return '%03dM' % months
    return '%03dW' % ((w - b).days // 7)


def safe(text):
    return re.sub(r'[/\\^=:*?"<>|]+', '_', text).strip('_ ')


class Corpus:
    def __init__(self, out, seed):
        self.out = out
        self.seed = seed
        self.rng = random.Random(seed)
        self.files = {}
        self.series_no = 0
        self.counts = {}

    def uid(self, *parts):
        h = hashlib.sha256('\0'.join(['vexar-research', str(self.seed)] + [str(p) for p in parts]).encode())
        return '2.25.%d' % int.from_bytes(h.digest()[:16], 'big')

    # -----------------------------------------------------------------------------------
    # the calendar

    def plan(self, pt, index):
        """Studies of one patient: [(kind, date, time, flat)]."""
        rng = self.rng
        n = 4 if index == 0 else 2 if index == 1 else 2 + rng.randrange(3)
        main = ['ct', 'mr', 'rt'][index % 3]
        kinds = [main] + rng.sample([k for k in STUDIES if k != main], n - 1)
        if index % 2 == 0:  # one study of every second patient lies in the flat folder
            kinds[-1] = ['nm', 'ecg', 'sc'][(index // 2) % 3]
        d = s2d(pt['first'])
        out = []
        for i, kind in enumerate(kinds):
            if i:
                d = d + datetime.timedelta(days=rng.choice(GAPS_MONTHS) * 30 + rng.randrange(-9, 10))
            if i in pt.get('fixed', {}):
                d = s2d(pt['fixed'][i])
            t = '%02d%02d%02d' % (rng.randrange(7, 19), rng.randrange(60), rng.randrange(60))
            if index == 0 and i == 0:
                t = '235500'  # the scan runs past midnight: acquisition on the next day
            out.append((kind, d2s(d), t, index % 2 == 0 and i == len(kinds) - 1))
        return out

    # -----------------------------------------------------------------------------------

    def load(self, key):
        return pydicom.dcmread(os.path.join(SRC, SOURCES[key]), force=True)

    def base(self, ds, pt, st, se, inst, file_no):
        """Identity, UIDs and the calendar of one file (file_no counts the patient's files from 1)."""
        ds.remove_private_tags()
        cs = pt['charset']
        if pt.get('alt_charset') and file_no % 2:
            cs = pt['alt_charset']
        ds.SpecificCharacterSet = cs
        ds.PatientName = pt['name']
        ds.PatientID = pt['id']
        if pt.get('id_variant') and file_no == 3:
            ds.PatientID = pt['id_variant']
        if pt['issuer']:
            ds.IssuerOfPatientID = pt['issuer']
        elif 'IssuerOfPatientID' in ds:
            del ds.IssuerOfPatientID
        for kw in ('OtherPatientIDs', 'OtherPatientNames', 'OtherPatientIDsSequence'):
            if kw in ds:
                delattr(ds, kw)
        if pt.get('other') and se['modality'] in ('CT', 'MR'):
            o = Dataset()
            o.PatientID = pt['other']
            o.IssuerOfPatientID = 'REGIONAL_REGISTRY'
            o.TypeOfPatientID = 'TEXT'
            ds.OtherPatientIDsSequence = Sequence([o])
        ds.PatientBirthDate = pt['birth']
        ds.PatientSex = pt['sex']
        ds.PatientAge = age(pt['birth'], st['date'])
        ds.StudyInstanceUID = st['uid']
        ds.SeriesInstanceUID = se['uid']
        ds.SOPInstanceUID = inst['uid']
        ds.SeriesNumber = se['number']
        ds.InstanceNumber = inst['number']
        ds.StudyID = st['id']
        ds.AccessionNumber = st['accession']
        ds.StudyDescription = st['title']
        ds.SeriesDescription = se['description']
        ds.Modality = se['modality']
        # every date and time the source holds takes the file's own, at every level
        date, time, dt = inst['date'], inst['time'], inst['date'] + inst['time']
        for _, e in list(walk(ds)):
            if e.VR == 'DA':
                e.value = date
            elif e.VR == 'TM':
                e.value = time
            elif e.VR == 'DT':
                e.value = dt
        ds.PatientBirthDate = pt['birth']
        ds.StudyDate, ds.StudyTime = st['date'], st['time']
        ds.InstanceCreationDate, ds.InstanceCreationTime = date, time
        if se['modality'] not in ('SR',):
            ds.SeriesDate, ds.SeriesTime = st['date'], se['time']
        ds.ContentDate, ds.ContentTime = date, time
        ds.TimezoneOffsetFromUTC = '+0100'
        meta = FileMetaDataset()
        old = getattr(ds, 'file_meta', None)
        meta.MediaStorageSOPClassUID = ds.SOPClassUID
        meta.MediaStorageSOPInstanceUID = inst['uid']
        meta.TransferSyntaxUID = (old.TransferSyntaxUID if old is not None and 'TransferSyntaxUID' in old
                                  else pydicom.uid.ImplicitVRLittleEndian)
        meta.ImplementationClassUID = '1.2.826.0.1.3680043.8.498.1'
        meta.ImplementationVersionName = 'VEXAR_RESEARCH'
        ds.file_meta = meta
        ds.preamble = b'\0' * 128
        return ds

    def contributing(self, when, manufacturer='Vexar Test Lab'):
        c = Dataset()
        c.PurposeOfReferenceCodeSequence = Sequence([code('109103', 'DCM', 'Modifying Equipment')])
        c.Manufacturer = manufacturer
        c.ContributionDateTime = when
        c.ContributionDescription = 'Header corrected'
        return Sequence([c])

    # -----------------------------------------------------------------------------------
    # one kind of file each

    def image(self, ds, pt, st, se, inst, k):
        acq = inst['acq']  # (date, time) of acquisition
        ds.AcquisitionDate, ds.AcquisitionTime = acq
        if se['modality'] == 'CT':
            ds.AcquisitionDateTime = acq[0] + acq[1] + '.250000+0100'
        elif se['modality'] == 'MR':
            ds.AcquisitionDateTime = acq[0] + acq[1]
        else:
            ds.AcquisitionDateTime = acq[0] + acq[1] + '-0500'
        if 'FrameOfReferenceUID' in ds or se['modality'] in ('CT', 'MR'):
            ds.FrameOfReferenceUID = se['for']
        if se['modality'] in ('CT', 'MR'):
            if 'ImagePositionPatient' in ds:
                ds.ImagePositionPatient = [ds.ImagePositionPatient[0], ds.ImagePositionPatient[1], 5.0 * k]
            ds.SliceLocation = 5.0 * k
            first = se['instances'][0]
            r = Dataset()
            r.ReferencedSOPClassUID = ds.SOPClassUID
            r.ReferencedSOPInstanceUID = first['uid'] if k else se['instances'][-1]['uid']
            ds.ReferencedImageSequence = Sequence([r])
            ds.PerformedProcedureStepStartDate, ds.PerformedProcedureStepStartTime = st['date'], st['time']
            ds.PerformedProcedureStepEndDate, ds.PerformedProcedureStepEndTime = acq
            ds.DateOfLastCalibration = [d2s(s2d(st['date']) - datetime.timedelta(days=40)),
                                        d2s(s2d(st['date']) - datetime.timedelta(days=3))]
            ds.TimeOfLastCalibration = ['071500', '064500']
            ds.ContributingEquipmentSequence = self.contributing(
                d2s(s2d(inst['date']) + datetime.timedelta(days=2)) + '10')  # DT with the hour only
        if se['modality'] == 'MR' and pt['sex'] == 'F':
            ds.LastMenstrualDate = d2s(s2d(st['date']) - datetime.timedelta(days=17))
        if se['modality'] == 'NM':
            ds.SourceImageSequence[0].ReferencedSOPInstanceUID = se['instances'][1 - k]['uid']
            rp = Dataset()
            rp.Radiopharmaceutical = 'Tc-99m MDP'
            rp.RadiopharmaceuticalStartDateTime = st['date'] + '%02d3000' % (int(st['time'][:2]) - 3 if int(st['time'][:2]) >= 3 else 0)
            rp.RadiopharmaceuticalStopDateTime = st['date'] + '%02d3100' % (int(st['time'][:2]) - 3 if int(st['time'][:2]) >= 3 else 0)
            rp.RadionuclideTotalDose = '740'
            ds.RadiopharmaceuticalInformationSequence = Sequence([rp])
        if se['modality'] == 'OT':
            ds.DateOfSecondaryCapture, ds.TimeOfSecondaryCapture = inst['date'], inst['time']
            ds.ContributingEquipmentSequence = self.contributing(inst['date'] + inst['time'] + '.5-0500')
        if st.get('partial') and k == 0 and se['modality'] == 'CT':
            ds.DateTimeOfLastCalibration = st['date'][:4]  # a DT that gives only the year
        if st.get('original') and k == 0:
            # the profile removes these: the previous StudyDate two levels down, a DT three down
            mod = Dataset()
            mod.StudyDate = d2s(s2d(st['date']) - datetime.timedelta(days=1))
            mod.ContributingEquipmentSequence = self.contributing(st['date'] + '080000')
            oa = Dataset()
            oa.SourceOfPreviousValues = ''
            oa.AttributeModificationDateTime = d2s(s2d(st['date']) + datetime.timedelta(days=1)) + '093000'
            oa.ModifyingSystem = 'PACS'
            oa.ReasonForTheAttributeModification = 'CORRECT'
            oa.ModifiedAttributesSequence = Sequence([mod])
            ds.OriginalAttributesSequence = Sequence([oa])
        return ds

    def ecg(self, ds, pt, st, se, inst, k):
        ds.AcquisitionDateTime = inst['date'] + inst['time'] + '.120000+0100'
        ds.AcquisitionContextSequence.append(item(None, 'DATE', ('VX.01', '99_OFFIS_DCMTK', 'Date of last ECG'),
                                                   Date=d2s(s2d(st['date']) - datetime.timedelta(days=400))))
        del ds.AcquisitionContextSequence[-1].RelationshipType
        return ds

    def seg(self, ds, pt, st, se, inst, k):
        ct = st['series'][0]
        ds.NumberOfFrames = 1
        ds.PerFrameFunctionalGroupsSequence = Sequence(ds.PerFrameFunctionalGroupsSequence[:1])
        ds.FrameOfReferenceUID = ct['for']
        src = ds.PerFrameFunctionalGroupsSequence[0].DerivationImageSequence[0].SourceImageSequence[0]
        src.ReferencedSOPClassUID = CT_CLASS
        src.ReferencedSOPInstanceUID = ct['instances'][0]['uid']
        fc = ds.PerFrameFunctionalGroupsSequence[0].FrameContentSequence[0]
        fc.FrameAcquisitionDateTime = ct['instances'][0]['acq'][0] + ct['instances'][0]['acq'][1]
        fc.FrameReferenceDateTime = ct['instances'][0]['acq'][0] + ct['instances'][0]['acq'][1]
        rs = Dataset()
        rs.SeriesInstanceUID = ct['uid']
        ri = Dataset()
        ri.ReferencedSOPClassUID = CT_CLASS
        ri.ReferencedSOPInstanceUID = ct['instances'][0]['uid']
        rs.ReferencedInstanceSequence = Sequence([ri])
        ds.ReferencedSeriesSequence = Sequence([rs])
        for kw in ('ClinicalTrialTimePointID', 'ClinicalTrialCoordinatingCenterName', 'ClinicalTrialSeriesID'):
            if kw in ds:
                delattr(ds, kw)
        ds.ContentCreatorName = 'Segmenter^Auto'
        return ds

    def sr(self, ds, pt, st, se, inst, k):
        imgs = [i for s in st['series'] if s['modality'] in ('CT', 'MR') for i in s['instances']]
        cls = lambda i: i['class']
        ds.ContentSequence = Sequence()
        obs = item('HAS OBS CONTEXT', 'PNAME', ('IHE.04', '99_OFFIS_DCMTK', "Recording Observer's Name"),
                   PersonName='Radiologist^Anna')
        when = item('HAS OBS CONTEXT', 'DATETIME', ('VX.02', '99_OFFIS_DCMTK', 'Observation DateTime'),
                    DateTime=inst['date'] + inst['time'] + '+0100')

        def image_item(rel, i):
            it = item(rel, 'IMAGE', ('IHE.10', '99_OFFIS_DCMTK', 'Image Reference'))
            r = Dataset()
            r.ReferencedSOPClassUID = cls(i)
            r.ReferencedSOPInstanceUID = i['uid']
            it.ReferencedSOPSequence = Sequence([r])
            return it
        text = item('CONTAINS', 'TEXT', ('IHE.09', '99_OFFIS_DCMTK', 'Report Text'),
                    TextValue='Findings stable compared with the prior study.',
                    ObservationDateTime=inst['date'] + inst['time'])
        text.ContentSequence = Sequence([image_item('INFERRED FROM', imgs[0])])
        prior = st.get('prior_date') or st['date']
        fu = item('CONTAINS', 'CONTAINER', ('VX.03', '99_OFFIS_DCMTK', 'Follow-up'))
        fu.ContentSequence = Sequence([
            item('CONTAINS', 'DATE', ('VX.04', '99_OFFIS_DCMTK', 'Recommended follow-up date'),
                 Date=d2s(s2d(st['date']) + datetime.timedelta(days=182))),
            item('CONTAINS', 'DATETIME', ('VX.05', '99_OFFIS_DCMTK', 'Scan DateTime'),
                 DateTime=imgs[0]['acq'][0] + imgs[0]['acq'][1] + '.5+0100')])
        findings = item('CONTAINS', 'CONTAINER', ('IHE.08', '99_OFFIS_DCMTK', 'Section Heading'))
        findings.ContentSequence = Sequence([
            text, image_item('CONTAINS', imgs[-1]),
            item('CONTAINS', 'DATE', ('VX.06', '99_OFFIS_DCMTK', 'Date of prior study'), Date=prior),
            item('CONTAINS', 'TIME', ('VX.07', '99_OFFIS_DCMTK', 'Time of scan'), Time=imgs[0]['acq'][1]),
            fu])
        ds.ContentSequence = Sequence([obs, when, findings])
        vo = Dataset()
        vo.VerifyingObserverName = 'Radiologist^Anna'
        vo.VerifyingObserverIdentificationCodeSequence = Sequence()
        vo.VerifyingOrganization = 'Radiology'
        vo.VerificationDateTime = d2s(s2d(inst['date']) + datetime.timedelta(days=1)) + '083000+0100'
        ds.VerifyingObserverSequence = Sequence([vo])
        ds.VerificationFlag = 'VERIFIED'
        ds.CompletionFlag = 'COMPLETE'
        ev = Dataset()
        ev.StudyInstanceUID = st['uid']
        ev.ReferencedSeriesSequence = Sequence()
        for s in st['series']:
            if s['modality'] in ('CT', 'MR'):
                rs = Dataset()
                rs.SeriesInstanceUID = s['uid']
                rs.ReferencedSOPSequence = Sequence()
                for i in s['instances']:
                    r = Dataset()
                    r.ReferencedSOPClassUID = cls(i)
                    r.ReferencedSOPInstanceUID = i['uid']
                    rs.ReferencedSOPSequence.append(r)
                ev.ReferencedSeriesSequence.append(rs)
        ds.CurrentRequestedProcedureEvidenceSequence = Sequence([ev])
        ds.ReferringPhysicianName = 'Referrer^Paul'
        return ds

    def rtstruct(self, ds, pt, st, se, inst, k):
        ct = st['series'][0]
        ds.FrameOfReferenceUID = ct['for']
        ds.PositionReferenceIndicator = ''
        ds.StructureSetDate, ds.StructureSetTime = inst['date'], inst['time']
        rf = ds.ReferencedFrameOfReferenceSequence[0]
        rf.FrameOfReferenceUID = ct['for']
        rstudy = rf.RTReferencedStudySequence[0]
        rstudy.ReferencedSOPClassUID = '1.2.840.10008.3.1.2.3.1'
        rstudy.ReferencedSOPInstanceUID = st['uid']
        rser = rstudy.RTReferencedSeriesSequence[0]
        rser.SeriesInstanceUID = ct['uid']
        rser.ContourImageSequence = Sequence()
        for i in ct['instances']:
            r = Dataset()
            r.ReferencedSOPClassUID = CT_CLASS
            r.ReferencedSOPInstanceUID = i['uid']
            rser.ContourImageSequence.append(r)
        for roi in ds.StructureSetROISequence:
            roi.ReferencedFrameOfReferenceUID = ct['for']
        for c in ds.ROIContourSequence:
            for cc in c.get('ContourSequence', []):
                if 'ContourImageSequence' in cc:
                    for r in cc.ContourImageSequence:
                        r.ReferencedSOPClassUID = CT_CLASS
                        r.ReferencedSOPInstanceUID = ct['instances'][0]['uid']
        return ds

    def rtplan(self, ds, pt, st, se, inst, k):
        ds.RTPlanDate, ds.RTPlanTime = inst['date'], inst['time']
        del ds.ReferencedRTPlanSequence
        ss = st['series'][1]['instances'][0]
        ds.ReferencedStructureSetSequence[0].ReferencedSOPInstanceUID = ss['uid']
        ds.ApprovalStatus = 'APPROVED'
        ds.ReviewDate = d2s(s2d(inst['date']) + datetime.timedelta(days=1))
        ds.ReviewTime = '101500'
        ds.ReviewerName = 'Physicist^Omar'
        ds.FrameOfReferenceUID = st['series'][0]['for']
        ds.PositionReferenceIndicator = ''
        return ds

    def rtdose(self, ds, pt, st, se, inst, k):
        plan = st['series'][2]['instances'][0]
        ds.ReferencedRTPlanSequence[0].ReferencedSOPInstanceUID = plan['uid']
        ds.FrameOfReferenceUID = st['series'][0]['for']
        return ds

    # -----------------------------------------------------------------------------------

    def build_patient(self, pt, index):
        studies = []
        prev = None
        for si, (kind, date, time, flat) in enumerate(self.plan(pt, index)):
            st = dict(kind=kind, date=date, time=time, flat=flat, uid=self.uid(pt['key'], si, 'study'),
                      id='S%d' % (si + 1), accession='A%02d%04d' % (index + 1, si + 1 + self.rng.randrange(9000)),
                      title=STUDY_TITLES[kind], prior_date=prev, series=[],
                      partial=(index == 0 and si == 0), original=(kind == 'rt'))
            prev = date
            studies.append(st)
            for ser_i, (modality, src, n, desc) in enumerate(STUDIES[kind]):
                self.series_no += 1
                later_series = ser_i and modality in ('CT', 'MR') and time[:2] != '23'
                stime = '%02d%s' % (int(time[:2]) + (1 if later_series else 0), time[2:])
                se = dict(modality=modality, src=src, number=self.series_no, description=desc, time=stime,
                          uid=self.uid(pt['key'], si, ser_i, 'series'), instances=[],
                          **{'for': self.uid(pt['key'], si, 0 if kind == 'rt' or src == 'seg' else ser_i, 'for')})
                st['series'].append(se)
                for k in range(n):
                    idate, itime = date, stime
                    later = {'sr': 1, 'rtstruct': 2, 'rtplan': 4, 'rtdose': 4, 'seg': 1}.get(src)
                    if later:
                        idate = d2s(s2d(date) + datetime.timedelta(days=later))
                        itime = '%02d%02d00' % (8 + later, 10 * k)
                    acq = (date, '%s%02d%02d' % (stime[:2], int(stime[2:4]), (k * 7) % 60))
                    if time == '235500' and modality == 'CT':
                        acq = (d2s(s2d(date) + datetime.timedelta(days=1)), '00%02d30' % (7 + k))
                    se['instances'].append(dict(uid=self.uid(pt['key'], si, ser_i, k, 'sop'), number=k + 1,
                                                date=idate, time=itime, acq=acq))
                build = {'ct': self.image, 'mr': self.image, 'nm': self.image, 'sc': self.image,
                         'ecg': self.ecg, 'seg': self.seg, 'sr': self.sr, 'rtstruct': self.rtstruct,
                         'rtplan': self.rtplan, 'rtdose': self.rtdose}[src]
                for k, inst in enumerate(se['instances']):
                    ds = self.load(src)
                    inst['class'] = str(ds.SOPClassUID)
                    self.counts[pt['key']] = self.counts.get(pt['key'], 0) + 1
                    self.base(ds, pt, st, se, inst, self.counts[pt['key']])
                    build(ds, pt, st, se, inst, k)
                    self.write(ds, pt, st, se, inst, k, si)
        return studies

    def write(self, ds, pt, st, se, inst, k, si):
        last, _, rest = pt['name'].split('=')[0].partition('^')
        pfolder = safe('%s %s %s' % (last, rest.split('^')[0], pt['id'] or pt['birth']))
        if '=' in pt['name']:
            pfolder += ' ' + pt['name'].split('=')[1].replace('^', '')
        if st['flat']:
            n = sum(1 for r in self.files if r.startswith('mixed/')) + 1
            name = ('%s_%s_%d.dcm' % (safe(pt['id'] or last), se['modality'], k + 1)) if n % 3 == 0 \
                else 'export_%04d.dcm' % n
            rel = 'mixed/' + name
        else:
            sfolder = '%s_%s' % (st['date'], st['title'].replace(' ', '_'))
            efolder = '%03d_%s_%s' % (se['number'], se['modality'], se['description'].replace(' ', '_'))
            fname = ('%s_%s%d.dcm' % (safe(last), se['modality'], k + 1)) if si == 0 and se['number'] % 2 \
                else 'IM%04d.dcm' % (k + 1)
            rel = '/'.join([pfolder, sfolder, efolder, fname])
        path = os.path.join(self.out, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        ds.save_as(path, write_like_original=False)
        dates, times, uids = {}, {}, {}
        for p, e in walk(ds):
            if e.VR in ('DA', 'DT', 'TM') and e.value not in (None, ''):
                v = e.value if isinstance(e.value, str) else '\\'.join(str(x) for x in e.value)
                (times if e.VR == 'TM' else dates)[p] = [e.VR, v] if e.VR != 'TM' else v
            elif e.VR == 'UI' and e.value:
                uids[p] = str(e.value)
        self.files[rel] = dict(
            patient=pt['key'], source=SOURCES[se['src']], id=str(ds.PatientID), issuer=pt['issuer'],
            name=pt['name'], birth=pt['birth'], charset=str(ds.SpecificCharacterSet),
            study=st['uid'], study_date=st['date'], series=se['uid'], sop=inst['uid'], sop_class=inst['class'],
            modality=se['modality'], marker=[se['number'], inst['number']], dates=dates, times=times, uids=uids,
            other_ids=[pt['other']] if 'OtherPatientIDsSequence' in ds else [])


def check(out, files):
    """(rel, source errors, file errors) for every file with more dciodvfy errors than its source."""
    import concurrent.futures
    srcs = sorted({f['source'] for f in files.values()})
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        src_err = dict(zip(srcs, pool.map(lambda s: len(dciodvfy_errors(os.path.join(SRC, s))), srcs)))
        rels = sorted(files)
        errs = dict(zip(rels, pool.map(lambda r: dciodvfy_errors(os.path.join(out, r)), rels)))
    bad = []
    for rel in rels:
        files[rel]['source_errors'] = src_err[files[rel]['source']]
        files[rel]['errors'] = len(errs[rel])
        if len(errs[rel]) > src_err[files[rel]['source']]:
            bad.append((rel, src_err[files[rel]['source']], errs[rel]))
    return bad, src_err


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('out')
    ap.add_argument('--seed', type=int, default=17)
    ap.add_argument('--patients', type=int, default=len(PATIENTS))
    args = ap.parse_args()
    if not 6 <= args.patients <= len(PATIENTS):
        sys.exit('--patients: 6 to %d' % len(PATIENTS))
    if os.path.exists(args.out) and os.listdir(args.out):
        sys.exit('%s is not empty; give a fresh OUT' % args.out)
    os.makedirs(args.out, exist_ok=True)
    c = Corpus(args.out, args.seed)
    plan = {}
    for i, pt in enumerate(PATIENTS[:args.patients]):
        studies = c.build_patient(pt, i)
        plan[pt['key']] = [dict(uid=s['uid'], kind=s['kind'], date=s['date'], flat=s['flat'],
                                series=len(s['series']), files=sum(len(x['instances']) for x in s['series']))
                           for s in studies]
    bad, src_err = check(args.out, c.files)
    patients = {pt['key']: {k: pt.get(k, '') for k in ('id', 'issuer', 'name', 'birth', 'sex', 'charset')}
                for pt in PATIENTS[:args.patients]}
    for key, p in patients.items():
        p['studies'] = plan[key]
    man = dict(seed=args.seed, source_dir=SRC, patients=patients, files=c.files)
    with open(os.path.join(args.out, 'manifest.json'), 'w', encoding='utf-8') as f:
        json.dump(man, f, ensure_ascii=False, indent=1, sort_keys=True)
    n_dates = sum(len(f['dates']) for f in c.files.values())
    depth = {}
    for f in c.files.values():
        for p in f['dates']:
            depth[p.count('>')] = depth.get(p.count('>'), 0) + 1
    print('%d patients, %d studies, %d series, %d files (%d flat in mixed/); %d dates (%s), %d times' % (
        len(patients), sum(len(v) for v in plan.values()), c.series_no, len(c.files),
        sum(1 for r in c.files if r.startswith('mixed/')), n_dates,
        ', '.join('depth %d: %d' % kv for kv in sorted(depth.items())),
        sum(len(f['times']) for f in c.files.values())))
    print('dciodvfy errors by source (source -> most in a generated file): ' + ', '.join(
        '%s %d->%d' % (s, n, max(f['errors'] for f in c.files.values() if f['source'] == s))
        for s, n in sorted(src_err.items())))
    for rel, n, errs in bad:
        print('MORE ERRORS THAN SOURCE (%d): %s' % (n, rel))
        for e in errs:
            print('    ' + e)
    sys.exit(1 if bad else 0)


if __name__ == '__main__':
    import warnings
    warnings.simplefilter('ignore')
    main()
