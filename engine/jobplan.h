#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Listing, naming and splitting of an anonymization job. Pure functions apart from reading
// the file system; they keep no state and run on the GUI thread.
namespace JobPlan {

// The suffix of every output folder: "<folder base name>_depersonification".
inline constexpr char outputSuffix[] = "_depersonification";

// A job: entry i of outputs is where the cleaned copy of entry i of inputs is written.
struct FileLists
{
    QStringList inputs;
    QStringList outputs;
};

// The folder named by one piece of an "openFolder" value (a "file:" URL, parsed tolerantly):
// its absolute path without a trailing separator (a trailing CR of a CR LF list is dropped
// too). Empty when the piece names nothing that can
// be anonymized: an empty piece, a path that is no existing folder, or a root folder (which
// has no parent to hold an output folder).
QString folderOfPiece(const QString &piece);

// Lists every file below each folder (recursively, DICOMDIR in any case left out) and names
// its output under the folder's sibling "<base name>_depersonification", repeating the path
// below the folder. A folder named twice is listed once. No two inputs get the same output:
// a folder whose output folder is already taken in this job (ct.2021 and ct.2022 both give
// ct_depersonification) uses its whole name (ct.2022_depersonification), and failing that a
// numbered one. An output folder is never one of the dropped folders. A subfolder that cannot
// be listed is itself an entry, so that its reading fails and names it.
FileLists listFolders(const QStringList &pieces);

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
