#include "engine/dicom/datasetwalk.h"

#include "engine/dicom/encapsulatedpixeldata.h"

#include <utility>

namespace DicomCheck::Detail {

namespace {

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

} // namespace

Result walkDataSet(const Reader &r, quint64 start, const Syntax &syntax)
{
    return Walk(r, start, syntax).run();
}

} // namespace DicomCheck::Detail
