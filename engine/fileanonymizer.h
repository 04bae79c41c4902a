#pragma once

#include "engine/burnedintext.h"
#include "engine/cleanup.h"
#include "engine/fileoutcome.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>
#include <mutex>
#include <unordered_set>

class LinkFile;
class UidMap;

namespace gdcm {
class File;
class Reader;
} // namespace gdcm

// The per-file steps of a job. Pure apart from the files they read and write; safe on any
// thread as long as each call has its own reader and file.
namespace FileAnonymizer {

using Cleanup::CompiledProfile;
using Cleanup::Replacement;

// The end of an input file copied as it is behind the data set GDCM writes: its pixel data
// element, from `offset` to the input's end.
struct VerbatimTail
{
    QString input;
    qint64 offset = 0;
    qint64 length = 0;
};

// Checks the file's structure, then reads it with GDCM. False for a file that cannot be
// opened, fails the check, or that GDCM cannot parse; `reason`, when given, then says why.
//
// With `tail` given, a file whose top-level pixel data element the check found fit to be
// copied byte for byte (DicomCheck::Result::verbatimPixelData) is read only up to that element,
// which `tail` then names; otherwise the file is read whole and `tail->length` is 0.
bool read(const QString &input, gdcm::Reader &reader, QString *reason = nullptr,
          VerbatimTail *tail = nullptr);

// The profile's entries in its key order, their numbers and texts read once.
CompiledProfile compileProfile(const QJsonObject &profile);

// Reads a written file again as a later reader will: the structural check, then GDCM up to
// the pixel data. False, with `reason` set, when it does not read.
bool readsAgain(const QString &path, QString *reason = nullptr);

// Writes the file, meta header as read, to `output` through a temporary file in the output
// folder (created when missing), renamed over `output` only after the whole write succeeded
// and the temporary file read again. With `tail`, its bytes follow what GDCM wrote, copied
// from the input file without passing through memory. False, leaving nothing behind, on any
// failure; `reason`, when given, then says why. `madeFolder`, when given, names a folder known
// to exist (the previous file's); it is not made again, and is updated.
bool write(const gdcm::File &file, const QString &output, QString *madeFolder = nullptr,
           QString *reason = nullptr, const VerbatimTail *tail = nullptr);

// After a failed write: removes a copy an earlier job left under the final name `output`, so
// that no copy made with another profile, or of another version of the input, passes for this
// job's. Says so in `reason`. Never called where `output` may be the input itself.
void removeStaleCopy(const QString &output, QString *reason);

// True when `outputFolder` exists and is, through a link somewhere on its way, the folder
// that holds `input`: the copy would replace its own input there.
bool folderHoldsInput(const QString &outputFolder, const QString &input);

// How a job cleans its files.
struct Options
{
    bool standard = false; // the standard clean-up on top of the profile
    bool strict = false; // a copy that still holds identifying data is not kept
    std::shared_ptr<const UidMap> uids; // never null
    // Pixel data that GDCM would write back unchanged is copied from the input instead of
    // read and written (the same bytes; false makes every file go through GDCM whole).
    bool verbatimPixelData = true;
    // Text burned into the pixels: how much OCR looks, and whether the boxes it finds are
    // painted over (native pixel data only).
    BurnedInText::OcrMode ocr = BurnedInText::OcrMode::Likely;
    bool blankText = false;
    // The standard's options, applied with the standard clean-up only.
    StandardOptions::Set standardOptions = 0;
    // Copies named from the data (see renamedPath), not from the input's names.
    bool rename = false;
    // The site's link file, when the job keeps one: each copy's pairs go to it.
    std::shared_ptr<LinkFile> links = nullptr;
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
                          const CompiledProfile &profile, const Options &options,
                          Folders &folders, qint64 *bytesRead = nullptr);

} // namespace FileAnonymizer
