#pragma once

#include "engine/dicom/dicomsyntax.h"

// Where a file's data set starts and which syntax GDCM reads it in: its meta group, or without
// one, GDCM's guess from the first element.
namespace DicomCheck::Detail {

// The file meta information at `pos`: group 0002, explicit VR little endian (GDCM also reads an
// implicit one). It ends where group 0002 ends; its group length is not trusted. Leaves `pos`
// behind it and names the data set's syntax.
Result walkMetaGroup(const Reader &le, quint64 &pos, Syntax &syntax);

// No meta information: GDCM guesses the syntax from the first element, at `pos`.
Result guessSyntax(const Reader &le, quint64 pos, Syntax &syntax);

} // namespace DicomCheck::Detail
