#pragma once

#include <gdcmVR.h>

#include <string>
#include <string_view>

// What a value representation can hold, for the texts the cleaning writes. Pure functions on
// bytes; safe on any thread.
namespace VrValue {

// True when `text` is a valid value of one element of that VR: a date that is a calendar date
// for DA, a decimal for DS, digits and dots for UI, no more characters than the VR allows, and
// so on. The empty text fits every VR. Binary VRs (and SQ, UN or an unknown VR) hold no text.
// A backslash, which would make several values of one, fits only the long text VRs.
bool fits(gdcm::VR::VRType vr, std::string_view text);

// `text` brought to an even length as the VR pads: a zero byte for UI and the byte VRs, a space
// for every other text VR.
std::string padded(gdcm::VR::VRType vr, std::string_view text);

// A harmless value of non-zero length that is valid for the VR ("ANONYMIZED", "19700101",
// "0", zero bytes for binary VRs), already padded. Not for UI (a UID is mapped, never made up)
// nor SQ.
std::string dummy(gdcm::VR::VRType vr);

// The VRs whose values are text (the ones a name, a date or a UID can stand in).
bool isText(gdcm::VR::VRType vr);

} // namespace VrValue
