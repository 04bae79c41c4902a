#pragma once

#include "engine/dicom/dicomcheck.h"
#include "engine/dicom/dicomfacts.h"

#include <QString>

// The words of the structural check: tags it meets, the syntax a data set is read in, a reader
// of one buffer in that syntax, how GDCM reads the two VR bytes, and the check's failures.
namespace DicomCheck::Detail {

constexpr quint32 undefinedLength = 0xFFFFFFFFu;

using DicomFacts::maxSequenceDepth;

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

inline bool printable(uchar c)
{
    return c >= ' ' && c <= '~';
}

// How GDCM reads each pair of VR characters: a VR it knows with a 16-bit or a 32-bit length
// (after two reserved bytes); any other pair of printable characters it reads as UN, which has
// a 32-bit length.
enum VrClass : quint8 { UnknownVr = 0, ShortVr = 1, LongVr = 2 };

VrClass vrClass(const uchar *vr);
// GDCM knows the VR; a VR it does not know is read as UN.
bool knownVr(const uchar *vr);
// The VR has a 32-bit length (after two reserved bytes): every VR GDCM does not know too.
bool longLength(const uchar *vr);
bool isVr(const uchar *vr, const char *name);

// A failure at `offset`; a fault that a file cut short shows is named as a truncation.
Result fail(const char *reason, quint64 offset);

extern const QString notDicom;

// How GDCM reads the transfer syntax that the meta element's `length` bytes at `uid` name;
// false for one it does not read.
bool syntaxFromUid(const char *uid, int length, Syntax &syntax);

} // namespace DicomCheck::Detail
