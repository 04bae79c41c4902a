#pragma once

#include "engine/cleaning/burnedintext.h"
#include "engine/cleaning/cleanup.h"
#include "engine/job/fileoutcome.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>
#include <mutex>
#include <unordered_set>

class InputBytes;

namespace gdcm {
class DataSet;
class File;
class Reader;
} // namespace gdcm

// The per-file steps of a job. Pure apart from the files they read and write; safe on any
// thread as long as each call has its own reader and file.
namespace FileAnonymizer {

using Cleanup::CompiledProfile;
using Cleanup::Replacement;

// The top-level pixel data element of an input, copied as it is between the elements GDCM
// writes before it and after it: bytes [offset, offset + length) of `source`, which stays open
// while the copy is written. `after`, when given, holds the cleaned elements that follow it;
// the file written then holds only those before it.
struct VerbatimTail
{
    const InputBytes *source = nullptr;
    qint64 offset = 0;
    qint64 length = 0;
    const gdcm::DataSet *after = nullptr;
};

// Checks the file's structure, then reads it whole with GDCM. False for a file that cannot be
// opened, fails the check, or that GDCM cannot parse; `reason`, when given, then says why.
bool read(const QString &input, gdcm::Reader &reader, QString *reason = nullptr);

// The profile's entries in its key order, their numbers and texts read once.
CompiledProfile compileProfile(const QJsonObject &profile);

// Reads a written file again as a later reader will: the structural check, then GDCM without
// the value of the pixel data (the elements before it, and those after it). False, with
// `reason` set, when it does not read.
bool readsAgain(const QString &path, QString *reason = nullptr);
// The same over a copy's bytes in memory.
bool readsAgain(const char *data, qint64 size, QString *reason = nullptr);

// Writes the file, meta header as read, to `output` through a temporary file in the output
// folder (created when missing), renamed over `output` only after the whole write succeeded
// and the copy read again (from memory where it was small enough to be kept there, else from
// the temporary file). With `tail`, its bytes stand between the data set's elements before the
// pixel data and those after it, copied from the input (by the kernel where the input is
// mapped, else from its bytes in memory). False, leaving nothing behind, on any failure;
// `reason`, when given, then says why. `madeFolder`, when given, names a folder known to exist
// (the previous file's); it is not made again, and is updated.
bool write(const gdcm::File &file, const QString &output, QString *madeFolder = nullptr,
           QString *reason = nullptr, const VerbatimTail *tail = nullptr);

// After a failed write: removes a copy an earlier job left under the final name `output`, so
// that no copy made with another profile, or of another version of the input, passes for this
// job's. Says so in `reason`. Never called where `output` may be the input itself.
void removeStaleCopy(const QString &output, QString *reason);

// True when `outputFolder` exists and is, through a link somewhere on its way, the folder
// that holds `input`: the copy would replace its own input there.
bool folderHoldsInput(const QString &outputFolder, const QString &input);

// How a job cleans its files: the one set of settings that the window, the headless command
// and the tests fill, that each worker copies at the start of every file and that reaches the
// per-file path and, as `cleaning`, the cleaning unchanged.
struct Options
{
    Cleanup::Options cleaning; // the standard clean-up and its options, UIDs, the link file
    bool strict = false; // a copy that still holds identifying data is not kept
    // Pixel data that GDCM would write back unchanged is copied from the input instead of
    // read and written, also where elements follow it (the same bytes; false makes every file
    // go through GDCM whole).
    bool verbatimPixelData = true;
    // Text burned into the pixels: how much OCR looks, and whether the boxes it finds are
    // painted over (native pixel data only).
    BurnedInText::OcrMode ocr = BurnedInText::OcrMode::Likely;
    bool blankText = false;
    // Copies named from the data (see renamedPath), not from the input's names.
    bool rename = false;
    // The names given out in this job when copies are named from the data: two inputs of one
    // instance UID never share a copy. Shared by the job's workers.
    struct Claims
    {
        std::mutex mutex;
        std::unordered_set<std::string> paths;
    };
    std::shared_ptr<Claims> claims = nullptr;
};

// Where a copy named from the data goes below `outputFolder`:
// "<pseudonym>/<study>/<series>-<modality>/<instance>.dcm", each of study, series and instance
// ten characters of the keyed hash of the copy's UID (Pseudonym::shortName). Nothing of the
// input's names or values is in it: the same in every run and on every machine with the key.
QString renamedPath(const QString &outputFolder, const gdcm::File &cleaned,
                    const std::string &pseudonym, const UidMap &uids);

// What one worker remembers from file to file about its output folders.
struct Folders
{
    QString made; // known to exist
    QString checked; // last looked at for being an input folder
    bool checkedHoldsInput = false;
};

// The whole path of one file: read, clean, look for residue, write. The outcome is written,
// written with residue (the copy is kept and its residue named) or failed with its reason.
// `bytesRead` receives the input's size once it was read, and stays 0 when it could not be.
// The names of the file and its folders below the dropped folder are judged like its values:
// with the standard clean-up a name that identifies the patient gives way to a neutral one in
// the copy's path (the outcome's `output` says where the copy went), without it the name is
// residue ("name").
FileOutcome anonymizeFile(const QString &input, const QString &output,
                          const CompiledProfile &profile, const Options &options, Folders &folders,
                          qint64 *bytesRead = nullptr);

} // namespace FileAnonymizer
