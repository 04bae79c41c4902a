#include "engine/job/fileanonymizer.h"

#include "engine/cleaning/confidentialityprofile.h"
#include "engine/cleaning/linkfile.h"
#include "engine/cleaning/pseudonym.h"
#include "engine/cleaning/residuecheck.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/cleaning/uidmap.h"
#include "engine/dicom/dicomcheck.h"
#include "engine/dicom/dicomfacts.h"
#include "engine/dicom/elementwalk.h"
#include "engine/files/inputbytes.h"
#include "engine/files/memorystream.h"
#include "engine/files/outputfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gdcmFile.h>
#include <gdcmMediaStorage.h>
#include <gdcmReader.h>
#include <gdcmTag.h>
#include <gdcmWriter.h>

#include <cctype>

namespace FileAnonymizer {

namespace {

using DicomFacts::pixelData;

// Elements after the pixel data are read from a copy of the file's bytes without it: up to
// this many bytes of them. A file with more after its pixel data is read whole.
constexpr qint64 maxTrailerBytes = qint64(4) << 20;

// A copy up to this size is kept in memory while it is written, written at once and read again
// from there (OutputFile::keepWritten): the size of input read rather than mapped.
constexpr qint64 keptCopyLimit = qint64(InputBytes::readWholeBelow);

// GDCM's writer for the elements after the pixel data: the data set alone, in the file's
// transfer syntax, without preamble or meta group.
class DataSetWriter : public gdcm::Writer
{
public:
    DataSetWriter() { SetWriteDataSetOnly(true); }
};

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
    if (!options.standard)
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

// The file's bytes, read once, and the structural check's verdict on them. False, with
// `reason` set, when the file cannot be read or fails the check.
bool readChecked(const QString &path, InputBytes &bytes, DicomCheck::Result &check, QString *reason)
{
    QString why;
    if (bytes.open(path, &why)) {
        check = DicomCheck::checkBytes(bytes.data(), bytes.size());
        if (check.ok)
            return true;
        why = check.reason;
    }
    if (reason)
        *reason = why;
    return false;
}

// GDCM's parse of bytes that passed the structural check: whole, or up to the pixel data
// (the skip keeps GDCM from reading that value; the element itself is left out). An
// exception, such as a failed allocation, is one more way for one file to fail; it never
// leaves the worker.
bool parse(const char *data, qint64 size, gdcm::Reader &reader, bool upToPixelData)
{
    MemoryStream stream(data, size);
    reader.SetStream(stream);
    bool ok = false;
    try {
        ok = upToPixelData ? reader.ReadUpToTag(pixelData, { pixelData }) : reader.Read();
    } catch (...) {
        ok = false;
    }
    // The reader keeps no use of the stream once read.
    return ok;
}

// The bytes of a file without its top-level pixel data element, where the check found that
// element copyable and elements after it: the elements before and after it put together, as
// the data set GDCM would read without the pixel data. Empty when nothing follows the element,
// when more than maxTrailerBytes do, or when the bytes put together do not pass the check
// (GDCM sees only bytes that did).
QByteArray withoutPixelData(const char *data, const DicomCheck::Result &check)
{
    const qint64 trailer = check.size - check.pixelDataEnd;
    if (check.verbatimPixelData < 0 || trailer <= 0 || trailer > maxTrailerBytes)
        return {};
    QByteArray joined;
    joined.reserve(check.verbatimPixelData + trailer);
    joined.append(data, check.verbatimPixelData).append(data + check.pixelDataEnd, trailer);
    if (!DicomCheck::checkBytes(joined.constData(), joined.size()).ok)
        return {};
    return joined;
}

// GDCM's parse of bytes that passed the check as `check`, without the value of the top-level
// pixel data element: its elements before it and those after it (whole, where the element is
// not one the check found copyable). False when GDCM cannot parse them.
bool parseWithoutPixelData(const char *data, qint64 size, const DicomCheck::Result &check,
                           gdcm::Reader &reader)
{
    if (check.verbatimPixelData >= 0 && check.pixelDataEnd < size) {
        const QByteArray joined = withoutPixelData(data, check);
        if (!joined.isEmpty())
            return parse(joined.constData(), joined.size(), reader, false);
    }
    return parse(data, size, reader, true);
}

// GDCM's whole parse of a file that passed the structural check, read from the file itself.
bool parseFile(const QString &path, gdcm::Reader &reader)
{
    reader.SetFileName(path.toStdString().c_str());
    try {
        return reader.Read();
    } catch (...) {
        return false;
    }
}

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

// The path of a copy named from the data, made unique in the job: a second input of the same
// instance gets the keyed hash of its own path beside it.
QString claimedPath(const QString &input, const QString &planned, const gdcm::File &file,
                    const Cleanup::Record &record, const Options &options)
{
    const QStringList in = input.split(QLatin1Char('/'));
    QStringList out = planned.split(QLatin1Char('/'));
    out.resize(out.size() - partsBelow(in, out));
    const std::string pseudonym = record.pseudonym.empty()
            ? Pseudonym::of(record.patient, *options.uids)
            : record.pseudonym;
    QString path = renamedPath(out.join(QLatin1Char('/')), file, pseudonym, *options.uids);
    if (!options.claims)
        return path;
    std::lock_guard<std::mutex> lock(options.claims->mutex);
    if (!options.claims->paths.insert(path.toStdString()).second) {
        path.chop(4); // ".dcm"
        path += QLatin1Char('-')
                + QString::fromStdString(Pseudonym::shortName(input.toStdString(), *options.uids))
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
        if (options.standard) {
            out[i] = neutralName(name, i == out.size() - 1, *options.uids);
            renamed = true;
        } else if (!told) {
            outcome.residue.append(QStringLiteral("name"));
            outcome.residueKinds |= Residue::FileNames;
            told = true;
        }
    }
    return renamed ? out.join(QLatin1Char('/')) : output;
}

// Checks the file's structure, then reads it with GDCM. With `tail` given, a file whose
// top-level pixel data element the check found fit to be copied byte for byte is read without
// that element's value (DicomCheck::Result::verbatimPixelData), and `tail` names it in
// `bytes`, which must then stay open while the copy is written; otherwise the file is read
// whole and `tail->length` is 0. `size` receives the file's size once read.
bool readInput(const QString &input, InputBytes &bytes, gdcm::Reader &reader, QString *reason,
               VerbatimTail *tail, qint64 *size)
{
    if (tail)
        *tail = VerbatimTail{ &bytes, 0, 0 };
    // GDCM aborts the process or allocates the stated length on some malformed files; it
    // sees only files that pass our own walk, and parses the very bytes the walk read.
    DicomCheck::Result check;
    if (!readChecked(input, bytes, check, reason))
        return false;
    *size = bytes.size();
    QByteArray joined;
    bool verbatim = tail && check.verbatimPixelData >= 0;
    if (verbatim && check.pixelDataEnd < check.size) {
        joined = withoutPixelData(bytes.data(), check);
        verbatim = !joined.isEmpty();
    }
    // A large file that GDCM must read whole is read from the file: through the mapping, its
    // pages would count twice, once mapped and once in GDCM's copy of the pixel data.
    const bool fromFile = bytes.mapped() && !verbatim;
    if (fromFile)
        bytes.close();
    bool parsed = false;
    if (fromFile)
        parsed = parseFile(input, reader);
    else if (!joined.isEmpty())
        parsed = parse(joined.constData(), joined.size(), reader, false);
    else
        parsed = parse(bytes.data(), bytes.size(), reader, verbatim);
    if (!parsed) {
        if (reason)
            *reason = QStringLiteral("not readable as DICOM");
        return false;
    }
    if (verbatim) {
        tail->offset = check.verbatimPixelData;
        tail->length = check.pixelDataEnd - check.verbatimPixelData;
    }
    return true;
}

// GDCM's write of `file` into the stream of `out`. GDCM does not look at the stream's state
// after writing: OutputFile::finish() does. An exception fails the file like any other error;
// the temporary file goes with `out`.
bool encode(gdcm::Writer &writer, const gdcm::File &file, OutputFile &out)
{
    writer.SetStream(out.stream());
    writer.SetFile(file);
    try {
        return writer.Write();
    } catch (...) {
        return false;
    }
}

// Why encode() failed. A full disk stops GDCM too: the system's reason, where there is one,
// says more.
QString encodeError(const OutputFile &out)
{
    return QStringLiteral("cannot write: ")
            + (out.streamErrorString().isEmpty()
                       ? QStringLiteral("GDCM could not encode the data set")
                       : out.streamErrorString());
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

} // namespace

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

bool read(const QString &input, gdcm::Reader &reader, QString *reason)
{
    InputBytes bytes;
    qint64 size = 0;
    return readInput(input, bytes, reader, reason, nullptr, &size);
}

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

bool readsAgain(const char *data, qint64 size, QString *reason)
{
    const DicomCheck::Result check = DicomCheck::checkBytes(data, size);
    if (!check.ok) {
        if (reason)
            *reason = QStringLiteral("the copy does not read again: ") + check.reason;
        return false;
    }
    gdcm::Reader reader;
    if (!parseWithoutPixelData(data, size, check, reader)) {
        if (reason)
            *reason = QStringLiteral("the copy does not read again as DICOM");
        return false;
    }
    return true;
}

bool readsAgain(const QString &path, QString *reason)
{
    InputBytes bytes;
    QString why;
    if (!bytes.open(path, &why)) {
        if (reason)
            *reason = QStringLiteral("the copy does not read again: ") + why;
        return false;
    }
    return readsAgain(bytes.data(), bytes.size(), reason);
}

bool write(const gdcm::File &file, const QString &output, QString *madeFolder, QString *reason,
           const VerbatimTail *tail)
{
    const auto failed = [reason](const QString &why) {
        if (reason)
            *reason = why;
        return false;
    };
    // Two workers may create the same folder at once; either way it exists afterwards, and
    // a folder that cannot be made shows as a failed open below.
    const QString folder = QFileInfo(output).absolutePath();
    if (!madeFolder || *madeFolder != folder)
        QDir(folder).mkpath(QStringLiteral("."));
    OutputFile out(output);
    if (madeFolder)
        madeFolder->clear();
    if (!out.open())
        return failed(QStringLiteral("cannot write: ") + out.errorString());
    if (madeFolder)
        *madeFolder = folder;
    // Pixel data copied by the kernel goes to the file directly; any other copy is kept in
    // memory while it is small, written at once and read again from there.
    const bool kernelCopy = tail && tail->source->mapped();
    if (!kernelCopy)
        out.keepWritten(keptCopyLimit);
    gdcm::Writer writer;
    writer.CheckFileMetaInformationOff();
    if (!encode(writer, file, out))
        return failed(encodeError(out));
    if (kernelCopy && !out.appendRange(tail->source->handle(), tail->offset, tail->length))
        return failed(QStringLiteral("cannot write: ") + out.errorString());
    if (tail && !kernelCopy)
        out.stream().write(tail->source->data() + tail->offset, std::streamsize(tail->length));
    if (tail && tail->after && !tail->after->IsEmpty()) {
        // The data set alone, in the file's transfer syntax. GDCM's writers hold the files
        // they write by reference count: this one lives on the heap.
        const gdcm::SmartPointer<gdcm::File> rest = new gdcm::File;
        rest->GetHeader().SetDataSetTransferSyntax(file.GetHeader().GetDataSetTransferSyntax());
        rest->SetDataSet(*tail->after);
        DataSetWriter afterWriter;
        if (!encode(afterWriter, *rest, out))
            return failed(encodeError(out));
    }
    // Every write is checked here, whatever the copy read again would show.
    if (!out.finish())
        return failed(QStringLiteral("cannot write: ") + out.errorString());
    // GDCM writes some inputs it has read into copies that no reader, GDCM included, can
    // read again: only a copy that reads is ever put under its final name.
    QString unreadable;
    const OutputFile::Bytes kept = out.kept();
    if (kept.data ? !readsAgain(kept.data, kept.size, &unreadable)
                  : !readsAgain(out.temporaryPath(), &unreadable))
        return failed(unreadable);
    if (!out.commit())
        return failed(QStringLiteral("cannot write: ") + out.errorString());
    return true;
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
        bytes.close();
        Options whole = options;
        whole.verbatimPixelData = false;
        return anonymizeFile(input, planned, profile, whole, folders, bytesRead);
    }
    Cleanup::Record record;
    Cleanup::clean(file, profile,
                   Cleanup::Options{ options.standard, options.uids.get(), options.standardOptions,
                                     options.links != nullptr },
                   record);
    if (tail.length > 0 && nothingBeforePixelData(file.GetDataSet())) {
        // Nothing is left before the pixel data, which GDCM must then write itself.
        bytes.close();
        Options whole = options;
        whole.verbatimPixelData = false;
        return anonymizeFile(input, planned, profile, whole, folders, bytesRead);
    }
    if (file.GetDataSet().IsEmpty()) {
        // GDCM writes no file without a data set.
        outcome.reason = QStringLiteral("nothing of the data set is left after cleaning");
        return outcome;
    }
    const ResidueCheck::Found found = ResidueCheck::find(file, record);
    outcome.residue = found.paths;
    outcome.residueKinds = found.kinds;
    output = options.rename ? claimedPath(input, planned, file, record, options)
                            : judgeNames(input, planned, record, options, outcome);
    if (blanking)
        outcome.blankedBoxes = BurnedInText::blank(file.GetDataSet(), imageText.boxes);
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
    outcome.output = output;
    if (options.strict && !outcome.residue.isEmpty()) {
        outcome.reason = QStringLiteral("residue ") + outcome.residue.join(QLatin1Char(' '));
        removeStaleCopy(output, &outcome.reason);
        return outcome;
    }

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
        return outcome;
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
        return outcome;
    }
    // A copy whose pairs the link file does not hold could never be traced back: it goes.
    QString linkError;
    if (options.links && !options.links->append(output, record.links, &linkError)) {
        outcome.reason = QStringLiteral("cannot write the link file: ") + linkError;
        outcome.residue.clear();
        removeStaleCopy(output, &outcome.reason);
        return outcome;
    }
    outcome.status = outcome.residue.isEmpty() ? FileOutcome::Status::Written
                                               : FileOutcome::Status::WrittenWithResidue;
    return outcome;
}

} // namespace FileAnonymizer
