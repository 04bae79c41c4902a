#pragma once

#include <QtGlobal>

#include <gdcmTag.h>

// The DICOM facts that several parts of the engine rely on, each written once: the tags they
// name, the nesting limit they share, the meta elements that describe the file, and how an IOD
// types an attribute. Value representations, transfer syntaxes and the dictionary come from
// GDCM (gdcm::VR, gdcm::TransferSyntax, gdcm::Global's dictionaries) instead.
namespace DicomFacts {

// A tag as a literal: usable in constant expressions, as the 32-bit number the structural
// check reads (group in the high half), and wherever GDCM takes a tag.
struct Tag
{
    quint16 group;
    quint16 element;

    constexpr quint32 number() const { return (quint32(group) << 16) | element; }
    operator gdcm::Tag() const { return gdcm::Tag(group, element); }
};

constexpr Tag metaGroupLength{ 0x0002, 0x0000 };
constexpr Tag transferSyntaxUid{ 0x0002, 0x0010 };
constexpr Tag specificCharacterSet{ 0x0008, 0x0005 };
constexpr Tag sopClassUid{ 0x0008, 0x0016 };
constexpr Tag sopInstanceUid{ 0x0008, 0x0018 };
constexpr Tag modality{ 0x0008, 0x0060 };
constexpr Tag pixelData{ 0x7fe0, 0x0010 };

// Sequences nested deeper than this are refused by the structural check. Real files stay far
// below it (structured reports reach a few dozen levels); GDCM parses each level with several
// recursive calls, so the bound also keeps its stack use small on pool threads. The walks over
// a file that passed (the cleaning, the residue check) stop at the same depth.
constexpr int maxSequenceDepth = 64;

// The file meta elements that describe the file itself and follow the data set it holds: the
// group length, the version, the media storage SOP class and instance, the transfer syntax.
// The cleaning keeps them consistent with the data set it writes instead of overwriting them.
constexpr bool describesFile(quint16 group, quint16 element)
{
    return group == 0x0002
            && (element == 0x0000 || element == 0x0001 || element == 0x0002 || element == 0x0003
                || element == 0x0010);
}

// The file meta elements that can hold nothing of the patient: those that describe the file,
// except the media storage SOP instance UID (0002,0003), which is the instance's own UID and is
// searched like every other.
constexpr bool metaHoldsNoIdentifier(quint16 group, quint16 element)
{
    return describesFile(group, element) && element != 0x0003;
}

// How the IOD of a file's SOP class types an attribute.
enum class IodType : quint8 {
    Unknown = 0, // an IOD or attribute GDCM's tables do not describe
    Type1 = 1, // must be present with a value (1C counts as 1)
    Type2 = 2, // must be present, may be empty (2C counts as 2)
    Type3 = 3, // optional
};

} // namespace DicomFacts
