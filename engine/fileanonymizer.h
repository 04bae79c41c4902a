#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <vector>

class QMutex;
class QmlHandler;

namespace gdcm {
class DataSet;
class File;
class Reader;
} // namespace gdcm

// The per-file steps of a job. Pure apart from the files they read and write; safe on any
// thread as long as each call has its own reader and file.
namespace FileAnonymizer {

// Checks the file's structure, then reads it with GDCM. False for a file that cannot be
// opened, fails the check, or that GDCM cannot parse; `reason`, when given, then says why.
bool read(const QString &input, gdcm::Reader &reader, QString *reason = nullptr);

// One profile entry as a worker applies it.
struct Replacement
{
    quint16 group = 0;
    quint16 element = 0;
    bool enabled = false;
    QByteArray text; // UTF-8, up to the first zero byte of the entry's text
};
using CompiledProfile = std::vector<Replacement>;

// The profile's entries in its key order, their numbers and texts read once.
CompiledProfile compileProfile(const QJsonObject &profile);

// Overwrites, in the profile's key order, every enabled entry's element that the data set
// holds at its top level with the entry's text (UTF-8, up to its first zero byte). Absent
// elements are never added; elements inside sequence items are left alone. An element that
// is itself a sequence is emptied (no items) instead.
void applyProfile(gdcm::DataSet &dataSet, const CompiledProfile &profile);

// Writes the file, meta header as read, to `output` through a temporary file in the output
// folder (created when missing), renamed over `output` only after the whole write succeeded.
// False, leaving nothing behind, on any failure; `reason`, when given, then says why.
// `madeFolder`, when given, names a folder known to exist (the previous file's); it is not made
// again, and is updated.
bool write(const gdcm::File &file, const QString &output, QString *madeFolder = nullptr,
           QString *reason = nullptr);

// After a failed write: removes a copy an earlier job left under the final name `output`, so
// that no copy made with another profile, or of another version of the input, passes for this
// job's. Says so in `reason`. Never called where `output` may be the input itself.
void removeStaleCopy(const QString &output, QString *reason);

// True when `outputFolder` exists and is, through a link somewhere on its way, the folder
// that holds `input`: the copy would replace its own input there.
bool folderHoldsInput(const QString &outputFolder, const QString &input);

} // namespace FileAnonymizer

// The worker function of a job, run on a pool thread: anonymizes inputs[i] into outputs[i]
// one file after the other. Every file ends in exactly one fileFinished() and then one
// writeFile() of the bridge; a failure also emits readError(input) or readError(output) first. Stops between files once
// the bridge asks it to (shutdown). The bridge waits for its workers before it is destroyed.
//
// The per-file profile copy is taken through the bridge, under the job mutex that is passed
// here too.
void anonymizeFiles(QList<QString> inputs, QList<QString> outputs, QMutex *jobMutex,
                    QmlHandler *handler);
