#include "engine/job/fileanonymizerread.h"

#include "engine/dicom/dicomcheck.h"
#include "engine/dicom/dicomfacts.h"
#include "engine/files/inputbytes.h"
#include "engine/files/memorystream.h"

#include <QByteArray>

#include <gdcmReader.h>

namespace FileAnonymizer {

namespace {

using DicomFacts::pixelData;

// Elements after the pixel data are read from a copy of the file's bytes without it: up to
// this many bytes of them. A file with more after its pixel data is read whole.
constexpr qint64 maxTrailerBytes = qint64(4) << 20;

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

} // namespace

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

bool read(const QString &input, gdcm::Reader &reader, QString *reason)
{
    InputBytes bytes;
    qint64 size = 0;
    return readInput(input, bytes, reader, reason, nullptr, &size);
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

} // namespace FileAnonymizer
