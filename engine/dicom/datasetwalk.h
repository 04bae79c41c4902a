#pragma once

#include "engine/dicom/dicomsyntax.h"

// The walk over a data set, read as GDCM will read it.
namespace DicomCheck::Detail {

// Walks the data set in [start, size) of `r`. `syntax` is what GDCM will read it as.
Result walkDataSet(const Reader &r, quint64 start, const Syntax &syntax);

// The containers the walk is inside, and one element's header as it reads it.
enum class FrameKind : quint8 {
    TopLevel, // the data set itself: ends at the end of the buffer
    Item, // an item's data set: ends at `end`, or at its item delimiter when undefined
    Sequence, // the items of a sequence: ends at `end`, or at its sequence delimiter
};

struct Frame
{
    quint64 end; // exclusive; for undefined lengths the enclosing container's end
    FrameKind kind;
    bool undefined;
    Encoding encoding;
    // GDCM computes the length of every item below this point from its elements, and asserts
    // that it is even: within an item of defined length (on writing), below a sequence of
    // defined length in explicit VR (on reading), and everywhere when it reads an implicit
    // data set against the file's length. Odd value lengths are refused there; elsewhere
    // GDCM reads and writes them.
    bool lengthsComputed;
};

// One element's header, as the walk reads it.
struct Header
{
    quint32 tag = 0;
    quint32 length = 0;
    quint64 size = 0; // bytes of the header itself
    const uchar *vr = nullptr; // the two VR bytes and two reserved ones (explicit VR only)
    bool sequence = false; // an undefined length read as a sequence of items
    bool fragments = false; // encapsulated pixel data
    Encoding inner = Encoding::Explicit; // the encoding of its items
};

} // namespace DicomCheck::Detail
