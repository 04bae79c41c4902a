#pragma once

#include "engine/job/fileanonymizer.h"

// The copy's path: named from the data, or from the input's names judged like its values.
namespace FileAnonymizer {

// The path of a copy named from the data, made unique in the job: a second input of the same
// instance gets the keyed hash of its own path beside it.
QString claimedPath(const QString &input, const QString &planned, const gdcm::File &file,
                    const Cleanup::Record &record, const Options &options);

// The names of the file and of its folders below the dropped folder, as the matcher of the
// file's own values judges them. Without the standard clean-up a name that identifies is
// residue ("name"); with it, the copy's path gets a neutral name in its place. Returns the
// copy's path.
QString judgeNames(const QString &input, const QString &output, const Cleanup::Record &record,
                   const Options &options, FileOutcome &outcome);

} // namespace FileAnonymizer
