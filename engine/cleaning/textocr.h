#pragma once

#include "engine/cleaning/burnedintext.h"
#include "engine/cleaning/greyframe.h"

// The look for text in a first frame in grey: a cheap test of its strokes, and Tesseract's
// OCR. Safe on any thread: each thread keeps its own Tesseract instance, made on its first
// OCR and kept until the thread ends.
namespace TextOcr {

// The cheap test: does the frame hold many short high-contrast strokes (a rise and a fall a
// few pixels apart along a row, as letters make), without being noise (where most pixels
// are edges)? Looks at every second row; a 1024 x 768 frame takes about a millisecond.
bool looksLikeText(const GreyFrame::Grey &grey);

// Runs OCR on the frame, scaled to what Tesseract reads best, and keeps the words it is sure
// of, with their boxes in the frame's coordinates.
bool recognise(const GreyFrame::Grey &grey, BurnedInText::Finding &finding);

} // namespace TextOcr
