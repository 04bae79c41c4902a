#pragma once

#include "engine/cleanup.h"

#include <QStringList>

namespace gdcm {
class File;
} // namespace gdcm

// Looks through a cleaned file (its preamble, the file meta group, the data set at every
// nesting level, private blocks included) for what may still identify the patient:
// - an element that an enabled profile entry or the standard's table names (other than K)
//   whose non-empty value the cleaning did not write: it is still the original;
// - an identifying value the file held before the cleaning, found in any other value the
//   cleaning did not write (the patient's name in a private element or a nested item, an
//   original UID in a reference);
// - a person's name (VR PN) that the cleaning did not write.
// - a preamble that holds anything but zeros.
// Returns the paths of those elements, e.g. "(0008,1110)[0]>(0010,0010)", in the file's order;
// "preamble" for the preamble. Never a value. Pure; safe on any thread.
namespace ResidueCheck {

QStringList find(const gdcm::File &file, const Cleanup::Record &record);

} // namespace ResidueCheck
