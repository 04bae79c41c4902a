#pragma once

namespace gdcm {
class File;
class Tag;
} // namespace gdcm

// How the IOD of a file's SOP class types a top-level attribute: 1 (must have a value),
// 2 (must be present, may be empty), 3 (optional), or 0 when that is not known (an IOD or
// attribute GDCM's tables do not describe, or tables that could not be loaded). Conditional
// types count as their plain ones (1C as 1, 2C as 2). Where modules of one IOD type the
// attribute differently, 1 wins (some module needs a value), then 3 (some module lets it be
// left out).
//
// GDCM's IOD tables are loaded once, on first use; answers are kept per thread, by SOP class
// and tag. Safe on any thread.
namespace IodType {

int of(const gdcm::File &file, const gdcm::Tag &tag);

} // namespace IodType
