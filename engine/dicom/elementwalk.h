#pragma once

#include "engine/dicom/characterset.h"

#include <QString>

#include <gdcmDataElement.h>
#include <gdcmDataSet.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmSmartPointer.h>
#include <gdcmVR.h>

#include <string>
#include <string_view>

// Small pieces that the cleaning and the residue check share while they walk a data set and
// the items of its sequences. Pure; safe on any thread.
namespace ElementWalk {

// The element's value representation: the one the file states, or, where the file states none
// (implicit VR, UN), the dictionary's; for a private element that is found through its
// creator. VR::INVALID when nobody knows, and for a VR the dictionary gives as a choice
// (US or SS, OB or OW), which only binary values have.
gdcm::VR::VRType vrOf(const gdcm::DataElement &element, const gdcm::DataSet &owner);

// The element's bytes as read, or an empty view for a sequence or an empty element.
std::string_view bytes(const gdcm::DataElement &element);

// A text value without its padding (leading and trailing spaces, trailing zero bytes).
std::string_view trimmed(std::string_view value);

// The element's items when it is a sequence that GDCM has parsed; nullptr otherwise (a value
// of bytes, encapsulated pixel data).
gdcm::SequenceOfItems *sequence(gdcm::DataElement &element);
const gdcm::SequenceOfItems *sequence(const gdcm::DataElement &element);

// The items of a sequence, parsed or kept by GDCM as bytes (a defined length in an implicit
// VR file, VR UN): parsed here into a new sequence then, which is not put back. Null for
// anything else, and for bytes that do not parse.
gdcm::SmartPointer<gdcm::SequenceOfItems> itemsOf(const gdcm::DataElement &element,
                                                  const gdcm::DataSet &owner);

// Where an element stands, as a compact key: the tag of each element on the way, and the
// index of the item that was entered after each sequence. Keys compare equal exactly when they
// name the same element.
void appendTag(std::string &key, const gdcm::Tag &tag);
void appendItem(std::string &key, quint32 index);

// The character set that holds in a data set: its own Specific Character Set (0008,0005), or,
// in an item without one, the one of the data set around it.
CharacterSet characterSet(const gdcm::DataSet &dataSet, const CharacterSet &around);

// The text a value holds, decoded: a text VR's whole value; for bytes of no stated meaning (OB,
// UN, unknown VR) the runs of four or more printable characters in them, one per line, so
// that a name inside a maker's binary block is still read. Values over 64 MB give nothing.
QString text(const gdcm::DataElement &element, gdcm::VR::VRType vr, const CharacterSet &charset);

// True for the public elements whose dictionary keyword names an ID or a number (PatientID,
// OtherPatientIDs, AccessionNumber, StudyID...).
bool namesAnId(const gdcm::Tag &tag);

// True for the VRs that can hold no text: numbers in binary or decimal form, words of pixels.
bool holdsNoText(gdcm::VR::VRType vr);

// The key as a person reads it: "(0008,1110)[0]>(0010,0010)".
QString describe(std::string_view key);

} // namespace ElementWalk
