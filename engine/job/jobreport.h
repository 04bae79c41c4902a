#pragma once

#include "engine/cleaning/standardoptions.h"
#include "engine/job/fileoutcome.h"
#include "engine/job/jobplan.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

class SortedSpool;

// What became of a job's files, folder by folder, and the texts that tell the user: the one
// outcome line of the window and the report written beside each output folder. Reports name
// files, reasons and element paths, and the profile's own replacement texts: never a value
// read from a file.
//
// No QObject and no thread of its own: the bridge feeds it on the GUI thread.
namespace JobReport {

struct Counts
{
    int written = 0;
    int withResidue = 0;
    int failed = 0;
    int skipped = 0;
    quint32 residueKinds = 0; // Residue::Kind bits of every copy's residue

    // Files meant to be copied: written, with residue or failed. Skipped entries are apart.
    int files() const { return written + withResidue + failed; }
    void add(const FileOutcome &outcome);
};

// What residue holds, in plain words by kind: "names, IDs, image text (the image may show
// text)".
QString residueWords(quint32 kinds);

// How the job cleaned and named its copies, as its reports say it.
struct Method
{
    bool standard = false; // the standard clean-up
    StandardOptions::Set options = 0; // its options
    bool rename = false; // copies named from the data
    JobPlan::Shard shard; // this machine's part of the job
};

// A set of paths kept as 64-bit keyed hashes: about 10 bytes a path whatever its length. Two
// paths of one job share a hash with a chance of about n² / 2⁶⁵ (3 in 10⁸ for a million files);
// the sets below only decide which files a report adds beyond the job's outcomes.
class PathSet
{
public:
    void insert(const QString &path) { m_hashes.insert(hash(path)); }
    bool contains(const QString &path) const { return m_hashes.contains(hash(path)); }

private:
    static quint64 hash(const QString &path) { return quint64(qHash(path, 0x5eed5eedU)); }
    QSet<quint64> m_hashes;
};

// One output folder of a job and what became of its files. Only counts and the report's lines
// are kept, and the lines go to a temporary file beside the report as they come: a job of
// any number of files needs about the same memory.
struct Folder
{
    JobPlan::OutputFolder folder;
    // The report's line of each file (its path below the dropped folder, its status), read
    // back in path order when the report is written; made with the folder's first outcome.
    std::shared_ptr<SortedSpool> lines;
    PathSet reported; // the output path of every file reported
    PathSet reportedInputs; // and its input: a copy may be named otherwise than planned
    Counts counts;
    QString report; // the report's path, once written
    QString reportError; // why it could not be written
    // Files the report lists beyond this job's outcomes: inputs a stopped job never reached,
    // and copies in the output folder that an earlier job of the same input left.
    int notDone = 0;
    int earlier = 0;
};

// A job: its folders and their outcomes. Jobs dropped while one runs join it.
class Job
{
public:
    void addFolders(const QList<JobPlan::OutputFolder> &folders);
    // Files to the folder whose output holds their output path; one that matches no folder
    // is still counted.
    void add(const FileOutcome &outcome);

    const QList<Folder> &folders() const { return m_folders; }
    // Files the report of folder `index` lists beyond the outcomes, by their paths below the
    // dropped folder: an input a stopped job never reached, or a copy that an earlier job of
    // the same input left (by its path below the output folder).
    void addNotDone(qsizetype index, const QString &relative);
    void addEarlier(qsizetype index, const QString &relative);
    Counts counts() const { return m_counts; }

    // Writes the report of every folder that has outcomes, each beside its output folder,
    // and notes where it went or why it could not be written.
    void writeReports(const QDateTime &when, const QString &version, const QJsonObject &profile,
                      const Method &method, bool stopped);

private:
    SortedSpool &linesOf(Folder &folder);

    QList<Folder> m_folders;
    Counts m_counts;
};

// "<output folder>.report.txt": beside the output folder, never inside a copy tree. Each shard
// of a job spread over machines writes its own: "<output folder>.report.K-of-N.txt".
QString reportPath(const QString &outputFolder, const JobPlan::Shard &shard = {});

// True for a file name that a report has.
bool isReportName(const QString &path);

// The window's outcome line, e.g. "30 files: 29 written, 1 failed · Knee_depersonification";
// a folder without files is "no files found in <folder>". A stopped job (`stoppedOf`, the
// job's total, at least 0) begins "stopped after <done> of <total> files".
QString summaryText(const Job &job, int stoppedOf = -1, int done = 0);

// The head of the report of one folder: date and time, version, the profile as used (each
// enabled entry with its replacement text, and how the standard clean-up was applied). Each
// file follows on a line of its own, by its path below the dropped folder with its status and
// reason, sorted by path (see Job::writeReports).
QString reportHead(const Folder &folder, const QDateTime &when, const QString &version,
                   const QJsonObject &profile, const Method &method, bool stopped);

// Writes `text` as UTF-8 to `path` through a temporary file renamed into place: a reader
// finds the earlier report or the whole new one. False with `error` set on failure.
bool writeText(const QString &path, const QString &text, QString *error);

} // namespace JobReport
