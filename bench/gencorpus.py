#!/usr/bin/python3
"""Builds the benchmark corpora: trees of fake but realistic DICOM files.

Each corpus is a patient/study/series tree under BENCH_DIR/<name>, filled with made-up
identifying values (names, IDs, birth dates, institution, station, dates, descriptions and
private elements in odd groups), so the anonymizer has real work in every file. Everything
is derived from a fixed seed: the same generator version always writes the same bytes.

A corpus is built in BENCH_DIR/<name>.partial and renamed when complete; the stamp file
BENCH_DIR/<name>.complete records the generator version, file count and size. A corpus
with a matching stamp is reused as it is, so only the first run pays for the generation.

Runs with Debian's /usr/bin/python3 and python3-pydicom; numpy is not needed.
"""

import argparse
import datetime
import io
import json
import os
import random
import shutil
import struct
import sys
import time
import uuid

from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian

# Raise when the files written change, so existing corpora are rebuilt.
GENERATOR_VERSION = 1
SEED = 20261206

CT_IMAGE = "1.2.840.10008.5.1.4.1.1.2"
MR_IMAGE = "1.2.840.10008.5.1.4.1.1.4"
ENHANCED_CT_IMAGE = "1.2.840.10008.5.1.4.1.1.2.1"

# name: modality, rows, columns, frames per file, and the tree: patients x studies x series x
# files per series. "small" files are about 40 KB, "ct" about 530 KB, "big" about 50 MB.
# "huge" is one multi-frame file of 2 GB whose pixel data is a hole in the file (sparse: it
# takes almost no disk), for the memory a copy needs.
# "trail" is "big" with elements after the pixel data, as some scanners write them: a private
# block (7FE1,xxxx) that names the patient, then DataSetTrailingPadding (FFFC,FFFC).
# "tiny" is 100,000 files of about 5 KB (an 8 x 8 image), for the memory a job of many files
# needs; the files of one series differ only in their instance UID.
CORPORA = {
    "small": dict(modality="MR", rows=136, columns=136, frames=1, patients=50, studies=2,
                  series=2, files=25),
    "ct": dict(modality="CT", rows=512, columns=512, frames=1, patients=4, studies=1, series=2,
               files=125),
    "big": dict(modality="CT", rows=512, columns=512, frames=96, patients=4, studies=1,
                series=1, files=5),
    "huge": dict(modality="CT", rows=512, columns=512, frames=4096, patients=1, studies=1,
                 series=1, files=1, sparse=True),
    "trail": dict(modality="CT", rows=512, columns=512, frames=96, patients=4, studies=1,
                  series=1, files=5, trailer=True),
    "tiny": dict(modality="MR", rows=8, columns=8, frames=1, patients=100, studies=2,
                 series=5, files=100, template=True),
}

FIRST_NAMES = ["Anna", "Jonas", "Maria", "Lukas", "Sofia", "Elias", "Emma", "Noah", "Mia",
               "Paul", "Lena", "Felix", "Clara", "Ben", "Ida", "Jakob", "Marta", "Tomasz",
               "Ines", "Hugo", "Zoé", "Jürgen", "Agnieszka", "Luis"]
LAST_NAMES = ["Berger", "Novak", "Rossi", "Jansen", "Keller", "Dubois", "Lindqvist",
              "Horvat", "Moreau", "Schmidt", "Costa", "Kowalski", "Fischer", "Weber",
              "Petrov", "Müller", "O'Neil", "García", "Brandt", "Larsen"]
INSTITUTIONS = [
    ("St. Elisabeth Hospital", "12 Harbour Road^^Eastport^^4411^Nowhereland"),
    ("Clinic of the Three Rivers", "Am Fluss 7^^Neustadt^^80331^Nowhereland"),
    ("Northfield Imaging Centre", "5 Quarry Lane^^Northfield^^NF2 9QX^Nowhereland"),
]
MR_STUDIES = ["MRI BRAIN W/O CONTRAST", "MRI KNEE LEFT", "MRI LUMBAR SPINE", "MRI SHOULDER RIGHT"]
MR_SERIES = ["T1 SAG", "T2 AX", "FLAIR COR", "DWI AX", "T2 TSE FS"]
CT_STUDIES = ["CT THORAX WITH CONTRAST", "CT ABDOMEN PELVIS", "CT HEAD NATIVE",
              "CT ANGIO PULMONARY"]
CT_SERIES = ["AXIAL 1.0 B30f", "AXIAL 0.75 B70f", "CORONAL MPR 3.0", "VENOUS 1.5"]
PHYSICIANS = ["Dr^Hallberg^Ingrid", "Dr^Oyelaran^Tunde", "Dr^Vasquez^Elena", "Dr^Park^Minho"]
OPERATORS = ["RT^Kerr", "RT^Nakamura", "RT^Adeyemi", "RT^Lund"]


def make_uid(rng):
    """A 2.25 UID (a UUID as a decimal number) drawn from the corpus' own generator."""
    return "2.25." + str(uuid.UUID(bytes=rng.randbytes(16), version=4).int)


def da(d):
    return d.strftime("%Y%m%d")


def tm(seconds):
    seconds = int(seconds) % 86400
    return "%02d%02d%02d.%06d" % (seconds // 3600, seconds // 60 % 60, seconds % 60,
                                  (seconds * 7919) % 1000000)


def pixel_block(rng, count):
    """count bytes of 12-bit little-endian samples: the high nibble of every odd byte is 0."""
    block = bytearray(rng.randbytes(count))
    block[1::2] = block[1::2].translate(bytes(b & 0x0F for b in range(256)))
    return bytes(block)


def patient_values(rng, index):
    first = rng.choice(FIRST_NAMES)
    last = rng.choice(LAST_NAMES)
    birth = datetime.date(1935, 1, 1) + datetime.timedelta(days=rng.randrange(0, 365 * 70))
    return dict(
        name="%s^%s" % (last, first),
        id="PID%07d" % rng.randrange(10**6, 10**7),
        other_id="MRN-%06d" % (index * 37 + 1000),
        birth=birth,
        sex=rng.choice("MF"),
        weight="%.1f" % rng.uniform(48, 115),
        size="%.2f" % rng.uniform(1.5, 1.95),
        institution=rng.choice(INSTITUTIONS),
    )


def private_elements(ds, rng, patient, study_date):
    """Vendor-style private groups; their elements hold identifying values too."""
    ds.add_new(0x00090010, "LO", "NWMED_IDEN_01")
    ds.add_new(0x00091004, "LO", "ORION CT64 " + patient["institution"][0][:20])
    ds.add_new(0x00091027, "SL", rng.randrange(10**8, 10**9))
    ds.add_new(0x00091030, "SH", "SVC_" + patient["id"][-4:])
    ds.add_new(0x00091031, "SH", "NWCT01")
    ds.add_new(0x000910E7, "UL", rng.randrange(10**5, 10**9))
    ds.add_new(0x000910E9, "SL", rng.randrange(10**5, 10**9))
    ds.add_new(0x00110010, "LO", "NWMED_PATI_01")
    ds.add_new(0x00111010, "LO", patient["name"].replace("^", " "))
    ds.add_new(0x00190010, "LO", "NWMED_ACQU_01")
    ds.add_new(0x0019100B, "DS", "%.3f" % rng.uniform(1, 30))
    ds.add_new(0x0019109D, "DT", da(study_date) + "093012.000000")
    ds.add_new(0x00210010, "LO", "NWMED_RELA_01")
    ds.add_new(0x00211003, "SS", 1)
    ds.add_new(0x00250010, "LO", "NWMED_SERS_01")
    ds.add_new(0x0025101A, "SH", "NWCT01-OC0")
    ds.add_new(0x0025101B, "OB", rng.randbytes(64))
    ds.add_new(0x00290010, "LO", "NWMED_CSA_HEADER")
    ds.add_new(0x00291010, "OB", b"SV10\x04\x03\x02\x01" + rng.randbytes(440))
    ds.add_new(0x00430010, "LO", "NWMED_PARM_01")
    ds.add_new(0x00431028, "OB", rng.randbytes(96))
    ds.add_new(0x00431029, "OB", rng.randbytes(32))
    ds.add_new(0x00431080, "LO", "Requested by " + rng.choice(PHYSICIANS).replace("^", " "))
    ds.add_new(0x7005_0010, "LO", "NWMED_CT_PRIVATE")
    ds.add_new(0x7005_1024, "LO", "SCAN " + da(study_date) + " " + patient["id"])
    ds.add_new(0x7005_101F, "CS", "AXIAL")


def series_template(rng, shape, patient, study, series_number, transfer_syntax):
    """The elements that are the same in every file of one series."""
    multi = shape["frames"] > 1
    sop_class = ENHANCED_CT_IMAGE if multi else (CT_IMAGE if shape["modality"] == "CT" else MR_IMAGE)
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.TransferSyntaxUID = transfer_syntax
    meta.ImplementationClassUID = "2.25.300281237105318844176530411627130592457"
    meta.ImplementationVersionName = "NWMED_PACS_31"
    meta.SourceApplicationEntityTitle = "PACS_NORTH_01"

    ds = Dataset()
    ds.SpecificCharacterSet = "ISO_IR 192"
    ds.ImageType = ["ORIGINAL", "PRIMARY", "AXIAL"]
    ds.InstanceCreationDate = da(study["date"])
    ds.InstanceCreatorUID = "2.25.300281237105318844176530411627130592457"
    ds.SOPClassUID = sop_class
    ds.StudyDate = da(study["date"])
    ds.SeriesDate = da(study["date"])
    ds.AcquisitionDate = da(study["date"])
    ds.ContentDate = da(study["date"])
    ds.StudyTime = tm(study["time"])
    ds.SeriesTime = tm(study["time"] + 60 * series_number)
    ds.AccessionNumber = study["accession"]
    ds.Modality = shape["modality"]
    ds.Manufacturer = "Northwind Medical Systems"
    ds.InstitutionName = patient["institution"][0]
    ds.InstitutionAddress = patient["institution"][1]
    ds.ReferringPhysicianName = study["referrer"]
    ds.StationName = "NWCT-%02d" % rng.randrange(1, 20)
    ds.StudyDescription = study["description"]
    ds.SeriesDescription = study["series"][series_number - 1]
    ds.InstitutionalDepartmentName = "Radiology"
    ds.PerformingPhysicianName = rng.choice(PHYSICIANS)
    ds.OperatorsName = rng.choice(OPERATORS)
    ds.ManufacturerModelName = "Orion CT64" if shape["modality"] == "CT" else "Orion MR 3T"
    ds.PatientName = patient["name"]
    ds.PatientID = patient["id"]
    ds.IssuerOfPatientID = patient["institution"][0]
    ds.PatientBirthDate = da(patient["birth"])
    ds.PatientSex = patient["sex"]
    ds.OtherPatientIDs = patient["other_id"]
    ds.PatientAge = "%03dY" % ((study["date"] - patient["birth"]).days // 365)
    ds.PatientSize = patient["size"]
    ds.PatientWeight = patient["weight"]
    ds.PatientComments = "Allergy: iodine contrast (mild)" if rng.random() < 0.3 else "none"
    ds.BodyPartExamined = "CHEST" if shape["modality"] == "CT" else "HEAD"
    ds.DeviceSerialNumber = "SN%08d" % rng.randrange(10**7, 10**8)
    ds.SoftwareVersions = "VX%d.%d" % (rng.randrange(1, 9), rng.randrange(0, 20))
    ds.ProtocolName = study["description"].title()
    if shape["modality"] == "CT":
        ds.SliceThickness = "1.0"
        ds.KVP = "120"
        ds.ConvolutionKernel = "B30f"
    else:
        ds.SliceThickness = "4.0"
        ds.MagneticFieldStrength = "3"
        ds.ReceiveCoilName = "HeadNeck_20"
    ds.PatientPosition = "HFS"
    ds.StudyInstanceUID = study["uid"]
    ds.SeriesInstanceUID = make_uid(rng)
    ds.StudyID = study["id"]
    ds.SeriesNumber = series_number
    ds.FrameOfReferenceUID = make_uid(rng)
    ds.PositionReferenceIndicator = ""
    ds.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows = shape["rows"]
    ds.Columns = shape["columns"]
    ds.PixelSpacing = ["0.703125", "0.703125"]
    ds.BitsAllocated = 16
    ds.BitsStored = 12
    ds.HighBit = 11
    ds.PixelRepresentation = 0
    ds.WindowCenter = "40"
    ds.WindowWidth = "400"
    ds.RescaleIntercept = "-1024"
    ds.RescaleSlope = "1"
    ds.RequestingPhysician = study["referrer"]
    ds.RequestedProcedureDescription = study["description"]
    ds.PerformedProcedureStepStartDate = da(study["date"])
    ds.PerformedProcedureStepID = "PPS%06d" % rng.randrange(10**6)
    ds.PerformedProcedureStepDescription = study["description"]
    ds.PerformedProcedureStepEndDate = da(study["date"])
    ds.ScheduledStationAETitle = "NWCT01"

    # Identifying values inside a sequence item: the anonymizer keeps nested elements as they are.
    request = Dataset()
    request.RequestedProcedureID = study["accession"]
    request.ScheduledProcedureStepID = "SPS" + study["accession"][-6:]
    request.ScheduledProcedureStepDescription = study["description"]
    request.PerformedProcedureStepStartDate = da(study["date"])
    ds.RequestAttributesSequence = Sequence([request])
    code = Dataset()
    code.CodeValue = "ZIL%03d" % rng.randrange(1000)
    code.CodingSchemeDesignator = "99NWMED"
    code.CodeMeaning = study["description"]
    ds.ProcedureCodeSequence = Sequence([code])

    private_elements(ds, rng, patient, study["date"])

    if multi:
        shared = Dataset()
        measures = Dataset()
        measures.PixelSpacing = ["0.703125", "0.703125"]
        measures.SliceThickness = "1.0"
        shared.PixelMeasuresSequence = Sequence([measures])
        ds.SharedFunctionalGroupsSequence = Sequence([shared])
        ds.NumberOfFrames = shape["frames"]
    return meta, ds


def per_frame_groups(frames, first_z):
    groups = []
    for f in range(frames):
        group = Dataset()
        content = Dataset()
        content.FrameAcquisitionNumber = f + 1
        content.DimensionIndexValues = [1, f + 1]
        group.FrameContentSequence = Sequence([content])
        position = Dataset()
        position.ImagePositionPatient = ["-180", "-180", "%.2f" % (first_z - f)]
        group.PlanePositionSequence = Sequence([position])
        groups.append(group)
    return Sequence(groups)


def trailer_elements(ds, rng, patient):
    """Elements after the pixel data: a private block and the trailing padding."""
    ds.add_new(0x7FE1_0010, "LO", "NWMED_TRAILER_01")
    ds.add_new(0x7FE1_1001, "LO", "RECON " + patient["id"])
    ds.add_new(0x7FE1_1010, "OB", rng.randbytes(1536))
    ds.add_new(0xFFFC_FFFC, "OB", bytes(2 * rng.randrange(1024, 4096)))


# The instance UID of a "template" corpus: one file per series is made with pydicom, every
# other one is a copy with this placeholder replaced by a UID of the same length.
TEMPLATE_UID = "2.25.999999999999999999999999999999999999"


def template_uid(rng):
    return "2.25." + "".join(str(rng.randrange(10)) for _ in range(len(TEMPLATE_UID) - 5))


def build(name, shape, target):
    """Writes the corpus into target; returns (files, bytes)."""
    rng = random.Random("%s-%d-%s" % (SEED, GENERATOR_VERSION, name))
    frame_bytes = shape["rows"] * shape["columns"] * 2
    files = total = 0
    for p in range(shape["patients"]):
        patient = patient_values(rng, p)
        patient_dir = "PAT%04d" % (p + 1)
        for s in range(shape["studies"]):
            modality = shape["modality"]
            date = datetime.date(2015, 1, 1) + datetime.timedelta(days=rng.randrange(0, 3650))
            study = dict(
                date=date,
                time=rng.randrange(7 * 3600, 19 * 3600),
                uid=make_uid(rng),
                id=str(rng.randrange(1000, 99999)),
                accession="ACC%09d" % rng.randrange(10**9),
                referrer=rng.choice(PHYSICIANS),
                description=rng.choice(CT_STUDIES if modality == "CT" else MR_STUDIES),
                series=rng.sample(CT_SERIES if modality == "CT" else MR_SERIES, shape["series"]),
            )
            study_dir = "ST%02d %s %s" % (s + 1, da(date), modality)
            for se in range(1, shape["series"] + 1):
                # Every fourth series comes from an older system that writes implicit VR.
                implicit = (p * shape["studies"] * shape["series"] + s * shape["series"] + se) % 4 == 0
                syntax = ImplicitVRLittleEndian if implicit else ExplicitVRLittleEndian
                meta, ds = series_template(rng, shape, patient, study, se, syntax)
                series_dir = os.path.join(target, patient_dir, study_dir, "SE%03d" % se)
                os.makedirs(series_dir)
                # One block of samples per series; each file starts it at another offset.
                sparse = shape.get("sparse", False)
                block = b"" if sparse else pixel_block(rng, frame_bytes * shape["frames"] + 4096)
                if shape.get("trailer"):
                    trailer_elements(ds, rng, patient)
                if shape.get("template"):
                    meta.MediaStorageSOPInstanceUID = TEMPLATE_UID
                    ds.SOPInstanceUID = TEMPLATE_UID
                    ds.InstanceNumber = 1
                    ds.ContentTime = ds.AcquisitionTime = tm(study["time"] + 60 * se)
                    ds.ImagePositionPatient = ["-180", "-180", "-100.00"]
                    ds.SliceLocation = "-100.00"
                    ds.PixelData = block[:frame_bytes]
                    ds["PixelData"].VR = "OW"
                    out = FileDataset(None, ds, file_meta=meta, preamble=b"\0" * 128)
                    out.is_little_endian = True
                    out.is_implicit_VR = implicit
                    buffer = io.BytesIO()
                    out.save_as(buffer, write_like_original=False)
                    placeholder = TEMPLATE_UID.encode()
                    template = buffer.getvalue()
                    for i in range(shape["files"]):
                        data = template.replace(placeholder, template_uid(rng).encode())
                        with open(os.path.join(series_dir, "IM%05d.dcm" % (i + 1)), "wb") as f:
                            f.write(data)
                        files += 1
                        total += len(data)
                    continue
                for i in range(shape["files"]):
                    sop = make_uid(rng)
                    meta.MediaStorageSOPInstanceUID = sop
                    ds.SOPInstanceUID = sop
                    ds.InstanceNumber = i + 1
                    ds.ContentTime = tm(study["time"] + 60 * se + i)
                    ds.AcquisitionTime = ds.ContentTime
                    z = -100.0 - i * (shape["frames"] if shape["frames"] > 1 else 1.0)
                    if shape["frames"] > 1:
                        ds.PerFrameFunctionalGroupsSequence = per_frame_groups(shape["frames"], z)
                    else:
                        ds.ImagePositionPatient = ["-180", "-180", "%.2f" % z]
                        ds.SliceLocation = "%.2f" % z
                    offset = 2 * ((i * 97) % 2048)
                    if not sparse:
                        ds.PixelData = block[offset:offset + frame_bytes * shape["frames"]]
                        ds["PixelData"].VR = "OW"
                    out = FileDataset(None, ds, file_meta=meta, preamble=b"\0" * 128)
                    out.is_little_endian = True
                    out.is_implicit_VR = implicit
                    path = os.path.join(series_dir, "IM%05d.dcm" % (i + 1))
                    out.save_as(path, write_like_original=False)
                    if sparse:
                        # The pixel data element last, its value a hole of zeros.
                        length = frame_bytes * shape["frames"]
                        with open(path, "ab") as f:
                            if implicit:
                                f.write(struct.pack("<HHI", 0x7FE0, 0x0010, length))
                            else:
                                f.write(struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OW", 0, length))
                            f.truncate(f.tell() + length)
                    files += 1
                    total += os.path.getsize(path)
    return files, total


def stamp_path(bench_dir, name):
    return os.path.join(bench_dir, name + ".complete")


def read_stamp(bench_dir, name):
    try:
        with open(stamp_path(bench_dir, name)) as f:
            stamp = json.load(f)
    except (OSError, ValueError):
        return None
    if stamp.get("version") != GENERATOR_VERSION or not os.path.isdir(
            os.path.join(bench_dir, name)):
        return None
    return stamp


def ensure(bench_dir, name):
    stamp = read_stamp(bench_dir, name)
    if stamp:
        return stamp, False
    final = os.path.join(bench_dir, name)
    partial = final + ".partial"
    if os.path.exists(stamp_path(bench_dir, name)):
        os.remove(stamp_path(bench_dir, name))
    for leftover in (partial, final):
        if os.path.exists(leftover):
            shutil.rmtree(leftover)
    started = time.monotonic()
    print("gencorpus: building %s in %s ..." % (name, final), flush=True)
    files, total = build(name, CORPORA[name], partial)
    os.rename(partial, final)
    stamp = dict(version=GENERATOR_VERSION, corpus=name, files=files, bytes=total,
                 largest=max_file_size(final))
    with open(stamp_path(bench_dir, name) + ".tmp", "w") as f:
        json.dump(stamp, f)
    os.replace(stamp_path(bench_dir, name) + ".tmp", stamp_path(bench_dir, name))
    print("gencorpus: %s: %d files, %.0f MB in %.0f s" %
          (name, files, total / 1e6, time.monotonic() - started), flush=True)
    return stamp, True


def max_file_size(root):
    largest = 0
    for dirpath, _, names in os.walk(root):
        for n in names:
            largest = max(largest, os.path.getsize(os.path.join(dirpath, n)))
    return largest


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--dir", default=os.environ.get("BENCH_DIR", "/var/tmp/vexar-bench"))
    parser.add_argument("--corpora", default="small,ct,big,trail,huge",
                        help="comma-separated names among " + ", ".join(CORPORA))
    args = parser.parse_args()
    names = [n for n in args.corpora.split(",") if n]
    unknown = [n for n in names if n not in CORPORA]
    if unknown:
        parser.error("unknown corpus: " + ", ".join(unknown))
    os.makedirs(args.dir, exist_ok=True)
    for name in names:
        stamp, built = ensure(args.dir, name)
        if not built:
            print("gencorpus: %s: reusing %d files, %.0f MB" %
                  (name, stamp["files"], stamp["bytes"] / 1e6), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
