#pragma once

#include "engine/dicom/dicomfacts.h"

#include <string>

namespace gdcm {
class File;
class Tag;
} // namespace gdcm

// How the IOD of a file's SOP class types a top-level attribute: Type 1 (must have a value),
// Type 2 (must be present, may be empty), Type 3 (optional), or Unknown (an IOD or attribute
// GDCM's tables do not describe, or tables that could not be loaded). Conditional types count
// as their plain ones (1C as 1, 2C as 2). Where modules of one IOD type the attribute
// differently (GDCM's tables list the attributes nested in a module's sequences with the
// module, so a tag stands for every level it occurs at), Type 1 wins (some place needs a
// value), then Type 2 (some place needs it present).
//
// GDCM's IOD tables are loaded once, on first use; answers are kept per thread, by SOP class
// and tag. One object per file, used on one thread.
class IodTypes
{
public:
    explicit IodTypes(const gdcm::File &file) : m_file(file) { }

    DicomFacts::IodType of(const gdcm::Tag &tag);

private:
    const gdcm::File &m_file;
    std::string m_sopClass; // the file's media storage, looked up on first use
    bool m_known = false;
};
