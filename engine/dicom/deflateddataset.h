#pragma once

#include "engine/dicom/dicomsyntax.h"

// A deflated data set: inflated into one buffer of its exact size, then walked.
namespace DicomCheck::Detail {

// A deflated data set, inflated and walked as explicit VR little endian.
Result walkDeflated(const uchar *data, quint64 size, quint64 pos, const Syntax &syntax);

} // namespace DicomCheck::Detail
