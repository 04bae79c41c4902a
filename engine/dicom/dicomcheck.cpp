#include "engine/dicom/dicomcheck.h"

#include "engine/dicom/datasetwalk.h"
#include "engine/dicom/deflateddataset.h"
#include "engine/dicom/dicomsyntax.h"
#include "engine/dicom/metagroup.h"
#include "engine/files/inputbytes.h"

#include <QByteArray>

#include <cstring>

// The walk follows the file the way GDCM 3.0 will parse it (same choice of transfer syntax,
// same reading of lengths), so that a file it passes cannot lead GDCM into one of its
// assertions or into allocating a length the file does not hold. Every length is checked
// against the end of the innermost enclosing container (the file, a defined-length sequence
// or item) before anything is read behind it; nothing is read outside [data, data + size).
namespace DicomCheck {

using namespace Detail;

Result checkBytes(const char *bytes, qint64 signedSize)
{
    if (!bytes || signedSize <= 0)
        return { false, QStringLiteral("empty file") };
    const auto *data = reinterpret_cast<const uchar *>(bytes);
    const quint64 size = quint64(signedSize);
    const Reader le(data, size, false);

    quint64 pos = 0;
    if (size >= 132 && std::memcmp(data + 128, "DICM", 4) == 0)
        pos = 132;
    if (size - pos < 8)
        return pos == 0 ? Result{ false, notDicom, 0 } : fail("truncated: no data set", pos);

    Syntax syntax;
    const Result start
            = le.u16(pos) == 0x0002 ? walkMetaGroup(le, pos, syntax) : guessSyntax(le, pos, syntax);
    if (!start.ok)
        return start;
    if (syntax.deflated)
        return walkDeflated(data, size, pos, syntax);
    const Result res = walkDataSet(Reader(data, size, syntax.bigEndian), pos, syntax);
    // Without a meta group the syntax is only a guess from the first element: a file whose
    // very first element does not hold is no DICOM file at all.
    if (!res.ok && syntax.guessed && res.offset == qint64(pos))
        return { false, notDicom, res.offset };
    return res;
}

Result checkSequenceValue(const char *data, qint64 size)
{
    // The value becomes the one element of a data set: an undefined-length sequence that
    // holds it, closed by a sequence delimiter.
    static const char open[8] = { '\x08', '\x00', '\x15', '\x11', '\xff', '\xff', '\xff', '\xff' };
    static const char close[8] = { '\xfe', '\xff', '\xdd', '\xe0', 0, 0, 0, 0 };
    if (size < 0)
        return fail("no value", 0);
    QByteArray buffer;
    buffer.reserve(size + 16);
    buffer.append(open, 8).append(data, size).append(close, 8);
    Syntax syntax;
    syntax.encoding = Encoding::Implicit;
    syntax.metaTaken = true;
    return walkDataSet(Reader(reinterpret_cast<const uchar *>(buffer.constData()),
                              static_cast<quint64>(buffer.size()), false),
                       0, syntax);
}

Result checkFile(const QString &path)
{
    InputBytes bytes;
    QString reason;
    if (!bytes.open(path, &reason))
        return { false, reason };
    return checkBytes(bytes.data(), bytes.size());
}

} // namespace DicomCheck
