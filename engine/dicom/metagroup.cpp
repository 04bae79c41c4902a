#include "engine/dicom/metagroup.h"

namespace DicomCheck::Detail {

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

} // namespace DicomCheck::Detail
