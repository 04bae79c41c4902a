#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// What became of one input file of a job, as its worker reports it. It names files and
// element paths only: never a value read from a file.
// The kinds of identifying data a copy may still hold, as bits of FileOutcome::residueKinds.
namespace Residue {
enum Kind : quint32 {
    Names = 1,
    Ids = 2,
    Dates = 4,
    Uids = 8,
    PrivateData = 16,
    OtherDetails = 32, // addresses, institutions, descriptions, the preamble
    ImageText = 64, // the image may show text
    ImageTextOfPatient = 128, // ... and OCR read the patient's name, ID or birth date in it
    FileNames = 256,
};
}

struct FileOutcome
{
    enum class Status { Written, WrittenWithResidue, Failed, Skipped };

    Status status = Status::Failed;
    QString input;
    QString output;
    QString reason; // why the file failed or was skipped; empty when written
    QStringList residue; // paths of the elements that still identify, e.g. "(0010,0010)"
    quint32 residueKinds = 0; // Residue::Kind bits of what the residue is
    int blankedBoxes = 0; // text boxes painted over in the copy's image
};

Q_DECLARE_METATYPE(FileOutcome)
