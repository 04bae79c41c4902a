#pragma once

#include "engine/cleaning/standardoptions.h"
#include "engine/dicom/dicomfacts.h"

#include <QtGlobal>

// The standard clean-up's table (the Basic Application Level Confidentiality Profile of DICOM
// PS3.15 E.1-1), read from ":/confidentiality.tsv", a file generated from the standard's table
// by tools/gen-confidentiality.py. Each attribute has one action; codes the standard leaves to
// the IOD's typing are resolved there (X/Z and X/Z/D as Z, X/D and Z/D as D, X/Z/U* as U,
// C as D). The standard's options replace an attribute's code where their column gives one.
//
// The table is read once, on first use; afterwards it is read-only and safe on any thread.
namespace ConfidentialityProfile {

enum class Action : char {
    None, // the table does not name the attribute: kept
    Dummy, // D: a dummy value valid for the VR
    Zero, // Z: a zero-length value
    Remove, // X
    Keep, // K: kept; a sequence's items still go through the table
    Uid, // U: the consistent new UID
    Clean, // C (an option's): kept where nothing in it identifies, else a dummy
    ShiftDate, // C of the Modified Dates option: a date moved back by the patient's offset
};

// The action for an element; every private element (odd group) is removed, and so are curve
// data (50xx,xxxx) and overlay data and comments (60xx,3000 and 60xx,4000). `iodType` (see
// IodTypes) resolves the codes the standard leaves to it: X where the attribute is optional,
// Z where it may be empty, D (or U) where it must have a value; a Z on an attribute that must
// have a value is a D. Each option in `options` whose column names the attribute takes the
// place of all that (Modified Dates before the others).
Action action(quint16 group, quint16 element,
              DicomFacts::IodType iodType = DicomFacts::IodType::Unknown,
              StandardOptions::Set options = 0);

// True when the action depends on how the IOD types the attribute.
bool dependsOnType(quint16 group, quint16 element);

// True when the table allows the attribute to be removed (its code holds an X).
bool mayRemove(quint16 group, quint16 element);

} // namespace ConfidentialityProfile
