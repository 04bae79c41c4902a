#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace gdcm {
class DataSet;
} // namespace gdcm

// Whether an image may show text burned into its pixels (a name, an ID, a date written by the
// modality or a screen capture), and where OCR saw it.
//
// Two sources: the header (BurnedInAnnotation, and the kinds of image that usually carry text
// when that attribute is absent) and Tesseract's OCR of the first frame. Every function is
// safe on any thread: each thread keeps its own Tesseract instance, made on its first OCR
// (about 0.1 s and some 20 MB) and kept until the thread ends.
namespace BurnedInText {

// How much OCR a job does (--ocr likely|all|off).
enum class OcrMode {
    Likely, // where the header rules say text, or a cheap test of an 8-bit or colour image does
    All, // every image
    Off, // header rules only
};

// A rectangle in the image's own pixel coordinates (columns, rows), first frame.
struct Box
{
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct Finding
{
    bool flagged = false; // the image may show text
    // Why, in short words joined by ", ": "BurnedInAnnotation is YES", "an ultrasound image
    // without BurnedInAnnotation", "OCR found text". Empty when not flagged.
    QString why;
    bool ocrRan = false;
    // Why OCR was wanted but could not run ("the pixel data cannot be decoded", "GDCM cannot
    // decode the pixel data", "OCR is not available"); empty otherwise. The header rules still
    // apply.
    QString ocrProblem;
    std::vector<std::string> words; // UTF-8 words OCR read, in reading order
    std::vector<Box> boxes; // their boxes, one per word
};

// Assesses one file. `header` is the file's data set as read, before any cleaning; it may lack
// the pixel data (a read that stopped before it): pixels, where OCR needs them, are read from
// `path` again, native ones here, compressed ones (RLE, JPEG, JPEG-LS, JPEG 2000) by
// vexar-pixel-decoder beside the program, in a process of its own, whose crash on a damaged
// stream ends only it. The file must have passed the structural check (DicomCheck): GDCM
// reads it again here. `pixelDataApart`: the read stopped before pixel data the file holds,
// which counts as if it were in `header`. A file without pixel data (7FE0,0010) is never
// flagged and never read again.
//
// Cost: the header rules take microseconds. In Likely mode a 16-bit or 12-bit grey image that
// the header does not flag is never decoded; an 8-bit or colour image is decoded for the cheap
// test. OCR itself takes some 0.1 to 1 s per image.
Finding assess(const QString &path, const gdcm::DataSet &header, OcrMode mode,
               bool pixelDataApart = false);

// Paints the boxes, each grown by a small margin, with the image's darkest value (the minimum
// of the first frame; its maximum for MONOCHROME1) into native pixel data (7FE0,0010) of the
// data set, first frame. Returns the number of boxes painted; 0, with nothing changed, where
// the pixel data is encapsulated (compressed), absent, or of a layout it does not know.
int blank(gdcm::DataSet &dataSet, const std::vector<Box> &boxes);

} // namespace BurnedInText
