#include "engine/dicom/encapsulatedpixeldata.h"

namespace DicomCheck::Detail {

// The encapsulated pixel data after its header: items (the offset table, then fragments)
// with defined lengths, closed by a sequence delimiter.
// `evenItems` is cleared when an item has an odd length (GDCM pads or trims such fragments).
Result walkFragments(const Reader &r, quint64 &pos, quint64 end, bool &evenItems)
{
    for (bool first = true;; first = false) {
        if (end - pos < 8)
            return fail("encapsulated pixel data without sequence delimiter", pos);
        const quint32 t = r.tagAt(pos);
        const quint32 length = r.u32(pos + 4);
        // GDCM requires the offset table's item, even when empty, and aborts in implicit VR
        // without it.
        if (first && t != itemTag)
            return fail("encapsulated pixel data without offset table", pos);
        if (t == sequenceEndTag) {
            // GDCM reads a value of the stated length behind this delimiter.
            if (length != 0)
                return fail("sequence delimiter with a length", pos);
            pos += 8;
            return { true, {} };
        }
        if (t != itemTag)
            return fail("encapsulated pixel data holds a non-item", pos);
        if (length == undefinedLength || length > end - pos - 8)
            return fail("fragment length beyond its container", pos);
        if (length & 1)
            evenItems = false;
        pos += 8 + quint64(length);
    }
}

} // namespace DicomCheck::Detail
