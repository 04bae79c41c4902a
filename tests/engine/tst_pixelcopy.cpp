#include "engine/dicomcheck.h"
#include "engine/fileanonymizer.h"
#include "engine/outputfile.h"
#include "engine/rangecopy.h"
#include "engine/tagprofile.h"
#include "engine/uidmap.h"

#include "dicomfiles.h"

#include <QTemporaryDir>
#include <QTest>

#include <gdcmTrace.h>

#include <memory>

// The pixel data copied from the input: every copy is byte for byte what reading and writing
// the whole file with GDCM gives, over pydicom's test files and files made here with each
// shape of pixel data that must, or must not, be copied. More folders (the bench corpora) are
// compared when VEXAR_SAME_BYTES_DIRS names them (separated by ':').
class TestPixelCopy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameBytesEitherWay_data();
    void sameBytesEitherWay();
    void rangeCopy_data();
    void rangeCopy();

private:
    QString made(const QString &name) const { return m_made.filePath(name); }

    QTemporaryDir m_made;
    FileAnonymizer::CompiledProfile m_profile;
    std::shared_ptr<const UidMap> m_uids = std::make_shared<const UidMap>(QByteArray(32, 'k'));
};

namespace {

enum class Path { Either, Verbatim, Whole };

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(bytes) == bytes.size();
}

QByteArray le16(quint16 v)
{
    const char bytes[2] = { char(v & 0xff), char(v >> 8) };
    return QByteArray(bytes, 2);
}

QByteArray le32(quint32 v)
{
    return le16(quint16(v & 0xffff)) + le16(quint16(v >> 16));
}

const QByteArray pixelTag = QByteArray::fromHex("e07f1000");

// An explicit VR element with a 32-bit length.
QByteArray longElement(const QByteArray &tag, const char *vr, quint32 length,
                       const QByteArray &value = {}, const QByteArray &reserved = QByteArray(2, 0))
{
    return tag + QByteArray(vr, 2) + reserved + le32(length) + value;
}

QByteArray item(const QByteArray &value)
{
    return QByteArray::fromHex("feff00e0") + le32(quint32(value.size())) + value;
}

const QByteArray sequenceEnd = QByteArray::fromHex("feffdde000000000");

} // namespace

void TestPixelCopy::initTestCase()
{
    gdcm::Trace::WarningOff();
    gdcm::Trace::ErrorOff();
    QVERIFY(m_made.isValid());
    m_profile = FileAnonymizer::compileProfile(TagProfile::load());

    // Made by GDCM, the pixel data (16 bytes of OW in explicit VR) last: the files below
    // replace it, byte by byte, with other shapes.
    TestDicom::Options explicitLe;
    explicitLe.planted = true;
    QVERIFY(TestDicom::write(made("explicit.dcm"), explicitLe));
    TestDicom::Options implicitLe = explicitLe;
    implicitLe.syntax = gdcm::TransferSyntax::ImplicitVRLittleEndian;
    QVERIFY(TestDicom::write(made("implicit.dcm"), implicitLe));
    TestDicom::Options bigEndian = explicitLe;
    bigEndian.syntax = gdcm::TransferSyntax::ExplicitVRBigEndian;
    QVERIFY(TestDicom::write(made("bigendian.dcm"), bigEndian));
    TestDicom::Options jpeg = explicitLe;
    jpeg.syntax = gdcm::TransferSyntax::JPEGBaselineProcess1;
    QVERIFY(TestDicom::write(made("jpeg-native.dcm"), jpeg));

    const QByteArray native = readAll(made("explicit.dcm"));
    const qsizetype pixelAt = native.size() - 44;
    QCOMPARE(native.mid(pixelAt, 6), pixelTag + "OW");
    const QByteArray head = native.left(pixelAt);
    const QByteArray pixels = native.mid(pixelAt + 12);
    const QByteArray jpegNative = readAll(made("jpeg-native.dcm"));
    const QByteArray jpegHead = jpegNative.left(jpegNative.size() - 44);
    const QByteArray fragments = longElement(pixelTag, "OB", 0xffffffffu) + item({})
            + item("\xff\xd8\x01\x02") + item(QByteArray(6, 'j')) + sequenceEnd;
    const QList<QPair<QString, QByteArray>> shapes = {
        { "odd-ob.dcm", head + longElement(pixelTag, "OB", 31, pixels.left(31)) },
        { "un.dcm", head + longElement(pixelTag, "UN", 32, pixels) },
        { "reserved-bytes.dcm",
          head + longElement(pixelTag, "OW", 32, pixels, QByteArray::fromHex("0100")) },
        { "padding-after.dcm",
          native + longElement(QByteArray::fromHex("fcfffcff"), "OB", 4, QByteArray(4, 0)) },
        { "fragments.dcm", jpegHead + fragments },
        { "fragments-odd.dcm",
          jpegHead + longElement(pixelTag, "OB", 0xffffffffu) + item({}) + item("abc")
                  + sequenceEnd },
        { "fragments-ow.dcm",
          jpegHead + longElement(pixelTag, "OW", 0xffffffffu) + item({}) + item("abcd")
                  + sequenceEnd },
    };
    for (const auto &[name, bytes] : shapes)
        QVERIFY(writeAll(made(name), bytes));
}

void TestPixelCopy::sameBytesEitherWay_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<Path>("expected");
    QTest::addColumn<bool>("standard");

    QList<QPair<QString, Path>> files = {
        { made("explicit.dcm"), Path::Verbatim },    { made("implicit.dcm"), Path::Verbatim },
        { made("fragments.dcm"), Path::Verbatim },   { made("bigendian.dcm"), Path::Whole },
        { made("odd-ob.dcm"), Path::Whole },         { made("un.dcm"), Path::Whole },
        { made("reserved-bytes.dcm"), Path::Whole }, { made("padding-after.dcm"), Path::Whole },
        { made("fragments-odd.dcm"), Path::Whole },  { made("fragments-ow.dcm"), Path::Whole },
    };
    // Among pydicom's files, the ones whose path is known either way.
    const QHash<QString, Path> known = {
        { "MR_small_implicit.dcm", Path::Verbatim },
        { "JPEG2000.dcm", Path::Verbatim },
        { "SC_rgb_small_odd.dcm", Path::Verbatim },
        { "nested_priv_SQ.dcm", Path::Verbatim },
        { "CT_small.dcm", Path::Whole }, // padding after the pixel data
        { "MR_small_RLE.dcm", Path::Whole },
        { "MR_small_bigendian.dcm", Path::Whole },
        { "image_dfl.dcm", Path::Whole },
        { "no_meta.dcm", Path::Whole },
        { "ExplVR_LitEndNoMeta.dcm", Path::Whole },
        { "MR_small_padded.dcm", Path::Whole },
    };
    QStringList folders = qEnvironmentVariable("VEXAR_SAME_BYTES_DIRS")
                                  .split(QLatin1Char(':'), Qt::SkipEmptyParts);
    folders.prepend(TestDicom::pydicomFiles());
    for (const QString &folder : folders) {
        QStringList inFolder;
        QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            inFolder.append(it.next());
        inFolder.sort();
        for (const QString &file : inFolder)
            files.append({ file, known.value(QFileInfo(file).fileName(), Path::Either) });
    }
    for (const auto &[file, expected] : files) {
        for (const bool standard : { false, true }) {
            QTest::addRow("%s %s", qPrintable(QFileInfo(file).fileName()),
                          standard ? "standard" : "profile")
                    << file << expected << standard;
        }
    }
}

void TestPixelCopy::sameBytesEitherWay()
{
    QFETCH(QString, input);
    QFETCH(Path, expected);
    QFETCH(bool, standard);

    const QByteArray before = TestDicom::sha256(input);
    const DicomCheck::Result check = DicomCheck::checkFile(input);
    const bool verbatim = check.ok && check.verbatimPixelData >= 0;
    if (expected != Path::Either)
        QCOMPARE(verbatim, expected == Path::Verbatim);

    QTemporaryDir out;
    QVERIFY(out.isValid());
    FileAnonymizer::Folders foldersA;
    FileAnonymizer::Folders foldersB;
    const FileOutcome copied = FileAnonymizer::anonymizeFile(
            input, out.filePath("verbatim/x.dcm"), m_profile,
            FileAnonymizer::Options{ standard, false, m_uids, true }, foldersA);
    const FileOutcome whole = FileAnonymizer::anonymizeFile(
            input, out.filePath("whole/x.dcm"), m_profile,
            FileAnonymizer::Options{ standard, false, m_uids, false }, foldersB);
    QCOMPARE(TestDicom::sha256(input), before);
    QCOMPARE(int(copied.status), int(whole.status));
    QCOMPARE(copied.reason, whole.reason);
    QCOMPARE(copied.residue, whole.residue);
    if (copied.status != FileOutcome::Status::Written
        && copied.status != FileOutcome::Status::WrittenWithResidue) {
        QVERIFY(!QFileInfo::exists(out.filePath("verbatim/x.dcm")));
        return;
    }
    const QByteArray a = readAll(out.filePath("verbatim/x.dcm"));
    const QByteArray b = readAll(out.filePath("whole/x.dcm"));
    if (a != b) {
        qsizetype at = 0;
        while (at < qMin(a.size(), b.size()) && a.at(at) == b.at(at))
            ++at;
        QFAIL(qPrintable(QStringLiteral("copies differ from byte %1 (sizes %2 and %3, pixel "
                                        "data copied from byte %4)")
                                 .arg(at)
                                 .arg(a.size())
                                 .arg(b.size())
                                 .arg(check.verbatimPixelData)));
    }
    if (verbatim)
        QVERIFY(a.endsWith(readAll(input).mid(check.verbatimPixelData)));
}

// Each way of copying, over ranges that span several of the small buffer's rounds; a source
// that ends early is a failure, never a short copy.
void TestPixelCopy::rangeCopy_data()
{
    QTest::addColumn<RangeCopy::Method>("method");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<bool>("ok");
    const QList<QPair<const char *, RangeCopy::Method>> methods = {
        { "copy_file_range", RangeCopy::Method::CopyFileRange },
        { "sendfile", RangeCopy::Method::Sendfile },
        { "buffered", RangeCopy::Method::Buffered },
    };
    const qint64 size = 3 * (qint64(1) << 20) + 123;
    for (const auto &[name, method] : methods) {
        QTest::addRow("%s: whole", name) << method << qint64(0) << size << true;
        QTest::addRow("%s: odd start", name) << method << qint64(12345) << size - 12345 << true;
        QTest::addRow("%s: nothing", name) << method << size << qint64(0) << true;
        QTest::addRow("%s: past the end", name) << method << qint64(100) << size << false;
    }
}

void TestPixelCopy::rangeCopy()
{
    QFETCH(RangeCopy::Method, method);
    QFETCH(qint64, offset);
    QFETCH(qint64, length);
    QFETCH(bool, ok);

    QTemporaryDir dir;
    QByteArray source(3 * (1 << 20) + 123, Qt::Uninitialized);
    for (qsizetype i = 0; i < source.size(); ++i)
        source[i] = char((i * 131) >> 3);
    QVERIFY(writeAll(dir.filePath("in"), source));
    QFile in(dir.filePath("in"));
    QVERIFY(in.open(QIODevice::ReadOnly));
    QFile out(dir.filePath("out"));
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    QCOMPARE(out.write("head"), qint64(4));
    QString error;
    QCOMPARE(RangeCopy::copy(in.handle(), offset, out.handle(), length, &error, method), ok);
    out.close();
    if (!ok) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QVERIFY(readAll(dir.filePath("out")) == "head" + source.mid(offset, length));
}

QTEST_GUILESS_MAIN(TestPixelCopy)
#include "tst_pixelcopy.moc"
