#include "engine/dicom/dicomcheck.h"

#include "engine/dicom/dicomfacts.h"
#include "engine/files/inputbytes.h"

#include <gdcmTransferSyntax.h>
#include <gdcmVR.h>

#include <zlib.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

// The walk follows the file the way GDCM 3.0 will parse it (same choice of transfer syntax,
// same reading of lengths), so that a file it passes cannot lead GDCM into one of its
// assertions or into allocating a length the file does not hold. Every length is checked
// against the end of the innermost enclosing container (the file, a defined-length sequence
// or item) before anything is read behind it; nothing is read outside [data, data + size).
namespace DicomCheck {

namespace {

constexpr quint32 undefinedLength = 0xFFFFFFFFu;

using DicomFacts::maxSequenceDepth;

// A deflated data set may inflate to at most this many bytes. GDCM holds the whole inflated
// data set in memory too; deflate is used for reports and small images, far below this.
constexpr qint64 maxInflatedSize = qint64(1) << 30;

constexpr quint32 tag(quint16 group, quint16 element)
{
    return (quint32(group) << 16) | element;
}

constexpr quint32 itemTag = tag(0xFFFE, 0xE000);
constexpr quint32 itemEndTag = tag(0xFFFE, 0xE00D);
constexpr quint32 sequenceEndTag = tag(0xFFFE, 0xE0DD);
constexpr quint32 pixelDataTag = DicomFacts::pixelData.number();
constexpr quint32 metaGroupLengthTag = DicomFacts::metaGroupLength.number();
constexpr quint32 transferSyntaxTag = DicomFacts::transferSyntaxUid.number();

enum class Encoding {
    Implicit, // tag, 32-bit length
    Explicit, // tag, VR, 16- or 32-bit length
};

struct Syntax
{
    Encoding encoding = Encoding::Explicit;
    bool bigEndian = false;
    bool deflated = false;
    // GDCM took the meta group as such (preamble, then a group length in explicit VR); without
    // it, an implicit data set is read against the file's length.
    bool metaTaken = false;
    // No meta group: GDCM guessed the syntax from the first element.
    bool guessed = false;
    // Implicit or explicit VR little endian as named by a meta group GDCM took as such, in
    // a transfer syntax it reads and writes without any special handling: the only syntaxes
    // whose pixel data element may be copied verbatim.
    bool plain = false;
};

// The reading of one buffer in one syntax.
class Reader
{
public:
    Reader(const uchar *data, quint64 size, bool bigEndian)
        : m_data(data), m_size(size), m_bigEndian(bigEndian)
    { }

    quint16 u16(quint64 at) const
    {
        const uchar *p = m_data + at;
        return m_bigEndian ? quint16((p[0] << 8) | p[1]) : quint16(p[0] | (p[1] << 8));
    }
    quint32 u32(quint64 at) const
    {
        const uchar *p = m_data + at;
        return m_bigEndian
                ? (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3]
                : quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16)
                        | (quint32(p[3]) << 24);
    }
    quint32 tagAt(quint64 at) const { return (quint32(u16(at)) << 16) | u16(at + 2); }
    const uchar *at(quint64 offset) const { return m_data + offset; }
    quint64 size() const { return m_size; }

private:
    const uchar *m_data;
    quint64 m_size;
    bool m_bigEndian;
};

bool printable(uchar c)
{
    return c >= ' ' && c <= '~';
}

// How GDCM reads each pair of VR characters: a VR it knows with a 16-bit or a 32-bit length
// (after two reserved bytes); any other pair of printable characters it reads as UN, which has
// a 32-bit length.
enum VrClass : quint8 { UnknownVr = 0, ShortVr = 1, LongVr = 2 };

// GDCM's own VRs, looked up once; every one is two capital letters. GetVRTypeFromFile answers
// UN for a pair it does not know, so IsValid tells the known ones apart.
struct VrTable
{
    quint8 cls[26][26] = {};
    VrTable()
    {
        for (char first = 'A'; first <= 'Z'; ++first) {
            for (char second = 'A'; second <= 'Z'; ++second) {
                const char pair[3] = { first, second, '\0' };
                if (!gdcm::VR::IsValid(pair))
                    continue;
                const gdcm::VR::VRType vr = gdcm::VR::GetVRTypeFromFile(pair);
                cls[first - 'A'][second - 'A'] = gdcm::VR::GetLength(vr) == 4 ? LongVr : ShortVr;
            }
        }
    }
};

// GDCM's tables are constant data, ready before this is made.
const VrTable vrTable;

VrClass vrClass(const uchar *vr)
{
    if (vr[0] < 'A' || vr[0] > 'Z' || vr[1] < 'A' || vr[1] > 'Z')
        return UnknownVr;
    return VrClass(vrTable.cls[vr[0] - 'A'][vr[1] - 'A']);
}

bool knownVr(const uchar *vr)
{
    return vrClass(vr) != UnknownVr;
}

bool longLength(const uchar *vr)
{
    return vrClass(vr) != ShortVr;
}

bool isVr(const uchar *vr, const char *name)
{
    return vr[0] == uchar(name[0]) && vr[1] == uchar(name[1]);
}

// Faults that a file cut short shows; they are named as a truncation.
bool isTruncation(const char *reason)
{
    static const char *const truncations[] = {
        "value length beyond its container",
        "fragment length beyond its container",
        "item longer than its container",
        "meta element length beyond the file",
        "sequence without sequence delimiter",
        "item without item delimiter",
        "encapsulated pixel data without sequence delimiter",
        "no data set after the meta group",
    };
    for (const char *truncation : truncations) {
        if (std::strcmp(reason, truncation) == 0)
            return true;
    }
    return false;
}

Result fail(const char *reason, quint64 offset)
{
    QString text = QLatin1String(reason);
    if (text.startsWith(QLatin1String("truncated ")))
        text.insert(9, QLatin1Char(':'));
    else if (isTruncation(reason))
        text.prepend(QLatin1String("truncated: "));
    return { false, QStringLiteral("%1 at byte %2").arg(text).arg(offset), qint64(offset) };
}

const QString notDicom = QStringLiteral("not a DICOM file");

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

// The walk over the data set in [start, size) of `r`, read as GDCM will read it (`syntax`).
// Frames on a fixed stack stand for the containers the walk is inside; each step reads one
// header and moves on, so that no malformed nesting can recurse without bound.
class Walk
{
public:
    Walk(const Reader &r, quint64 start, const Syntax &syntax)
        : m_r(r), m_syntax(syntax), m_pos(start),
          m_firstTag(r.size() - start >= 4 ? r.tagAt(start) : 0)
    {
        m_stack[0] = { r.size(), FrameKind::TopLevel, false, syntax.encoding,
                       syntax.encoding == Encoding::Implicit && !syntax.metaTaken };
    }

    Result run()
    {
        for (;;) {
            const bool more
                    = m_stack[m_top].kind == FrameKind::Sequence ? nextItem() : nextElement();
            if (!more)
                return m_result;
        }
    }

private:
    enum class Next { Stop, Entered, Element };

    bool stop(Result result)
    {
        m_result = std::move(result);
        return false;
    }
    bool stop(const char *reason, quint64 offset) { return stop(fail(reason, offset)); }

    // The walk reached the end of the buffer at the top level.
    bool finish()
    {
        Result ok{ true, {} };
        // GDCM sorts the elements it writes: the ones read after the pixel data come after it
        // again only when every top-level tag was in order.
        if (m_pixelVerbatim && m_ascending) {
            ok.verbatimPixelData = qint64(m_pixelStart);
            ok.pixelDataEnd = qint64(m_pixelEnd);
            ok.size = qint64(m_r.size());
        }
        return stop(std::move(ok));
    }

    void enter(const Frame &frame, bool sequence)
    {
        m_stack[++m_top] = frame;
        m_sequenceDepth += sequence ? 1 : 0;
    }

    void leaveSequence()
    {
        --m_top;
        --m_sequenceDepth;
    }

    // In a sequence: its end, or the next item entered.
    bool nextItem()
    {
        const Frame &f = m_stack[m_top];
        if (!f.undefined && m_pos == f.end) {
            leaveSequence();
            return true;
        }
        if (f.end - m_pos < 8)
            return stop(f.undefined ? "sequence without sequence delimiter"
                                    : "truncated item header",
                        m_pos);
        const quint32 t = m_r.tagAt(m_pos);
        const quint32 length = m_r.u32(m_pos + 4);
        if (t == sequenceEndTag && f.undefined) {
            m_pos += 8;
            leaveSequence();
            return true;
        }
        if (t != itemTag)
            return stop("sequence holds a non-item", m_pos);
        m_pos += 8;
        if (length == undefinedLength) {
            enter({ f.end, FrameKind::Item, true, f.encoding, f.lengthsComputed }, false);
            return true;
        }
        if (length > f.end - m_pos)
            return stop("item longer than its container", m_pos - 8);
        if (length & 1)
            return stop("odd item length", m_pos - 8);
        enter({ m_pos + length, FrameKind::Item, false, f.encoding, true }, false);
        return true;
    }

    // In a data set (the top level or an item's): its end, a delimiter, or one element.
    bool nextElement()
    {
        const Frame &f = m_stack[m_top];
        if (f.kind == FrameKind::Item && !f.undefined && m_pos == f.end) {
            --m_top;
            return true;
        }
        if (f.kind == FrameKind::TopLevel && m_pos == f.end)
            return finish();
        if (f.end - m_pos < 8)
            return stop(f.kind == FrameKind::Item && f.undefined ? "item without item delimiter"
                                                                 : "truncated element header",
                        m_pos);
        const quint32 t = m_r.tagAt(m_pos);
        if (t == itemEndTag) {
            if (f.kind != FrameKind::Item || !f.undefined)
                return stop("stray item delimiter", m_pos);
            m_pos += 8;
            --m_top;
            return true;
        }
        if (t == sequenceEndTag) {
            // GDCM's explicit reader takes a sequence delimiter as the end of an undefined
            // item that lacks its own delimiter; the sequence frame then consumes it.
            if (f.kind == FrameKind::Item && f.undefined && f.encoding == Encoding::Explicit
                && m_stack[m_top - 1].undefined) {
                --m_top;
                return true;
            }
            return stop("stray sequence delimiter", m_pos);
        }
        if (const char *reason = misplaced(t, f))
            return stop(reason, m_pos);
        if (f.kind == FrameKind::TopLevel)
            noteTopLevelTag(t);
        return element(t, f);
    }

    // Tags GDCM cannot be given where they stand; null when `t` may stand here.
    const char *misplaced(quint32 t, const Frame &f) const
    {
        if (t == itemTag)
            return "item outside a sequence";
        // The meta group belongs before the data set. GDCM keeps such elements in the data set
        // and writes them first, where the next reader takes them for the meta group, with
        // whatever transfer syntax they name: the copy would not read again.
        if ((t >> 16) == 0x0002 && f.kind == FrameKind::TopLevel)
            return "meta group element inside the data set";
        // GDCM writes the elements in tag order. Without a meta group the copy's reader
        // guesses the syntax from its first element, which must then be the input's first.
        if (m_syntax.guessed && f.kind == FrameKind::TopLevel && t < m_firstTag)
            return "element before the first one in tag order (no meta group)";
        // GDCM takes this tag in explicit VR as the start of pixel data running to the end of
        // the file (a workaround for one old writer): the rest would silently become pixels.
        if (t == tag(0x00FF, 0x4AA5) && f.encoding == Encoding::Explicit)
            return "element read by GDCM as the rest of the file";
        return nullptr;
    }

    void noteTopLevelTag(quint32 t)
    {
        if (m_anyTopTag && t <= m_previousTopTag)
            m_ascending = false;
        m_previousTopTag = t;
        m_anyTopTag = true;
    }

    // One element from its header on: its value skipped, or its items or fragments entered.
    bool element(quint32 t, const Frame &f)
    {
        const quint64 elementStart = m_pos;
        Header h;
        h.tag = t;
        h.inner = f.encoding;
        if (f.encoding == Encoding::Explicit) {
            const Next next = readExplicitHeader(h, f);
            if (next != Next::Element)
                return next == Next::Entered;
        } else {
            readImplicitHeader(h);
        }
        if (const char *reason = writerLengthFault(h, f))
            return stop(reason, m_pos);
        const bool verbatimHeader = writtenBackAsIs(h, f);
        m_pos += h.size;
        if (h.fragments) {
            bool evenItems = true;
            Result res = walkFragments(m_r, m_pos, f.end, evenItems);
            if (!res.ok)
                return stop(std::move(res));
            if (verbatimHeader && evenItems)
                notePixelData(elementStart, m_pos);
            return true;
        }
        if (h.sequence) {
            if (m_sequenceDepth >= maxSequenceDepth)
                return stop("sequences nested too deeply", m_pos - h.size);
            enter({ f.end, FrameKind::Sequence, true, h.inner, f.lengthsComputed }, true);
            return true;
        }
        if (h.length > f.end - m_pos)
            return stop("value length beyond its container", m_pos - h.size);
        if ((h.length & 1) && f.kind == FrameKind::Item && f.lengthsComputed)
            return stop("odd value length inside an item", m_pos - h.size);
        m_pos += h.length;
        if (verbatimHeader && (h.length & 1) == 0)
            notePixelData(elementStart, m_pos);
        return true;
    }

    // An explicit VR header. A sequence of defined length is entered here at once.
    Next readExplicitHeader(Header &h, const Frame &f)
    {
        const uchar *vr = h.vr = m_r.at(m_pos + 4);
        // GDCM meets an implicit element in an explicit data set by re-reading the rest of the
        // file in several guessed ways, the first of which takes value bytes for lengths (and
        // allocates them) or asserts on a delimiter: such files are refused.
        if (!printable(vr[0]) || !printable(vr[1])) {
            stop("invalid value representation (implicit element in an explicit data set?)", m_pos);
            return Next::Stop;
        }
        if (longLength(vr)) {
            if (f.end - m_pos < 12) {
                stop("truncated element header", m_pos);
                return Next::Stop;
            }
            h.length = m_r.u32(m_pos + 8);
            h.size = 12;
        } else {
            h.length = m_r.u16(m_pos + 6);
            h.size = 8;
            if (h.length == 6 && isVr(vr, "UL") && (h.tag >> 16) == 0x0009)
                h.length = 4; // GDCM reads this known writer bug with four bytes
        }
        const bool isSq = isVr(vr, "SQ");
        const char *reason = nullptr;
        if (isSq && h.tag == pixelDataTag && h.length != 0)
            reason = "pixel data typed as a sequence";
        else if (h.length == undefinedLength)
            reason = undefinedExplicit(h, f, isSq);
        else if (isSq && h.length != 0)
            return enterDefinedSequence(h, f);
        if (reason) {
            stop(reason, m_pos);
            return Next::Stop;
        }
        return Next::Element;
    }

    // What an undefined length means in explicit VR; the reason when GDCM cannot take it.
    static const char *undefinedExplicit(Header &h, const Frame &f, bool isSq)
    {
        const uchar *vr = h.vr;
        if (isSq) {
            h.sequence = true;
        } else if (h.tag == pixelDataTag) {
            if (!isVr(vr, "OB") && !isVr(vr, "OW") && knownVr(vr) && !isVr(vr, "UN"))
                return "encapsulated pixel data with a wrong VR";
            h.fragments = true;
        } else if (isVr(vr, "UN") || !knownVr(vr)) {
            // Its items are in implicit VR. Where GDCM computes item lengths it counts these
            // items' elements with explicit VR headers, and asserts on the difference.
            if (f.lengthsComputed)
                return "sequence of VR UN inside an item of defined length";
            h.sequence = true;
            h.inner = Encoding::Implicit;
        } else {
            return "undefined length on a non-sequence";
        }
        return nullptr;
    }

    Next enterDefinedSequence(const Header &h, const Frame &f)
    {
        if (h.length > f.end - m_pos - h.size) {
            stop("value length beyond its container", m_pos);
            return Next::Stop;
        }
        if (m_sequenceDepth >= maxSequenceDepth) {
            stop("sequences nested too deeply", m_pos);
            return Next::Stop;
        }
        m_pos += h.size;
        enter({ m_pos + h.length, FrameKind::Sequence, false, h.inner, true }, true);
        return Next::Entered;
    }

    void readImplicitHeader(Header &h)
    {
        h.vr = m_r.at(m_pos + 4);
        h.length = m_r.u32(m_pos + 4);
        h.size = 8;
        if (h.length == 13 && h.tag != tag(0x0008, 0x0070) && h.tag != tag(0x0008, 0x0080))
            h.length = 10; // GDCM reads this known writer bug with ten bytes
        if (h.length == undefinedLength) {
            if (h.tag == pixelDataTag)
                h.fragments = true;
            else
                h.sequence = true;
        }
    }

    // GDCM writes a private creator or group length without a known VR (read in implicit VR,
    // or as UN) in explicit VR with a 16-bit length, and asserts when the length (or an
    // undefined one) does not fit.
    const char *writerLengthFault(const Header &h, const Frame &f) const
    {
        if (h.length <= 0xFFFF || m_syntax.encoding != Encoding::Explicit)
            return nullptr;
        if (f.encoding != Encoding::Implicit && !isVr(h.vr, "UN") && knownVr(h.vr))
            return nullptr;
        const quint16 element = h.tag & 0xFFFF;
        if (element == 0 || ((h.tag >> 16) & 1 && element >= 0x10 && element <= 0xFF))
            return "length too large for the 16-bit field GDCM writes";
        return nullptr;
    }

    // Whether GDCM's writer would give back this top-level pixel data element's header as it
    // is here: behind elements in strictly ascending order (GDCM sorts them, and a read that
    // stops at the pixel data must have seen all the others), with a VR the writer keeps and
    // reserved bytes of zero.
    bool writtenBackAsIs(const Header &h, const Frame &f) const
    {
        if (f.kind != FrameKind::TopLevel || h.tag != pixelDataTag || !m_syntax.plain
            || !m_ascending)
            return false;
        if (f.encoding == Encoding::Implicit)
            return !h.fragments;
        const uchar *vr = h.vr;
        return (isVr(vr, "OB") || (isVr(vr, "OW") && !h.fragments)) && vr[2] == 0 && vr[3] == 0;
    }

    // The pixel data in [start, end) is copied as it is, unless a tag out of order follows.
    void notePixelData(quint64 start, quint64 end)
    {
        m_pixelStart = start;
        m_pixelEnd = end;
        m_pixelVerbatim = true;
    }

    const Reader &m_r;
    const Syntax &m_syntax;
    quint64 m_pos;
    const quint32 m_firstTag;
    // Two frames per nesting level (sequence and item) plus the top level.
    Frame m_stack[2 * maxSequenceDepth + 2];
    int m_top = 0;
    int m_sequenceDepth = 0;
    // The top-level pixel data element, when GDCM would write it back byte for byte; and the
    // order of the top-level tags so far.
    quint64 m_pixelStart = 0;
    quint64 m_pixelEnd = 0;
    bool m_pixelVerbatim = false;
    bool m_ascending = true;
    quint32 m_previousTopTag = 0;
    bool m_anyTopTag = false;
    Result m_result;
};

// Walks the data set in [start, size) of `r`. `syntax` is what GDCM will read it as.
Result walkDataSet(const Reader &r, quint64 start, const Syntax &syntax)
{
    return Walk(r, start, syntax).run();
}

// How GDCM reads the transfer syntax that the meta element's `length` bytes at `uid` name;
// false for one it does not read.
bool syntaxFromUid(const char *uid, int length, Syntax &syntax)
{
    using TS = gdcm::TransferSyntax;
    // GDCM looks the value up as a C string, up to its first zero byte, with trailing spaces
    // removed. No UID has more than 64 characters: a longer value names nothing, and is not
    // copied.
    int n = 0;
    while (n < length && uid[n] != '\0')
        ++n;
    while (n > 0 && uid[n - 1] == ' ')
        --n;
    if (n > 64)
        return false;
    const TS ts = TS::GetTSType(std::string(uid, size_t(n)).c_str());
    // GDCM's table also names the implicit big endian of old ACR-NEMA files, under a made-up
    // UID, which its reader refuses.
    if (!ts.IsValid() || ts == TS::ImplicitVRBigEndianACRNEMA)
        return false;
    syntax = Syntax();
    syntax.encoding = ts.IsImplicit() ? Encoding::Implicit : Encoding::Explicit;
    syntax.bigEndian = ts.GetSwapCode() == gdcm::SwapCode::BigEndian;
    syntax.deflated = ts.IsEncoded();
    // GDCM reads the other implicit syntaxes (GE's, Papyrus') and Philips' private explicit one
    // with quirks of their own (pixel data in another byte order, private encodings): not plain.
    syntax.plain = ts == TS::ImplicitVRLittleEndian
            || (syntax.encoding == Encoding::Explicit && !syntax.bigEndian && !syntax.deflated
                && ts != TS::CT_private_ELE);
    return true;
}

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

// The file meta information at `pos`: group 0002, explicit VR little endian (GDCM also reads an
// implicit one). It ends where group 0002 ends; its group length is not trusted. Leaves `pos`
// behind it and names the data set's syntax.
Result walkMetaGroup(const Reader &le, quint64 &pos, Syntax &syntax)
{
    const quint64 size = le.size();
    const bool metaTaken
            = pos == 132 && le.tagAt(pos) == metaGroupLengthTag && isVr(le.at(pos + 4), "UL");
    const bool explicitMeta = knownVr(le.at(pos + 4));
    const char *uid = nullptr;
    int uidLength = 0;
    while (size - pos >= 8 && le.u16(pos) == 0x0002) {
        const quint32 t = le.tagAt(pos);
        const uchar *vr = le.at(pos + 4);
        quint64 header = 8;
        quint32 length;
        if (explicitMeta) {
            // GDCM asserts on a sequence here.
            if (!knownVr(vr) || isVr(vr, "SQ"))
                return fail("invalid value representation in the meta group", pos);
            if (longLength(vr)) {
                if (size - pos < 12)
                    return fail("truncated meta group", pos);
                length = le.u32(pos + 8);
                header = 12;
            } else {
                length = le.u16(pos + 6);
            }
        } else {
            length = le.u32(pos + 4);
        }
        if (length == undefinedLength || length > size - pos - header)
            return fail("meta element length beyond the file", pos);
        if (t == metaGroupLengthTag && explicitMeta && (!isVr(vr, "UL") || length != 4))
            return fail("malformed meta group length", pos);
        if (t == transferSyntaxTag && !uid) { // GDCM keeps the first of two
            uid = reinterpret_cast<const char *>(le.at(pos + header));
            uidLength = int(length);
        }
        pos += header + length;
    }
    if (!uid || !syntaxFromUid(uid, uidLength, syntax))
        return fail("missing or unknown transfer syntax", pos);
    syntax.metaTaken = metaTaken;
    syntax.plain = syntax.plain && metaTaken;
    if (pos == size)
        return fail("no data set after the meta group", pos);
    return { true, {} };
}

// No meta information: GDCM guesses the syntax from the first element, at `pos`.
Result guessSyntax(const Reader &le, quint64 pos, Syntax &syntax)
{
    const quint16 firstGroup = le.u16(pos);
    const quint16 firstElement = le.u16(pos + 2);
    const uchar *vr = le.at(pos + 4);
    const bool looksExplicit = printable(vr[0]) && printable(vr[1]) && knownVr(vr);
    if (firstGroup == 0x0008 || firstElement == 0x0010) {
        syntax = { looksExplicit ? Encoding::Explicit : Encoding::Implicit, false, false };
    } else if (firstGroup == 0x0800) {
        if (!looksExplicit)
            return fail("implicit VR big endian is not readable", pos);
        syntax = { Encoding::Explicit, true, false };
    } else if (looksExplicit) {
        const bool big = firstGroup > 0xFF || firstElement > 0xFF;
        syntax = { Encoding::Explicit, big, false };
    } else {
        return { false, notDicom, qint64(pos) };
    }
    syntax.guessed = true;
    return { true, {} };
}

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

} // namespace

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
