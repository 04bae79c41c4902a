"""Reads two DICOM files with pydicom, independently of GDCM, and prints as JSON which
top-level elements differ in their raw value bytes, which file meta elements differ, and
the raw bytes of the second file's (0010,0010) in hex."""
import json
import sys

from pydicom import dcmread
from pydicom.dataelem import RawDataElement


def raw_values(ds):
    values = {}
    for tag in ds.keys():
        elem = ds.get_item(tag)
        value = elem.value if isinstance(elem, RawDataElement) else ds[tag].value
        values[f"({tag.group:04X},{tag.element:04X})"] = value if isinstance(value, bytes) else repr(value)
    return values


a = dcmread(sys.argv[1], force=True)
b = dcmread(sys.argv[2], force=True)
va, vb = raw_values(a), raw_values(b)
differs = sorted(t for t in set(va) | set(vb) if va.get(t) != vb.get(t))
name = b.get_item(0x00100010)
print(json.dumps({
    "differs": differs,
    "meta_differs": sorted(t for t in set(raw_values(a.file_meta)) | set(raw_values(b.file_meta))
                           if raw_values(a.file_meta).get(t) != raw_values(b.file_meta).get(t)),
    "patient_name": name.value.hex() if name is not None else None,
}))
