#pragma once

#include "engine/job/fileanonymizer.h"

// Reading an input for the per-file path: the structural check, then GDCM's parse of the very
// bytes the check read, without the pixel data's value where it is copied as it is.
namespace FileAnonymizer {

// Checks the file's structure, then reads it with GDCM. With `tail` given, a file whose
// top-level pixel data element the check found fit to be copied byte for byte is read without
// that element's value (DicomCheck::Result::verbatimPixelData), and `tail` names it in
// `bytes`, which must then stay open while the copy is written; otherwise the file is read
// whole and `tail->length` is 0. `size` receives the file's size once read.
bool readInput(const QString &input, InputBytes &bytes, gdcm::Reader &reader, QString *reason,
               VerbatimTail *tail, qint64 *size);

} // namespace FileAnonymizer
