#pragma once

#include "engine/cleaning/cleanup.h"

#include <QStringList>

namespace gdcm {
class File;
} // namespace gdcm

// Looks through a cleaned file (its preamble, the file meta group, the data set at every
// nesting level, private blocks, command elements and trailing padding included) for what may
// still identify the patient:
// - an element that an enabled profile entry or the standard's table names (other than K)
//   whose non-empty value the cleaning did not write: it is still the original;
// - a value the cleaning did not write in which the file's identifier matcher finds a name, an
//   ID, the birth date, another identifying value or an original UID, in whatever spelling,
//   case, order or character set (inside the printable runs of OB and UN values too);
// - a person's name (VR PN) that the cleaning did not write.
// - a preamble that holds anything but zeros.
// Names the paths of those elements, e.g. "(0008,1110)[0]>(0010,0010)", in the file's order;
// "preamble" for the preamble; and the kinds of what they hold (Residue::Kind bits). Never a
// value. Pure; safe on any thread.
namespace ResidueCheck {

struct Found
{
    QStringList paths;
    quint32 kinds = 0;
};

Found find(const gdcm::File &file, const Cleanup::Record &record);

// The Residue::Kind of what the matcher found.
quint32 kindOf(IdentifierMatcher::Kind kind);

} // namespace ResidueCheck
