#include "engine/job/fileanonymizernames.h"

#include "engine/cleaning/pseudonym.h"
#include "engine/cleaning/uidmap.h"
#include "engine/dicom/dicomfacts.h"
#include "engine/dicom/elementwalk.h"

#include <QStringList>

#include <gdcmFile.h>
#include <gdcmTag.h>

#include <cctype>

namespace FileAnonymizer {

namespace {

// A neutral name for a file or folder whose name identifies the patient: made from the name
// by the keyed hash of the UID map, so every file of one folder goes to the same new folder,
// in every job and on every machine that share the key.
QString neutralName(const QString &name, bool isFile, const UidMap &uids)
{
    const std::string hashed = uids.map("name:" + name.toStdString());
    const QString digits = QString::fromStdString(hashed.substr(hashed.size() - 10));
    if (!isFile)
        return QStringLiteral("folder-") + digits;
    return QStringLiteral("file-") + digits
            + (name.endsWith(QLatin1String(".dcm"), Qt::CaseInsensitive) ? QStringLiteral(".dcm")
                                                                         : QString());
}

// How many of the last parts of `input` and `output` (split at '/') are the path below the
// dropped folder: the parts they share at their end, since the output folder's own name always
// differs from the dropped folder's.
qsizetype partsBelow(const QStringList &in, const QStringList &out)
{
    qsizetype below = 0;
    while (below < in.size() - 1 && below < out.size() - 1
           && in.at(in.size() - 1 - below) == out.at(out.size() - 1 - below))
        ++below;
    return below;
}

} // namespace

QString claimedPath(const QString &input, const QString &planned, const gdcm::File &file,
                    const Cleanup::Record &record, const Options &options)
{
    const QStringList in = input.split(QLatin1Char('/'));
    QStringList out = planned.split(QLatin1Char('/'));
    out.resize(out.size() - partsBelow(in, out));
    const std::string pseudonym = record.pseudonym.empty()
            ? Pseudonym::of(record.patient, *options.cleaning.uids)
            : record.pseudonym;
    QString path = renamedPath(out.join(QLatin1Char('/')), file, pseudonym, *options.cleaning.uids);
    if (!options.claims)
        return path;
    std::lock_guard<std::mutex> lock(options.claims->mutex);
    if (!options.claims->paths.insert(path.toStdString()).second) {
        path.chop(4); // ".dcm"
        path += QLatin1Char('-')
                + QString::fromStdString(Pseudonym::shortName(input.toStdString(), *options.cleaning.uids))
                + QLatin1String(".dcm");
        options.claims->paths.insert(path.toStdString());
    }
    return path;
}

// The names of the file and of its folders below the dropped folder, as the matcher of the
// file's own values judges them. Without the standard clean-up a name that identifies is
// residue ("name"); with it, the copy's path gets a neutral name in its place. Returns the
// copy's path.
QString judgeNames(const QString &input, const QString &output, const Cleanup::Record &record,
                   const Options &options, FileOutcome &outcome)
{
    const QStringList in = input.split(QLatin1Char('/'));
    QStringList out = output.split(QLatin1Char('/'));
    const qsizetype below = partsBelow(in, out);
    bool renamed = false;
    bool told = false;
    for (qsizetype i = out.size() - below; i < out.size(); ++i) {
        const QString &name = out.at(i);
        if (record.matcher.find(name) == IdentifierMatcher::Kind::None
            && !record.matcher.findUid(name.toStdString()))
            continue;
        if (options.cleaning.standard) {
            out[i] = neutralName(name, i == out.size() - 1, *options.cleaning.uids);
            renamed = true;
        } else if (!told) {
            outcome.residue.append(QStringLiteral("name"));
            outcome.residueKinds |= Residue::FileNames;
            told = true;
        }
    }
    return renamed ? out.join(QLatin1Char('/')) : output;
}

QString renamedPath(const QString &outputFolder, const gdcm::File &cleaned,
                    const std::string &pseudonym, const UidMap &uids)
{
    const gdcm::Tag studyInstanceUid(0x0020, 0x000d);
    const gdcm::Tag seriesInstanceUid(0x0020, 0x000e);
    const gdcm::DataSet &dataSet = cleaned.GetDataSet();
    const auto value = [&dataSet](const gdcm::Tag &tag) {
        return dataSet.FindDataElement(tag)
                ? std::string(ElementWalk::trimmed(ElementWalk::bytes(dataSet.GetDataElement(tag))))
                : std::string();
    };
    const auto hashed = [&uids](const std::string &uid) {
        return QString::fromStdString(Pseudonym::shortName(uid, uids));
    };
    QString modality;
    for (const char c : value(DicomFacts::modality)) {
        if (std::isalnum(static_cast<unsigned char>(c)) && modality.size() < 16)
            modality += QLatin1Char(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    if (modality.isEmpty())
        modality = QStringLiteral("OT");
    return outputFolder + QLatin1Char('/') + QString::fromStdString(pseudonym) + QLatin1Char('/')
            + hashed(value(studyInstanceUid)) + QLatin1Char('/') + hashed(value(seriesInstanceUid))
            + QLatin1Char('-') + modality + QLatin1Char('/')
            + hashed(value(DicomFacts::sopInstanceUid)) + QLatin1String(".dcm");
}

} // namespace FileAnonymizer
