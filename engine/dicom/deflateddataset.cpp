#include "engine/dicom/deflateddataset.h"

#include "engine/dicom/datasetwalk.h"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <new>

namespace DicomCheck::Detail {

namespace {

// A deflated data set may inflate to at most this many bytes. GDCM holds the whole inflated
// data set in memory too; deflate is used for reports and small images, far below this.
constexpr qint64 maxInflatedSize = qint64(1) << 30;

// Runs a raw inflate over [data, data + size). With `out` null it only counts the inflated
// bytes (into a small scratch buffer); otherwise it writes them to `out`, which holds
// `capacity` bytes. False when the stream is damaged, cut short, or longer than `capacity`.
bool inflateRaw(const uchar *data, quint64 size, uchar *out, quint64 capacity, quint64 &outSize)
{
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
        return false;
    uchar scratch[16 * 1024];
    outSize = 0;
    quint64 consumed = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (out && outSize == capacity)
            break;
        const uInt inChunk = uInt(qMin<quint64>(size - consumed, 1u << 30));
        const uInt outChunk
                = out ? uInt(qMin<quint64>(capacity - outSize, 1u << 30)) : uInt(sizeof scratch);
        zs.next_in = const_cast<Bytef *>(data + consumed);
        zs.avail_in = inChunk;
        zs.next_out = out ? out + outSize : scratch;
        zs.avail_out = outChunk;
        rc = inflate(&zs, Z_NO_FLUSH);
        consumed += inChunk - zs.avail_in;
        outSize += outChunk - zs.avail_out;
        if (!out && outSize > capacity)
            break;
        if (rc == Z_BUF_ERROR && zs.avail_out != 0 && consumed < size)
            rc = Z_OK; // the chunk of input ran out; more follows
    }
    inflateEnd(&zs);
    return rc == Z_STREAM_END && outSize <= capacity;
}

// Inflates a deflated data set into one buffer of exactly its size: a first pass counts, so
// nothing is copied or over-allocated. False when damaged, cut short, too large or when the
// memory cannot be had.
bool inflateAll(const uchar *data, quint64 size, std::unique_ptr<uchar[]> &out, quint64 &outSize)
{
    quint64 counted = 0;
    if (!inflateRaw(data, size, nullptr, quint64(maxInflatedSize), counted) || counted == 0)
        return false;
    out.reset(new (std::nothrow) uchar[counted]);
    return out && inflateRaw(data, size, out.get(), counted, outSize) && outSize == counted;
}

} // namespace

// A deflated data set, inflated and walked as explicit VR little endian.
Result walkDeflated(const uchar *data, quint64 size, quint64 pos, const Syntax &syntax)
{
    std::unique_ptr<uchar[]> inflated;
    quint64 inflatedSize = 0;
    if (!inflateAll(data + pos, size - pos, inflated, inflatedSize))
        return fail("deflated data set is damaged or truncated", pos);
    if (inflatedSize == 0)
        return fail("no data set after the meta group", pos);
    const Result res = walkDataSet(Reader(inflated.get(), inflatedSize, false), 0, syntax);
    if (!res.ok)
        return { false, res.reason + QStringLiteral(" of the inflated data set") };
    return res;
}

} // namespace DicomCheck::Detail
