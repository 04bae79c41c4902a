#pragma once

#include <QString>

// A bounded structural walk over a DICOM file, made before GDCM sees it. GDCM 3.0 asserts
// (ending the whole process) or allocates the stated length on some malformed files; a file
// that fails this walk is treated as an ordinary read failure instead. Every encoding GDCM
// reads must pass: no good file may be lost.
//
// Pure: reads the file, keeps no state, safe on any thread.
namespace DicomCheck {

struct Result
{
    bool ok = false;
    // Empty when ok; otherwise a short English text for the user, such as "not a DICOM file"
    // or "truncated: value length beyond its container at byte 1488". Never a value.
    QString reason;
    qint64 offset = -1; // where the walk stopped, when it did at a known byte
    // Where the top-level pixel data element (its header) starts when GDCM's writer would
    // write that element back byte for byte, and every top-level tag is in ascending order
    // (so the elements after it, if any, are those GDCM writes after it); -1 otherwise. Set
    // only when ok. The bytes from here to pixelDataEnd can then be copied as they are
    // between the data set's elements before and after them as GDCM writes those.
    qint64 verbatimPixelData = -1;
    qint64 pixelDataEnd = 0; // with verbatimPixelData: the byte after the element
    qint64 size = 0; // with verbatimPixelData: the file's size as the check read it
};

Result checkBytes(const char *data, qint64 size);
Result checkFile(const QString &path);

// The value of a sequence that GDCM kept as bytes (a defined length in an implicit VR file,
// VR UN), walked as GDCM parses it on request (gdcm::DataElement::GetValueAsSQ): items of
// implicit VR little endian elements. GDCM asserts on some malformed values; only a value
// that passes may be handed to it.
Result checkSequenceValue(const char *data, qint64 size);

} // namespace DicomCheck
