#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gdcm {
class DataSet;
} // namespace gdcm

// The first frame of an image brought to 8-bit grey for the cheap test and for OCR: native
// pixel data read from the data set here, compressed pixel data decoded by
// vexar-pixel-decoder in a process of its own.
namespace GreyFrame {

// The first frame as 8-bit grey, row after row, darkest 0.
struct Grey
{
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

// One frame of pixels as they lie in memory, native, little endian.
struct Frame
{
    int width = 0;
    int height = 0;
    int samples = 0;
    int bitsAllocated = 0;
    int bitsStored = 0;
    int representation = 0;
    bool planar = false;
    std::string photometric;
    const char *data = nullptr;
    std::size_t size = 0;
};

// The frame brought to 8-bit grey: colour to luma (Y of YBR; palette indices as they are),
// the frame's own minimum and maximum stretched to 0 and 255 (no window: text is drawn at the
// extremes), MONOCHROME1 turned round. False, with `problem` set, for values it cannot read;
// every value it depends on is checked first.
bool toGrey(const Frame &frame, Grey &grey, QString &problem);

// The first frame of native pixel data in grey. The bytes are read here from the pixel data
// element, not through GDCM's pixmap readers: those assert (ending the process) on values such
// as a SamplesPerPixel over 4 or an RT dose of one frame whose FrameIncrementPointer names a
// vector.
bool decodeFirstFrame(const gdcm::DataSet &ds, Grey &grey, QString &problem);

// The first frame decoded by vexar-pixel-decoder, beside this program, in a process of its
// own: GDCM's decoders of compressed pixel data assert (ending the process) on some damaged
// streams that pass every check before them.
bool decodeInChild(const QString &path, Grey &grey, QString &problem);

} // namespace GreyFrame
