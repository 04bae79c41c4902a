#pragma once

#include "engine/dicom/dicomsyntax.h"

namespace DicomCheck::Detail {

// The encapsulated pixel data after its header: items (the offset table, then fragments)
// with defined lengths, closed by a sequence delimiter.
// `evenItems` is cleared when an item has an odd length (GDCM pads or trims such fragments).
Result walkFragments(const Reader &r, quint64 &pos, quint64 end, bool &evenItems);

} // namespace DicomCheck::Detail
