#include "engine/cleaning/burnedintext.h"

#include "engine/cleaning/greyframe.h"
#include "engine/cleaning/pixelmodule.h"
#include "engine/cleaning/textocr.h"
#include "engine/dicom/dicomfacts.h"

#include <QStringList>

#include <gdcmDataSet.h>
#include <gdcmMediaStorage.h>
#include <gdcmReader.h>
#include <gdcmTransferSyntax.h>

#include <algorithm>
#include <cstring>

namespace BurnedInText {

namespace {

using namespace PixelModule;

const gdcm::Tag burnedInTag(0x0028, 0x0301);
const gdcm::Tag modalityTag = DicomFacts::modality;
const gdcm::Tag sopClassTag = DicomFacts::sopClassUid;
const gdcm::Tag imageTypeTag(0x0008, 0x0008);

struct Header
{
    bool image = false;
    QString ruleWhy; // non-empty: the header says the image may show text
    int bitsAllocated = 0;
    int samples = 0;
};

// The kinds of image that usually carry text, by SOP class, then by modality, then by image
// type; empty for others.
QString usualTextKind(const gdcm::DataSet &ds)
{
    using MS = gdcm::MediaStorage;
    const std::string sop = textOf(ds, sopClassTag).toStdString();
    switch (MS::GetMSType(sop.c_str())) {
    case MS::UltrasoundImageStorageRetired:
    case MS::UltrasoundImageStorage:
    case MS::UltrasoundMultiFrameImageStorageRetired:
    case MS::UltrasoundMultiFrameImageStorage:
        return QStringLiteral("an ultrasound image");
    case MS::SecondaryCaptureImageStorage:
    case MS::MultiframeSingleBitSecondaryCaptureImageStorage:
    case MS::MultiframeGrayscaleByteSecondaryCaptureImageStorage:
    case MS::MultiframeGrayscaleWordSecondaryCaptureImageStorage:
    case MS::MultiframeTrueColorSecondaryCaptureImageStorage:
        return QStringLiteral("a secondary capture");
    case MS::VLEndoscopicImageStorage:
    case MS::VideoEndoscopicImageStorage:
        return QStringLiteral("an endoscopy image");
    case MS::VLPhotographicImageStorage:
    case MS::VideoPhotographicImageStorage:
        return QStringLiteral("a photograph");
    default:
        break;
    }
    const QString modality = textOf(ds, modalityTag).toUpper();
    if (modality == QLatin1String("US") || modality == QLatin1String("IVUS"))
        return QStringLiteral("an ultrasound image");
    if (modality == QLatin1String("ES"))
        return QStringLiteral("an endoscopy image");
    if (modality == QLatin1String("XC"))
        return QStringLiteral("a photograph");
    if (modality == QLatin1String("DOC"))
        return QStringLiteral("a document image");
    if (modality == QLatin1String("OT") || modality == QLatin1String("SC"))
        return QStringLiteral("an image of modality ") + modality;
    const QStringList imageType = textOf(ds, imageTypeTag).toUpper().split(QLatin1Char('\\'));
    for (const QString &value : imageType) {
        if (value.trimmed() == QLatin1String("SECONDARY"))
            return QStringLiteral("a SECONDARY image");
    }
    return {};
}

Header readHeader(const gdcm::DataSet &ds, bool pixelDataApart)
{
    Header h;
    // A read that stopped before the pixel data leaves it out of the data set: the caller
    // says it is there; the image pixel module's size tells an image too.
    h.image = pixelDataApart || ds.FindDataElement(pixelDataTag)
            || (ushortOf(ds, rowsTag) > 0 && ushortOf(ds, columnsTag) > 0);
    if (!h.image)
        return h;
    h.bitsAllocated = ushortOf(ds, bitsAllocatedTag);
    h.samples = ushortOf(ds, samplesTag);
    const QString burnedIn = textOf(ds, burnedInTag).toUpper();
    if (burnedIn == QLatin1String("YES")) {
        h.ruleWhy = QStringLiteral("BurnedInAnnotation is YES");
    } else if (!ds.FindDataElement(burnedInTag) || burnedIn.isEmpty()) {
        const QString kind = usualTextKind(ds);
        if (!kind.isEmpty())
            h.ruleWhy = kind + QStringLiteral(" without BurnedInAnnotation");
    }
    return h;
}

void addWhy(Finding &finding, const QString &why)
{
    finding.flagged = true;
    if (!finding.why.isEmpty())
        finding.why += QStringLiteral(", ");
    finding.why += why;
}

// Native pixel data of the first frame as blank() paints it: where each sample lies and how
// wide it is.
struct NativeLayout
{
    int rows = 0;
    int columns = 0;
    int samples = 0;
    int bitsAllocated = 0;
    int bytes = 0;
    std::size_t count = 0; // pixels in one frame
    bool isSigned = false;
    bool planar = false;
    bool monochrome1 = false;
    bool ybr = false;

    std::size_t index(std::size_t pixel, int channel) const
    {
        return (planar ? std::size_t(channel) * count + pixel
                       : pixel * std::size_t(samples) + std::size_t(channel))
                * std::size_t(bytes);
    }

    int64_t read(const std::vector<char> &data, std::size_t at) const
    {
        if (bytes == 1)
            return isSigned ? int8_t(data[at]) : uint8_t(data[at]);
        if (bytes == 2) {
            uint16_t v;
            std::memcpy(&v, data.data() + at, 2);
            return isSigned ? int16_t(v) : v;
        }
        uint32_t v;
        std::memcpy(&v, data.data() + at, 4);
        return isSigned ? int64_t(int32_t(v)) : int64_t(v);
    }

    void write(std::vector<char> &data, std::size_t at, int64_t value) const
    {
        if (bytes == 1)
            data[at] = char(uint8_t(value));
        else if (bytes == 2) {
            const uint16_t v = uint16_t(value);
            std::memcpy(data.data() + at, &v, 2);
        } else {
            const uint32_t v = uint32_t(value);
            std::memcpy(data.data() + at, &v, 4);
        }
    }
};

// The layout of the data set's native pixel data, `length` bytes of it. False for a layout
// blank() does not know, or pixel data shorter than one frame.
bool nativeLayout(const gdcm::DataSet &dataSet, std::size_t length, NativeLayout &layout)
{
    layout.rows = ushortOf(dataSet, rowsTag);
    layout.columns = ushortOf(dataSet, columnsTag);
    layout.samples = std::max(ushortOf(dataSet, samplesTag), 1);
    layout.bitsAllocated = ushortOf(dataSet, bitsAllocatedTag);
    layout.bytes = layout.bitsAllocated / 8;
    const int samples = layout.samples;
    const int bitsAllocated = layout.bitsAllocated;
    if (layout.rows <= 0 || layout.columns <= 0 || (samples != 1 && samples != 3)
        || (bitsAllocated != 8 && bitsAllocated != 16 && bitsAllocated != 32))
        return false;
    layout.count = std::size_t(layout.rows) * std::size_t(layout.columns);
    const std::size_t frameBytes = layout.count * std::size_t(samples) * std::size_t(layout.bytes);
    if (length < frameBytes)
        return false;
    layout.isSigned = ushortOf(dataSet, pixelRepresentationTag) == 1;
    layout.planar = samples == 3 && ushortOf(dataSet, planarConfigurationTag) == 1;
    const QString photometric = textOf(dataSet, photometricTag).toUpper();
    layout.monochrome1 = photometric == QLatin1String("MONOCHROME1");
    layout.ybr = samples == 3 && photometric.startsWith(QLatin1String("YBR"));
    return true;
}

// The darkest value of each sample over the first frame; chroma of YBR stays neutral.
std::vector<int64_t> darkestValues(const NativeLayout &layout, const std::vector<char> &data)
{
    std::vector<int64_t> fill(static_cast<std::size_t>(layout.samples), 0);
    for (int c = 0; c < layout.samples; ++c) {
        int64_t low = layout.read(data, layout.index(0, c));
        int64_t high = low;
        for (std::size_t i = 1; i < layout.count; ++i) {
            const int64_t v = layout.read(data, layout.index(i, c));
            low = std::min(low, v);
            high = std::max(high, v);
        }
        fill[std::size_t(c)] = layout.monochrome1 ? high : low;
        if (layout.ybr && c > 0)
            fill[std::size_t(c)] = int64_t(1) << (layout.bitsAllocated - 1);
    }
    return fill;
}

// Paints each box, grown by a small margin, with `fill`; returns the number painted.
int paintBoxes(const NativeLayout &layout, const std::vector<Box> &boxes,
               const std::vector<int64_t> &fill, std::vector<char> &data)
{
    // Anti-aliased edges of letters reach a pixel or two beyond the box OCR gives.
    constexpr int margin = 2;
    int painted = 0;
    for (const Box &box : boxes) {
        const int x0 = std::max(box.x - margin, 0);
        const int y0 = std::max(box.y - margin, 0);
        const int x1 = std::min(box.x + box.width + margin, layout.columns);
        const int y1 = std::min(box.y + box.height + margin, layout.rows);
        if (x0 >= x1 || y0 >= y1)
            continue;
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                const std::size_t pixel
                        = std::size_t(y) * std::size_t(layout.columns) + std::size_t(x);
                for (int c = 0; c < layout.samples; ++c)
                    layout.write(data, layout.index(pixel, c), fill[std::size_t(c)]);
            }
        }
        ++painted;
    }
    return painted;
}

} // namespace

Finding assess(const QString &path, const gdcm::DataSet &ds, OcrMode mode, bool pixelDataApart)
{
    Finding finding;
    const Header header = readHeader(ds, pixelDataApart);
    if (!header.image)
        return finding;
    if (!header.ruleWhy.isEmpty())
        addWhy(finding, header.ruleWhy);
    if (mode == OcrMode::Off)
        return finding;
    // In Likely mode a grey image of more than 8 bits (CT, MR, most X-ray) that the header
    // does not flag is left undecoded: the cheap test would cost more than the whole copy.
    const bool cheapTestOnly = mode == OcrMode::Likely && header.ruleWhy.isEmpty();
    if (cheapTestOnly && header.bitsAllocated != 8 && header.samples != 3)
        return finding;

    // The file read again whole, for its pixel data: the caller may have read it only up to
    // the pixel data, and it passed the structural check that keeps GDCM's reader safe.
    gdcm::Reader reader;
    bool read = false;
    try {
        reader.SetFileName(path.toStdString().c_str());
        read = reader.Read();
    } catch (...) {
        read = false;
    }
    if (!read) {
        finding.ocrProblem = QStringLiteral("the pixel data cannot be decoded");
        return finding;
    }
    // Native little-endian pixel data is read here; anything else by GDCM's decoders, apart.
    const gdcm::TransferSyntax &syntax = reader.GetFile().GetHeader().GetDataSetTransferSyntax();
    const bool native
            = !syntax.IsEncapsulated() && syntax != gdcm::TransferSyntax::ExplicitVRBigEndian;
    GreyFrame::Grey grey;
    if (native ? !GreyFrame::decodeFirstFrame(reader.GetFile().GetDataSet(), grey,
                                              finding.ocrProblem)
               : !GreyFrame::decodeInChild(path, grey, finding.ocrProblem))
        return finding;
    if (cheapTestOnly && !TextOcr::looksLikeText(grey))
        return finding;
    if (TextOcr::recognise(grey, finding) && !finding.words.empty())
        addWhy(finding, QStringLiteral("OCR found text"));
    return finding;
}

int blank(gdcm::DataSet &dataSet, const std::vector<Box> &boxes)
{
    if (boxes.empty() || !dataSet.FindDataElement(pixelDataTag))
        return 0;
    const gdcm::DataElement &pixels = dataSet.GetDataElement(pixelDataTag);
    const gdcm::ByteValue *bv = pixels.GetByteValue();
    if (!bv || pixels.GetSequenceOfFragments())
        return 0;
    NativeLayout layout;
    if (!nativeLayout(dataSet, bv->GetLength(), layout))
        return 0;

    std::vector<char> data(bv->GetPointer(), bv->GetPointer() + bv->GetLength());
    const std::vector<int64_t> fill = darkestValues(layout, data);
    const int painted = paintBoxes(layout, boxes, fill, data);
    if (painted > 0) {
        gdcm::DataElement changed = pixels;
        changed.SetByteValue(data.data(), gdcm::VL(static_cast<uint32_t>(data.size())));
        dataSet.Replace(changed);
    }
    return painted;
}

} // namespace BurnedInText
