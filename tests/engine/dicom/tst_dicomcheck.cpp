#include "engine/dicom/dicomcheck.h"
#include "engine/job/fileanonymizer.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/cleaning/uidmap.h"

#include "shared/dicomfiles.h"
#include "shared/dicomtext.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gdcmTrace.h>

#include <memory>

// The structural check over crafted files (data/dicom.cases), pydicom's test files, every cut
// of a few files and random damage. What GDCM itself would do with a file is asked of
// `dicomreadprobe`, which reads and writes it the way the anonymizer does in a child process:
// an abort there would have ended our program.
namespace {

enum ProbeOutcome { Read = 0, Refused = 1, WriteFailed = 2, HugeAllocation = 3, Crashed = 100 };

const QHash<QString, int> probeOutcomes = { { "read", Read },
                                            { "refused", Refused },
                                            { "writefails", WriteFailed },
                                            { "huge", HugeAllocation },
                                            { "crash", Crashed } };

int probe(const QString &path)
{
    QProcess p;
    p.start(QStringLiteral(TEST_BIN_DIR "/dicomreadprobe"), { path });
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return Crashed;
    }
    return p.exitStatus() == QProcess::CrashExit ? int(Crashed) : p.exitCode();
}

// Checks exactly `size` bytes held in a buffer of that size, so that a sanitizer build sees
// any read past the end.
DicomCheck::Result checkExact(const QByteArray &bytes)
{
    std::unique_ptr<char[]> copy(new char[size_t(qMax(1, int(bytes.size())))]);
    memcpy(copy.get(), bytes.constData(), size_t(bytes.size()));
    return DicomCheck::checkBytes(copy.get(), bytes.size());
}

QList<DicomText::Case> cases(const QString &withWord = QString())
{
    QList<DicomText::Case> out;
    for (const DicomText::Case &c :
         DicomText::readCases(QStringLiteral(TEST_DATA_DIR "/dicom.cases"))) {
        if (withWord.isEmpty() || c.words.contains(withWord))
            out.append(c);
    }
    return out;
}

} // namespace

class TestDicomCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void crafted_data();
    void crafted();
    void pydicomCorpus_data();
    void pydicomCorpus();
    void truncations_data();
    void truncations();

private:
    QTemporaryDir m_dir;
};

void TestDicomCheck::initTestCase()
{
    gdcm::Trace::WarningOff();
    gdcm::Trace::ErrorOff();
    QVERIFY(m_dir.isValid());
    QVERIFY2(QFile::exists(QStringLiteral(TEST_BIN_DIR "/dicomreadprobe")),
             "dicomreadprobe is built beside the tests");
    QVERIFY(cases().size() > 50);
}

void TestDicomCheck::crafted_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("gdcm");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("standard");
    for (const DicomText::Case &c : cases()) {
        QVERIFY2(c.error.isEmpty(), qPrintable(c.name + ": " + c.error));
        const QString gdcm = c.words.filter(QRegularExpression("^gdcm=")).value(0).mid(5);
        QVERIFY2(probeOutcomes.contains(gdcm), qPrintable(c.name));
        QTest::addRow("%s", qPrintable(c.name))
                << c.bytes << (c.words.value(0) == "ok") << probeOutcomes.value(gdcm) << c.text
                << c.words.contains("standard");
    }
}

// The verdict of the check, what GDCM does with the file, and what a job does with it: a
// refused file fails with the check's reason and leaves no copy; a file that passes gives a
// copy that reads again, or fails in words. The input never changes.
void TestDicomCheck::crafted()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, ok);
    QFETCH(int, gdcm);
    QFETCH(QString, reason);
    QFETCH(bool, standard);
    const DicomCheck::Result r = checkExact(bytes);
    QVERIFY2(r.ok == ok, qPrintable(r.reason));
    QCOMPARE(r.reason.isEmpty(), ok);
    const QString input = m_dir.filePath(QStringLiteral("in/case.dcm"));
    QVERIFY(TestDicom::writeAll(input, bytes));
    QCOMPARE(DicomCheck::checkFile(input).ok, ok);
    QCOMPARE(probe(input), gdcm);

    QTemporaryDir out;
    QVERIFY(out.isValid());
    FileAnonymizer::Folders folders;
    const FileOutcome outcome = FileAnonymizer::anonymizeFile(
            input, out.filePath(QStringLiteral("case.dcm")),
            FileAnonymizer::compileProfile(TagProfile::load()),
            { { standard, 0, std::make_shared<const UidMap>(QByteArray(32, 'k')) } }, folders);
    QCOMPARE(TestDicom::readAll(input), bytes);
    const QStringList written = TestDicom::treeOf(out.path());
    if (outcome.status == FileOutcome::Status::Failed) {
        QVERIFY(!outcome.reason.isEmpty());
        if (!ok)
            QCOMPARE(outcome.reason, r.reason);
        QCOMPARE(written, QStringList());
    } else {
        QVERIFY2(ok, qPrintable(outcome.reason));
        QCOMPARE(written, QStringList{ "case.dcm" });
        QVERIFY(FileAnonymizer::readsAgain(out.filePath(QStringLiteral("case.dcm"))));
    }
    const QRegularExpression expected(QRegularExpression::anchoredPattern(reason));
    QVERIFY2(reason.isEmpty() || expected.match(outcome.reason).hasMatch(),
             qPrintable(outcome.reason));
}

// pydicom's public test files: every file GDCM reads and writes must pass, except the ones
// refused on purpose below; every file GDCM aborts on (or allocates for) must be refused.
void TestDicomCheck::pydicomCorpus_data()
{
    QTest::addColumn<QString>("path");
    const QString root = TestDicom::pydicomFiles();
    if (!QDir(root).exists())
        QSKIP("pydicom's test files are not installed (python3-pydicom)");
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    QStringList paths;
    while (it.hasNext())
        paths << it.next();
    paths.sort();
    QVERIFY(paths.size() > 90);
    for (const QString &p : std::as_const(paths))
        QTest::addRow("%s", qPrintable(p.mid(root.size() + 1))) << p;
}

void TestDicomCheck::pydicomCorpus()
{
    QFETCH(QString, path);
    // GDCM reads these, but only by padding cut-off pixel data with zeros (the copy would be
    // silently damaged) or after allocating a length it misread (1.3 GB) on its way to
    // re-reading an implicit data set that its header calls explicit.
    static const QStringList refusedOnPurpose
            = { QStringLiteral("MR_truncated.dcm"), QStringLiteral("SC_rgb_jpeg.dcm") };
    const DicomCheck::Result r = DicomCheck::checkFile(path);
    const int gdcm = probe(path);
    if (refusedOnPurpose.contains(QFileInfo(path).fileName()))
        QVERIFY(!r.ok);
    else if (gdcm == Read)
        QVERIFY2(r.ok, qPrintable(r.reason));
    else if (gdcm == Crashed || gdcm == HugeAllocation)
        QVERIFY2(!r.ok, "GDCM aborts on this file");
}

// A copy cut off anywhere (an interrupted copy) is refused, unless the cut falls between two
// top-level elements, where nothing shows; GDCM then reads the shorter file safely.
void TestDicomCheck::truncations_data()
{
    QTest::addColumn<QByteArray>("bytes");
    for (const DicomText::Case &c : cases(QStringLiteral("cut")))
        QTest::addRow("%s", qPrintable(c.name)) << c.bytes;
    for (const char *name : { "rtplan.dcm", "CT_small.dcm", "image_dfl.dcm", "JPEG2000.dcm" }) {
        const QByteArray bytes = TestDicom::readAll(TestDicom::pydicomFiles() + '/' + name);
        if (!bytes.isEmpty())
            QTest::addRow("%s", name) << bytes;
    }
}

void TestDicomCheck::truncations()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(checkExact(bytes).ok);
    int accepted = 0;
    int cuts = 0;
    for (int cut = 1; cut < bytes.size(); cut += 97) {
        ++cuts;
        const QByteArray part = bytes.left(cut);
        if (!checkExact(part).ok)
            continue;
        ++accepted;
        const QString path = m_dir.filePath(QStringLiteral("cut.dcm"));
        QVERIFY(TestDicom::writeAll(path, part));
        const int gdcm = probe(path);
        QVERIFY2(gdcm == Read || gdcm == Refused,
                 qPrintable(QStringLiteral("cut at %1: GDCM gives %2").arg(cut).arg(gdcm)));
    }
    QVERIFY2(accepted * 4 < cuts, "nearly every cut is seen");
}

QTEST_GUILESS_MAIN(TestDicomCheck)
#include "tst_dicomcheck.moc"
