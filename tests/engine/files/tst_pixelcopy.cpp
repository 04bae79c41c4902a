#include "engine/dicom/dicomcheck.h"
#include "engine/job/fileanonymizer.h"
#include "engine/files/outputfile.h"
#include "engine/files/rangecopy.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/cleaning/uidmap.h"

#include "shared/dicomfiles.h"
#include "shared/dicomtext.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gdcmTrace.h>

#include <memory>

// The pixel data copied from the input: every copy is byte for byte what reading and writing
// the whole file with GDCM gives, over pydicom's test files, files made by GDCM and the shapes
// of pixel data in data/dicom.cases that must, or must not, be copied. More folders (the bench
// corpora) are compared when VEXAR_SAME_BYTES_DIRS names them (separated by ':').
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
    QSet<QString> m_profileTags; // "(GGGG,EEEE)" of every entry
    std::shared_ptr<const UidMap> m_uids = std::make_shared<const UidMap>(QByteArray(32, 'k'));
};

namespace {

enum class Path { Either, Verbatim, Whole };

} // namespace

void TestPixelCopy::initTestCase()
{
    gdcm::Trace::WarningOff();
    gdcm::Trace::ErrorOff();
    QVERIFY(m_made.isValid());
    m_profile = FileAnonymizer::compileProfile(TagProfile::load());
    for (const QJsonValue &entry : TagProfile::load()) {
        const QJsonObject e = entry.toObject();
        m_profileTags.insert(TestDicom::tagText(gdcm::Tag(TagProfile::tagNumber(e.value("tagU")),
                                                          TagProfile::tagNumber(e.value("tagD")))));
    }
    // Made by GDCM, with identifying values the cleaning changes, and the pixel data last.
    TestDicom::Options options;
    options.planted = true;
    for (const auto &[name, syntax] :
         { std::pair{ "explicit.dcm", gdcm::TransferSyntax::ExplicitVRLittleEndian },
           std::pair{ "implicit.dcm", gdcm::TransferSyntax::ImplicitVRLittleEndian },
           std::pair{ "bigendian.dcm", gdcm::TransferSyntax::ExplicitVRBigEndian } }) {
        options.syntax = syntax;
        QVERIFY(TestDicom::write(made(name), options));
    }
    // Elements after the pixel data; in the large file the pixel data is copied by the kernel
    // from the mapped input, in the small one from its bytes in memory.
    options.syntax = gdcm::TransferSyntax::ExplicitVRLittleEndian;
    options.trailer = true;
    QVERIFY(TestDicom::write(made("trailer.dcm"), options));
    options.pixelBytes = 6 << 20;
    QVERIFY(TestDicom::write(made("large with trailer.dcm"), options));
}

void TestPixelCopy::sameBytesEitherWay_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<Path>("expected");
    QTest::addColumn<bool>("standard");

    QList<QPair<QString, Path>> files = { { made("explicit.dcm"), Path::Verbatim },
                                          { made("implicit.dcm"), Path::Verbatim },
                                          { made("bigendian.dcm"), Path::Whole },
                                          { made("trailer.dcm"), Path::Verbatim },
                                          { made("large with trailer.dcm"), Path::Verbatim } };
    // Each shape of pixel data that must, or must not, be copied.
    for (const DicomText::Case &c :
         DicomText::readCases(QStringLiteral(TEST_DATA_DIR "/dicom.cases"))) {
        const QString path = c.words.filter(QRegularExpression("^pixels=")).value(0).mid(7);
        if (path.isEmpty())
            continue;
        const QString file = made(c.name.section(QLatin1Char(' '), 1) + QLatin1String(".dcm"));
        QVERIFY(TestDicom::writeAll(file, c.bytes));
        files.append({ file, path == QLatin1String("verbatim") ? Path::Verbatim : Path::Whole });
    }
    // Among pydicom's files, the ones whose path is known either way.
    const QHash<QString, Path> known = {
        { "MR_small_implicit.dcm", Path::Verbatim },
        { "JPEG2000.dcm", Path::Verbatim },
        { "SC_rgb_small_odd.dcm", Path::Verbatim },
        { "nested_priv_SQ.dcm", Path::Verbatim },
        { "CT_small.dcm", Path::Verbatim }, // padding after the pixel data
        { "MR_small_padded.dcm", Path::Verbatim }, // the same
        { "MR_small_RLE.dcm", Path::Verbatim }, // fragments, then padding
        { "MR_small_bigendian.dcm", Path::Whole },
        { "image_dfl.dcm", Path::Whole },
        { "no_meta.dcm", Path::Whole },
        { "ExplVR_LitEndNoMeta.dcm", Path::Whole },
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
            FileAnonymizer::Options{ { standard, 0, m_uids }, false, true }, foldersA);
    const FileOutcome whole = FileAnonymizer::anonymizeFile(
            input, out.filePath("whole/x.dcm"), m_profile,
            FileAnonymizer::Options{ { standard, 0, m_uids }, false, false }, foldersB);
    QCOMPARE(TestDicom::sha256(input), before);
    QCOMPARE(int(copied.status), int(whole.status));
    QCOMPARE(copied.reason, whole.reason);
    QCOMPARE(copied.residue, whole.residue);
    if (copied.status != FileOutcome::Status::Written
        && copied.status != FileOutcome::Status::WrittenWithResidue) {
        QVERIFY(!QFileInfo::exists(out.filePath("verbatim/x.dcm")));
        return;
    }
    const QByteArray a = TestDicom::readAll(out.filePath("verbatim/x.dcm"));
    const QByteArray b = TestDicom::readAll(out.filePath("whole/x.dcm"));
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
    // The pixel data element as it is in the input, and behind it the elements that follow it
    // there as GDCM writes them (the standard clean-up removes the padding).
    if (verbatim)
        QVERIFY(a.contains(TestDicom::readAll(input).mid(
                check.verbatimPixelData, check.pixelDataEnd - check.verbatimPixelData)));
    if (standard)
        return;

    // The profile alone changes only what it names, leaves out a group length that no longer
    // holds, and makes a meta group that named another instance than its data set name it.
    // GDCM pads what had an odd length (pixel data fragments included) and gives a private
    // creator of VR UN its VR when it writes.
    const auto in = TestDicom::read(input);
    auto copy = TestDicom::read(out.filePath("whole/x.dcm"));
    QVERIFY(in && copy);
    if (in->GetDataSet().FindDataElement(TestDicom::patientName))
        QCOMPARE(TestDicom::valueOf(*copy, TestDicom::patientName), QByteArray("----"));
    for (const gdcm::DataElement &de : in->GetDataSet().GetDES()) {
        if (de.GetVL().IsOdd() || de.GetTag() == TestDicom::pixelData || de.GetVR() == gdcm::VR::UN)
            copy->GetDataSet().Replace(de);
    }
    for (const QString &tag : TestDicom::differences(in->GetDataSet(), copy->GetDataSet()))
        QVERIFY2(m_profileTags.contains(tag) || tag.endsWith(",0000)"), qPrintable(tag));
    const gdcm::Tag instance(0x0008, 0x0018);
    const gdcm::Tag metaInstance(0x0002, 0x0003);
    for (const QString &tag : TestDicom::differences(in->GetHeader(), copy->GetHeader())) {
        QVERIFY2(m_profileTags.contains(tag) || tag == "(0002,0000)"
                         || (tag == "(0002,0003)"
                             && TestDicom::metaValueOf(*in, metaInstance)
                                     != TestDicom::valueOf(*in, instance)),
                 qPrintable(tag));
    }
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
    QVERIFY(TestDicom::writeAll(dir.filePath("in"), source));
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
    QVERIFY(TestDicom::readAll(dir.filePath("out")) == "head" + source.mid(offset, length));
}

QTEST_GUILESS_MAIN(TestPixelCopy)
#include "tst_pixelcopy.moc"
