#include "engine/cleaning/greyframe.h"

#include "engine/cleaning/pixelmodule.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>

#include <gdcmDataSet.h>
#include <gdcmPixelFormat.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace GreyFrame {

using namespace PixelModule;

namespace {

// Decoding stops short of images larger than this (a header that lies about its size).
constexpr unsigned long maxDecodedBytes = 1ul << 30;

// One sample of the decoded buffer as a number, masked to the bits stored.
class SampleReader
{
public:
    explicit SampleReader(const gdcm::PixelFormat &pf)
        : m_type(pf.GetScalarType()), m_bits(pf.GetBitsStored()),
          m_signed(pf.GetPixelRepresentation() == 1)
    { }

    int bytes() const
    {
        switch (m_type) {
        case gdcm::PixelFormat::UINT8:
        case gdcm::PixelFormat::INT8:
            return 1;
        case gdcm::PixelFormat::UINT16:
        case gdcm::PixelFormat::INT16:
            return 2;
        case gdcm::PixelFormat::UINT32:
        case gdcm::PixelFormat::INT32:
            return 4;
        default:
            return 0; // 1-bit, 12-bit packed, floats: not read
        }
    }

    double at(const char *p) const
    {
        uint32_t raw = 0;
        switch (bytes()) {
        case 1:
            raw = static_cast<uint8_t>(*p);
            break;
        case 2: {
            uint16_t v;
            std::memcpy(&v, p, 2);
            raw = v;
            break;
        }
        default:
            std::memcpy(&raw, p, 4);
            break;
        }
        const int width = bytes() * 8;
        if (m_bits <= 0 || m_bits >= width)
            return m_signed ? (width == 8            ? double(int8_t(raw))
                                       : width == 16 ? double(int16_t(raw))
                                                     : double(int32_t(raw)))
                            : double(raw);
        raw &= (uint32_t(1) << m_bits) - 1;
        if (m_signed && (raw & (uint32_t(1) << (m_bits - 1))))
            return double(raw) - double(uint64_t(1) << m_bits);
        return double(raw);
    }

private:
    gdcm::PixelFormat::ScalarType m_type;
    int m_bits;
    bool m_signed;
};

} // namespace

bool toGrey(const Frame &frame, Grey &grey, QString &problem)
{
    problem = QStringLiteral("the pixel data cannot be decoded");
    const int w = frame.width;
    const int h = frame.height;
    const int samples = frame.samples;
    const int bitsAllocated = frame.bitsAllocated;
    const int bitsStored = frame.bitsStored;
    const int representation = frame.representation;
    const std::string &photometric = frame.photometric;
    if (w <= 0 || h <= 0 || (samples != 1 && samples != 3)
        || (bitsAllocated != 8 && bitsAllocated != 16 && bitsAllocated != 32) || bitsStored <= 0
        || bitsStored > bitsAllocated || representation < 0 || representation > 1)
        return false;
    const std::size_t count = std::size_t(w) * std::size_t(h);
    const std::size_t step = std::size_t(bitsAllocated / 8);
    const std::size_t frameBytes = count * std::size_t(samples) * step;
    if (frameBytes > maxDecodedBytes) {
        problem = QStringLiteral("the image is too large to decode");
        return false;
    }
    if (!frame.data || frame.size < frameBytes)
        return false;
    const char *buffer = frame.data;
    const SampleReader sample(gdcm::PixelFormat(
            static_cast<unsigned short>(samples), static_cast<unsigned short>(bitsAllocated),
            static_cast<unsigned short>(bitsStored), static_cast<unsigned short>(bitsStored - 1),
            static_cast<unsigned short>(representation)));
    const bool planar = samples == 3 && frame.planar;
    const bool ybr = samples == 3 && photometric.rfind("YBR", 0) == 0;
    std::vector<float> luma(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (samples == 1) {
            luma[i] = float(sample.at(buffer + i * step));
            continue;
        }
        const auto channel = [&](std::size_t c) {
            const std::size_t index = planar ? c * count + i : i * 3 + c;
            return sample.at(buffer + index * step);
        };
        luma[i] = ybr ? float(channel(0))
                      : float(0.299 * channel(0) + 0.587 * channel(1) + 0.114 * channel(2));
    }
    const auto [lo, hi] = std::minmax_element(luma.begin(), luma.end());
    const float low = *lo;
    const float range = std::max(*hi - low, 1e-6f);
    const bool inverted = photometric == "MONOCHROME1";
    grey.width = w;
    grey.height = h;
    grey.pixels.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const int v = int(std::lround((luma[i] - low) * 255.0f / range));
        grey.pixels[i] = uint8_t(inverted ? 255 - v : v);
    }
    problem.clear();
    return true;
}

bool decodeFirstFrame(const gdcm::DataSet &ds, Grey &grey, QString &problem)
{
    problem = QStringLiteral("the pixel data cannot be decoded");
    Frame frame;
    frame.width = ushortOf(ds, columnsTag);
    frame.height = ushortOf(ds, rowsTag);
    frame.samples = ushortOf(ds, samplesTag);
    frame.bitsAllocated = ushortOf(ds, bitsAllocatedTag);
    frame.bitsStored = ushortOf(ds, bitsStoredTag);
    frame.representation = ushortOf(ds, pixelRepresentationTag);
    frame.planar = ushortOf(ds, planarConfigurationTag) == 1;
    frame.photometric = textOf(ds, photometricTag).toStdString();
    // Native 4:2:2 colour keeps two lumas to one pair of chromas: not read.
    if (frame.photometric == "YBR_FULL_422" || !ds.FindDataElement(pixelDataTag))
        return false;
    const gdcm::ByteValue *value = ds.GetDataElement(pixelDataTag).GetByteValue();
    if (!value || !value->GetPointer())
        return false;
    frame.data = value->GetPointer();
    frame.size = value->GetLength();
    return toGrey(frame, grey, problem);
}

bool decodeInChild(const QString &path, Grey &grey, QString &problem)
{
    problem = QStringLiteral("compressed pixel data cannot be decoded here");
    if (!QCoreApplication::instance())
        return false;
    const QString decoder
            = QCoreApplication::applicationDirPath() + QStringLiteral("/vexar-pixel-decoder");
    if (!QFileInfo(decoder).isExecutable())
        return false;
    QProcess child;
    child.setStandardErrorFile(QProcess::nullDevice());
    child.start(decoder, { path }, QIODevice::ReadOnly);
    if (!child.waitForStarted(10000))
        return false;
    if (!child.waitForFinished(30000)) {
        child.kill();
        child.waitForFinished(5000);
        problem = QStringLiteral("the pixel data took too long to decode");
        return false;
    }
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
        problem = QStringLiteral("GDCM cannot decode the pixel data");
        return false;
    }
    const QByteArray out = child.readAllStandardOutput();
    const qsizetype end = out.indexOf('\n');
    // GDCM pads the photometric interpretation's name to an even length.
    const QList<QByteArray> fields = out.left(end).simplified().split(' ');
    if (end < 0 || fields.size() != 8)
        return false;
    Frame frame;
    frame.width = fields.at(0).toInt();
    frame.height = fields.at(1).toInt();
    frame.samples = fields.at(2).toInt();
    frame.bitsAllocated = fields.at(3).toInt();
    frame.bitsStored = fields.at(4).toInt();
    frame.representation = fields.at(5).toInt();
    frame.planar = fields.at(6) == "1";
    frame.photometric = fields.at(7).toStdString();
    frame.data = out.constData() + end + 1;
    frame.size = std::size_t(out.size() - end - 1);
    return toGrey(frame, grey, problem);
}

} // namespace GreyFrame
