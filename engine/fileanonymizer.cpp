#include "engine/fileanonymizer.h"

#include "bridge/qmlhandler.h"
#include "engine/dicomcheck.h"
#include "engine/outputfile.h"
#include "engine/tagprofile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gdcmDataElement.h>
#include <gdcmDataSet.h>
#include <gdcmFile.h>
#include <gdcmReader.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmTag.h>
#include <gdcmWriter.h>

namespace FileAnonymizer {

namespace {

bool isSequence(const gdcm::DataElement &element)
{
    return element.GetVR() == gdcm::VR::SQ
            || (!element.IsEmpty()
                && dynamic_cast<const gdcm::SequenceOfItems *>(&element.GetValue()) != nullptr);
}

} // namespace

bool read(const QString &input, gdcm::Reader &reader, QString *reason)
{
    // GDCM aborts the process or allocates the stated length on some malformed files; it
    // sees only files that pass our own walk.
    const DicomCheck::Result check = DicomCheck::checkFile(input);
    if (!check.ok) {
        if (reason)
            *reason = check.reason;
        return false;
    }
    reader.SetFileName(input.toStdString().c_str());
    // An exception (such as a failed allocation) is one more way for one file to fail; it
    // must never leave the worker.
    bool ok = false;
    try {
        ok = reader.Read();
    } catch (...) {
        ok = false;
    }
    if (!ok && reason)
        *reason = QStringLiteral("not readable as DICOM");
    return ok;
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

void applyProfile(gdcm::DataSet &dataSet, const CompiledProfile &profile)
{
    for (const Replacement &replacement : profile) {
        const gdcm::Tag tag(replacement.group, replacement.element);
        if (!dataSet.FindDataElement(tag))
            continue;
        if (!replacement.enabled)
            continue;
        gdcm::DataElement element = dataSet.GetDataElement(tag);
        if (isSequence(element)) {
            // No text can stand in a sequence (GDCM aborts the process when asked to write
            // one), and its items may hold anything: it is kept, emptied.
            gdcm::SmartPointer<gdcm::SequenceOfItems> empty = new gdcm::SequenceOfItems;
            element.SetVR(gdcm::VR::SQ);
            element.SetValue(*empty);
            element.SetVLToUndefined();
            dataSet.Replace(element);
            continue;
        }
        element.SetByteValue(replacement.text.constData(),
                             gdcm::VL(static_cast<uint32_t>(replacement.text.size())));
        dataSet.Replace(element);
    }
}

bool write(const gdcm::File &file, const QString &output, QString *madeFolder, QString *reason)
{
    const auto failed = [reason](const QString &why) {
        if (reason)
            *reason = QStringLiteral("cannot write: ") + why;
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
        return failed(out.errorString());
    if (madeFolder)
        *madeFolder = folder;
    gdcm::Writer writer;
    writer.CheckFileMetaInformationOff();
    writer.SetStream(out.stream());
    writer.SetFile(file);
    // GDCM does not look at the stream's state after writing: commit() does. An exception
    // fails the file like any other error; the temporary file goes with `out`.
    bool encoded = false;
    try {
        encoded = writer.Write();
    } catch (...) {
        encoded = false;
    }
    // A full disk stops GDCM too: the system's reason, where there is one, says more.
    if (!encoded)
        return failed(out.streamErrorString().isEmpty()
                              ? QStringLiteral("GDCM could not encode the data set")
                              : out.streamErrorString());
    if (!out.commit())
        return failed(out.errorString());
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

} // namespace FileAnonymizer

void anonymizeFiles(QList<QString> inputs, QList<QString> outputs, QMutex *jobMutex,
                    QmlHandler *handler)
{
    handler->workerStarted();
    // Whatever way the loop ends, the bridge hears last that this worker is done with it.
    struct Finished
    {
        QmlHandler *handler;
        ~Finished() { handler->workerFinished(); }
    } finished{ handler };

    // tagProfileSnapshot() copies the profile under this same mutex.
    Q_UNUSED(jobMutex);
    QString madeFolder;
    // The output folder last checked against the inputs' folders, and whether it is one.
    QString checkedFolder;
    bool folderIsInput = false;
    FileAnonymizer::CompiledProfile profile;
    quint64 profileRevision = 0;
    bool compiled = false;
    for (qsizetype i = 0; i < inputs.size(); ++i) {
        // Checked between files only: a file once begun is finished, so no half-written
        // output is ever left by a shutdown.
        if (handler->stopRequested())
            return;
        const QString &input = inputs.at(i);
        const QString &output = outputs.at(i);
        FileOutcome outcome;
        outcome.input = input;
        outcome.output = output;
        gdcm::Reader reader;
        if (!FileAnonymizer::read(input, reader, &outcome.reason)) {
            emit handler->readError(input);
            qDebug() << "error read file" << input;
            emit handler->fileFinished(outcome);
            emit handler->writeFile();
            continue;
        }
        handler->addBytesRead(QFileInfo(input).size());
        gdcm::File &file = reader.GetFile();
        // A copy for every file, so an edit made meanwhile applies from the next file on; it
        // is read again only when it was edited.
        quint64 revision = 0;
        const QJsonObject snapshot = handler->tagProfileSnapshot(&revision);
        if (!compiled || revision != profileRevision) {
            profile = FileAnonymizer::compileProfile(snapshot);
            profileRevision = revision;
            compiled = true;
        }
        FileAnonymizer::applyProfile(file.GetDataSet(), profile);
        // A link in the output tree may lead back into the input tree; the input is never
        // replaced. Outputs come folder by folder, so each folder is looked at once.
        const QString outputFolder = QFileInfo(output).absolutePath();
        if (outputFolder != checkedFolder) {
            checkedFolder = outputFolder;
            folderIsInput = FileAnonymizer::folderHoldsInput(outputFolder, input);
        }
        if (folderIsInput)
            outcome.reason = QStringLiteral("the copy would replace its own input");
        if (!folderIsInput && FileAnonymizer::write(file, output, &madeFolder, &outcome.reason)) {
            outcome.status = FileOutcome::Status::Written;
        } else {
            if (!folderIsInput)
                FileAnonymizer::removeStaleCopy(output, &outcome.reason);
            emit handler->readError(output);
            qDebug() << "error write file" << input << output;
        }
        emit handler->fileFinished(outcome);
        emit handler->writeFile();
    }
}
