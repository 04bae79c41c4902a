#pragma once

#include "engine/job/fileoutcome.h"
#include "engine/job/jobfiles.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Listing, naming and splitting of an anonymization job. Pure functions apart from reading
// the file system; they keep no state and run on the GUI thread.
namespace JobPlan {

// The suffix of every output folder: "<folder base name>_depersonification".
inline constexpr char outputSuffix[] = "_depersonification";

// Every output folder's report lies beside it under this name, and names its input on a line
// of its own: "Dropped folder: <path>". Read back to tell whose an existing output folder is.
QString reportPath(const QString &outputFolder);
inline constexpr char reportInputLabel[] = "Dropped folder: ";

// The dropped folder that the report beside `outputFolder` names; empty when there is no
// report or it names none.
QString reportedInput(const QString &outputFolder);

// One dropped folder and where its copies go. `existed`: the output folder already held
// something before the job, so this job's copies are added to an earlier job's (always one of
// the same input: see listFolders). `failure`: why the output folder cannot be made, with the
// system's reason; its files then fail with it and reach no worker.
struct OutputFolder
{
    QString input;
    QString output;
    bool existed = false;
    QString failure;
};

// A job: `files` are to be copied, each from its input to its output (see JobFiles); root i of
// `files` is entry i of `folders`. `settled` holds what the listing itself decided and no worker
// sees: entries skipped (a DICOMDIR, hidden entries, FIFOs, sockets, devices, links to folders or
// to nothing) and folders that cannot be listed (failed), each with its reason and its would-be
// output.
struct FileLists
{
    JobFiles files;
    QList<FileOutcome> settled;
    QList<OutputFolder> folders; // in the message's order
};

// The folder named by one piece of an "openFolder" value (a "file:" URL, parsed tolerantly),
// as usableFolder gives it (a trailing CR of a CR LF list is dropped). Empty when the piece
// names no folder.
QString folderOfPiece(const QString &piece);
// The folders an "openFolder" value names, one per piece that names one, in its order.
QStringList foldersOfPieces(const QStringList &pieces);

// The folder at local path `path`: its absolute path without a trailing separator. Empty when
// it names nothing that can be anonymized: an empty path, a path that is no existing folder,
// or a root folder (which has no parent to hold an output folder).
QString usableFolder(const QString &path);

// Lists every file below each folder (local paths, each as usableFolder takes it; recursively;
// links to folders are not followed) and
// names its output under the folder's sibling "<base name>_depersonification", repeating the
// path below the folder. A folder named twice is listed once. No two inputs get the same
// output: a folder whose output folder is already taken in this job (ct.2021 and ct.2022 both
// give ct_depersonification; names compare without regard to case, as a Windows or macOS file
// system does) uses its whole name (ct.2022_depersonification), and failing that a numbered
// one. The same holds for an output folder an earlier job made for another input (its report
// names another dropped folder): it is never added to. An output folder is never one of the
// dropped folders. Nothing is left out without a
// word: what is not anonymized goes to `settled` (see FileLists), a folder that cannot be
// listed, the dropped one included, as failed.
FileLists listFolders(const QStringList &folders);

// Why `outputFolder` cannot be made ("cannot create <path>: permission denied"), looking only
// at the file system: empty when it exists or its nearest existing parent lets this user
// create folders in it. Nothing is created.
QString cannotCreate(const QString &outputFolder);

// Calls `each` with every regular file below `folder`, by its path below it, hidden entries
// left out: what an output folder holds.
void forEachFileBelow(const QString &folder, const std::function<void(const QString &)> &each);

// One machine's part of a job spread over `count` machines: shard `index`, 1 to `count`.
struct Shard
{
    int index = 1;
    int count = 1;
    bool whole() const { return count <= 1; }
};

// The shard (1 to `count`) of a file by its path below the dropped folder: a hash of the path
// alone, so every machine sorts every file alike whatever it mounts the folder as.
int shardOf(const QString &pathBelow, int count);

// Keeps only the files of `shard` in `lists`: its files to copy, and the entries the listing
// skipped below it. Folders that could not be listed stay in every shard's lists,
// since no shard can tell whose files they hold.
void keepShard(FileLists &lists, const Shard &shard);

// The most workers a job is given: more only queue up on the same cores and cost memory.
int maxWorkers();

// A contiguous run of the job's lists: entries first .. first + count - 1.
struct Block
{
    qsizetype first = 0;
    qsizetype count = 0;
};

// Cuts n entries into `workers` contiguous blocks (at least one): entry i goes to block
// floor(workers * i / n). Sizes differ by at most one; blocks may be empty.
QList<Block> splitBlocks(qsizetype n, int workers);

} // namespace JobPlan
