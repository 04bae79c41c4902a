#include "engine/job/fileanonymizer.h"

#include "engine/files/inputbytes.h"
#include "engine/files/outputfile.h"

#include <QDir>
#include <QFileInfo>

#include <gdcmFile.h>
#include <gdcmWriter.h>

namespace FileAnonymizer {

namespace {

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

} // namespace

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

} // namespace FileAnonymizer
