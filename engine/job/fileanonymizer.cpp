#include "engine/job/fileanonymizer.h"

#include "engine/cleaning/confidentialityprofile.h"
#include "engine/cleaning/linkfile.h"
#include "engine/cleaning/residuecheck.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/dicom/dicomfacts.h"
#include "engine/files/inputbytes.h"
#include "engine/job/fileanonymizernames.h"
#include "engine/job/fileanonymizerread.h"

#include <QFile>
#include <QFileInfo>

#include <gdcmFile.h>
#include <gdcmMediaStorage.h>
#include <gdcmReader.h>

namespace FileAnonymizer {

namespace {

using DicomFacts::pixelData;

// A file set's index (a DICOMDIR), under any name: its records name patients, and hold byte
// offsets into the file itself that no cleaning can keep true.
bool isDicomDir(const gdcm::File &file)
{
    gdcm::MediaStorage storage;
    storage.SetFromFile(file);
    return storage == gdcm::MediaStorage::MediaStorageDirectoryStorage;
}

// True when the cleaning may change the top-level pixel data: it then has to be in the data
// set, read by GDCM, and cannot be copied from the input.
bool cleaningTouchesPixelData(const CompiledProfile &profile, const Options &options)
{
    for (const Replacement &replacement : profile) {
        if (replacement.enabled && replacement.group == pixelData.group
            && replacement.element == pixelData.element)
            return true;
    }
    if (!options.cleaning.standard)
        return false;
    using ConfidentialityProfile::Action;
    using DicomFacts::IodType;
    for (const IodType type :
         { IodType::Unknown, IodType::Type1, IodType::Type2, IodType::Type3 }) {
        const Action action
                = ConfidentialityProfile::action(pixelData.group, pixelData.element, type);
        if (action != Action::None && action != Action::Keep)
            return true;
    }
    return false;
}

// True when the data set holds nothing before the pixel data: GDCM writes no file without a
// data set, so the pixel data cannot be copied after an empty one.
bool nothingBeforePixelData(const gdcm::DataSet &dataSet)
{
    return dataSet.IsEmpty() || !(dataSet.GetDES().begin()->GetTag() < pixelData);
}

// Moves the elements of `dataSet` after the top-level pixel data to a data set of their own.
gdcm::DataSet takeElementsAfterPixelData(gdcm::DataSet &dataSet)
{
    gdcm::DataSet after;
    const gdcm::DataSet::DataElementSet &all = dataSet.GetDES();
    for (auto it = all.upper_bound(gdcm::DataElement(pixelData)); it != all.end(); ++it)
        after.Insert(*it);
    for (const gdcm::DataElement &de : after.GetDES())
        dataSet.Remove(de.GetTag());
    return after;
}

// The file's path again with its pixel data read into the data set, where the copy cannot take
// it from the input: `bytes`, the input as read so far, are let go first.
FileOutcome anonymizeWhole(InputBytes &bytes, const QString &input, const QString &planned,
                           const CompiledProfile &profile, const Options &options, Folders &folders,
                           qint64 *bytesRead)
{
    bytes.close();
    Options whole = options;
    whole.verbatimPixelData = false;
    return anonymizeFile(input, planned, profile, whole, folders, bytesRead);
}

// Text in the image that the copy may still show is residue; text OCR read that names the
// file's own people says so.
void judgeImageText(const BurnedInText::Finding &imageText, const Cleanup::Record &record,
                    FileOutcome &outcome)
{
    // Painted boxes take what OCR read; text it could not read, or an image the header alone
    // flags, may still be there.
    const bool readTextLeft = !imageText.boxes.empty() && outcome.blankedBoxes == 0;
    if (imageText.flagged && (readTextLeft || imageText.boxes.empty())) {
        outcome.residue.append(QStringLiteral("(7FE0,0010)"));
        outcome.residueKinds |= Residue::ImageText;
        QString words;
        for (const std::string &word : imageText.words)
            words += QString::fromStdString(word) + QLatin1Char(' ');
        if (readTextLeft && record.matcher.find(words) != IdentifierMatcher::Kind::None)
            outcome.residueKinds |= Residue::ImageTextOfPatient;
    }
}

// Why no copy of the cleaned `file` can be kept at all; empty when one can.
QString cannotKeep(const gdcm::File &file, const Cleanup::Record &record)
{
    // As the structural check refuses such a file where the nesting is not hidden in a value:
    // none of it could be cleaned or checked.
    if (record.nestedTooDeeply)
        return QStringLiteral("sequences nested too deeply inside a value of bytes");
    // GDCM writes no file without a data set.
    if (file.GetDataSet().IsEmpty())
        return QStringLiteral("nothing of the data set is left after cleaning");
    return {};
}

// Writes the cleaned `file` to `outcome.output`, its pixel data from `tail` where that names
// some, and the copy's pairs to the link file. The outcome says how it went.
void keepCopy(gdcm::File &file, const QString &input, VerbatimTail &tail,
              const Cleanup::Record &record, const Options &options, Folders &folders,
              FileOutcome &outcome)
{
    const QString output = outcome.output;
    // A link in the output tree may lead back into the input tree; the input is never
    // replaced. Outputs come folder by folder, so each folder is looked at once.
    const QString outputFolder = QFileInfo(output).absolutePath();
    if (outputFolder != folders.checked) {
        folders.checked = outputFolder;
        folders.checkedHoldsInput = folderHoldsInput(outputFolder, input);
    }
    // Past this point a failure keeps no copy, so there is no residue to tell of: a failed
    // outcome with residue is a copy refused for it.
    if (folders.checkedHoldsInput) {
        outcome.reason = QStringLiteral("the copy would replace its own input");
        outcome.residue.clear();
        return;
    }
    // The elements after copied pixel data are written after it.
    gdcm::DataSet after;
    if (tail.length > 0) {
        after = takeElementsAfterPixelData(file.GetDataSet());
        tail.after = &after;
    }
    if (!write(file, output, &folders.made, &outcome.reason, tail.length > 0 ? &tail : nullptr)) {
        outcome.residue.clear();
        removeStaleCopy(output, &outcome.reason);
        return;
    }
    // A copy whose pairs the link file does not hold could never be traced back: it goes.
    QString linkError;
    if (options.cleaning.links && !options.cleaning.links->append(output, record.links, &linkError)) {
        outcome.reason = QStringLiteral("cannot write the link file: ") + linkError;
        outcome.residue.clear();
        removeStaleCopy(output, &outcome.reason);
        return;
    }
    outcome.status = outcome.residue.isEmpty() ? FileOutcome::Status::Written
                                               : FileOutcome::Status::WrittenWithResidue;
}

} // namespace

CompiledProfile compileProfile(const QJsonObject &profile)
{
    CompiledProfile compiled;
    compiled.reserve(static_cast<size_t>(profile.size()));
    for (auto it = profile.begin(); it != profile.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        Replacement replacement;
        replacement.group = TagProfile::tagNumber(entry.value(QLatin1String("tagU")));
        replacement.element = TagProfile::tagNumber(entry.value(QLatin1String("tagD")));
        replacement.enabled = entry.value(QLatin1String("enabled")).toBool(false);
        replacement.text = TagProfile::replacementText(entry).toUtf8();
        const qsizetype zero = replacement.text.indexOf('\0');
        if (zero >= 0)
            replacement.text.truncate(zero);
        compiled.push_back(std::move(replacement));
    }
    return compiled;
}

void removeStaleCopy(const QString &output, QString *reason)
{
    const QFileInfo info(output);
    if (!info.isFile() && !info.isSymLink())
        return;
    const bool removed = QFile::remove(output);
    if (reason)
        *reason += removed ? QStringLiteral("; the earlier copy there was removed")
                           : QStringLiteral("; an earlier copy there could not be removed");
}

bool folderHoldsInput(const QString &outputFolder, const QString &input)
{
    const QString real = QFileInfo(outputFolder).canonicalFilePath();
    return !real.isEmpty() && real == QFileInfo(input).canonicalPath();
}

FileOutcome anonymizeFile(const QString &input, const QString &planned,
                          const CompiledProfile &profile, const Options &options, Folders &folders,
                          qint64 *bytesRead)
{
    QString output = planned;
    FileOutcome outcome;
    outcome.input = input;
    outcome.output = output;
    if (bytesRead)
        *bytesRead = 0;
    InputBytes bytes;
    gdcm::Reader reader;
    VerbatimTail tail;
    const bool verbatim = options.verbatimPixelData && !cleaningTouchesPixelData(profile, options);
    qint64 size = 0;
    if (!readInput(input, bytes, reader, &outcome.reason, verbatim ? &tail : nullptr, &size))
        return outcome;
    if (bytesRead)
        *bytesRead = size;

    gdcm::File &file = reader.GetFile();
    if (isDicomDir(file)) {
        outcome.status = FileOutcome::Status::Skipped;
        outcome.reason = QStringLiteral("a DICOMDIR (the index of a file set) is not copied");
        return outcome;
    }
    // Judged on the image as read, before the cleaning touches its header.
    const BurnedInText::Finding imageText
            = BurnedInText::assess(input, file.GetDataSet(), options.ocr, tail.length > 0);
    const bool blanking = options.blankText && !imageText.boxes.empty();
    if (blanking && tail.length > 0) {
        // Painting needs the pixel data in the data set.
        return anonymizeWhole(bytes, input, planned, profile, options, folders, bytesRead);
    }
    Cleanup::Record record;
    Cleanup::clean(file, profile, options.cleaning, record);
    if (tail.length > 0 && nothingBeforePixelData(file.GetDataSet())) {
        // Nothing is left before the pixel data, which GDCM must then write itself.
        return anonymizeWhole(bytes, input, planned, profile, options, folders, bytesRead);
    }
    outcome.reason = cannotKeep(file, record);
    if (!outcome.reason.isEmpty())
        return outcome;
    const ResidueCheck::Found found = ResidueCheck::find(file, record);
    outcome.residue = found.paths;
    outcome.residueKinds = found.kinds;
    output = options.rename ? claimedPath(input, planned, file, record, options)
                            : judgeNames(input, planned, record, options, outcome);
    if (blanking)
        outcome.blankedBoxes = BurnedInText::blank(file.GetDataSet(), imageText.boxes);
    judgeImageText(imageText, record, outcome);
    outcome.output = output;
    if (options.strict && !outcome.residue.isEmpty()) {
        outcome.reason = QStringLiteral("residue ") + outcome.residue.join(QLatin1Char(' '));
        removeStaleCopy(output, &outcome.reason);
        return outcome;
    }

    keepCopy(file, input, tail, record, options, folders, outcome);
    return outcome;
}

} // namespace FileAnonymizer
