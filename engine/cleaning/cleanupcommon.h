#pragma once

#include "engine/cleaning/standardoptions.h"

#include <gdcmDataElement.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmTag.h>
#include <gdcmVR.h>

#include <string>

// What the steps of the cleaning (Cleanup::clean and the Cleaner's files) share: the tags
// more than one of them names, writing a value in place, and the elements the standard
// clean-up treats apart from its table.
namespace CleanupCommon {

inline const gdcm::Tag patientBirthDate(0x0010, 0x0030);
inline const gdcm::Tag patientName(0x0010, 0x0010);
inline const gdcm::Tag patientId(0x0010, 0x0020);
inline const gdcm::Tag codingSchemeDesignator(0x0008, 0x0102);
inline const gdcm::Tag codeMeaning(0x0008, 0x0104);

bool describesFile(const gdcm::Tag &tag);

// Elements live in a std::set ordered by tag; their values may change in place as long as the
// tag stays, which spares a search per change and keeps the walk's iterator valid.
inline gdcm::DataElement &mutableElement(const gdcm::DataElement &element)
{
    return const_cast<gdcm::DataElement &>(element);
}

inline void setValue(gdcm::DataElement &element, const std::string &value)
{
    element.SetByteValue(value.data(), gdcm::VL(static_cast<uint32_t>(value.size())));
}

inline void emptySequence(gdcm::DataElement &element)
{
    // No text can stand in a sequence (GDCM aborts the process when asked to write one), and
    // its items may hold anything: it is kept, emptied.
    gdcm::SmartPointer<gdcm::SequenceOfItems> empty = new gdcm::SequenceOfItems;
    element.SetVR(gdcm::VR::SQ);
    element.SetValue(*empty);
    element.SetVLToUndefined();
}

inline bool isDate(gdcm::VR::VRType vr)
{
    return vr == gdcm::VR::DA || vr == gdcm::VR::DT;
}

// True when the standard clean-up with `options` writes the element itself where a profile
// entry would: the pseudonym in the patient's name and ID, the moved birth date, and what an
// option keeps, cleans or moves. (Dates of other elements are known by their VR only; see
// applyProfile.)
bool standardTakesOver(const gdcm::Tag &tag, StandardOptions::Set options);

// An element's tag as the reports and the link file write it, e.g. "(0020,000D)".
std::string tagText(const gdcm::Tag &tag);

// Labels and descriptions that people type, which the table does not name: they hold
// whatever the person typing had in mind, a name or an ID of another file included, which
// no matcher built from this file can know. Replaced by a dummy (most are Type 1).
bool typedByStaff(const gdcm::Tag &tag);

} // namespace CleanupCommon
