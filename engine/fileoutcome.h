#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// What became of one input file of a job, as its worker reports it. It names files and
// element paths only: never a value read from a file.
struct FileOutcome
{
    enum class Status { Written, WrittenWithResidue, Failed, Skipped };

    Status status = Status::Failed;
    QString input;
    QString output;
    QString reason; // why the file failed or was skipped; empty when written
    QStringList residue; // paths of the elements that still identify, e.g. "(0010,0010)"
};

Q_DECLARE_METATYPE(FileOutcome)
