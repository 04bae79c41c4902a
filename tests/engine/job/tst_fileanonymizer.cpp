#include "bridge/messagekeys.h"
#include "bridge/qmlhandler.h"
#include "engine/job/fileanonymizer.h"
#include "engine/job/jobplan.h"
#include "engine/files/outputfile.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/cleaning/uidmap.h"

#include "shared/dicomfiles.h"
#include "shared/dicomtext.h"
#include "shared/jobrunner.h"

#include <QJsonArray>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gdcmTrace.h>
#include <gdcmTransferSyntax.h>
#include <gdcmVR.h>

#include <algorithm>
#include <atomic>
#include <memory>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

// Whole jobs on real DICOM files (made with GDCM, and the test files pydicom ships) and on
// hostile trees: odd names, links, a full output file system, 50,000 empty files. Every check
// is on the files read back from disk.
class TestFileAnonymizer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void defaultProfile();
    void userTexts_data();
    void userTexts();
    void editDuringAJobAppliesFromTheNextFile();
    void badFilesFailWithTheirInputPath();
    void syntaxesReadAsGdcmReadsThem_data();
    void syntaxesReadAsGdcmReadsThem();
    void everyVrComesThrough_data();
    void everyVrComesThrough();
    void secondRunReplacesTheCopies();
    void shutdownDuringAJob();
    void outputFileLeavesNothingUncommitted();
    void failedStreamIsNeverCommitted_data();
    void failedStreamIsNeverCommitted();
    void outputFileSystemFillsUp();
    void trees_data();
    void trees();
    void fiftyThousandEmptyFiles();

private:
    TestJob::Result run(const QStringList &folders, const QString &patientName = QString());
    // The promise every job keeps: it reaches 1, every input listed either has a copy that
    // reads again (holding `patientName`) or is named in a failure, and no temporary file
    // stays behind.
    void verifyNothingLost(const QString &folder, const TestJob::Result &job,
                           const QByteArray &patientName = "----");
    void verifyNoPartFiles();
    QString path(const QString &relative) const { return m_dir->filePath(relative); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_mounted;
};

namespace {

// The profile's file meta entries, and the group length that follows them.
const QStringList metaReplaced = { "(0002,0000)", "(0002,0012)", "(0002,0013)", "(0002,0016)" };

bool isSubset(const QStringList &tags, const QStringList &of)
{
    return std::all_of(tags.begin(), tags.end(),
                       [&of](const QString &t) { return of.contains(t); });
}

QString readText(const QString &path)
{
    return QString::fromUtf8(TestDicom::readAll(path));
}

// A small data set in the transfer syntax `uid` names, encoded as GDCM's table says that syntax
// is (explicit VR little endian where the table does not know it), after a meta group naming it.
QByteArray inSyntax(const QByteArray &uid, const QStringList &elements)
{
    const gdcm::TransferSyntax syntax = gdcm::TransferSyntax::GetTSType(uid.constData());
    QStringList lines = { "meta \"" + QString::fromLatin1(uid).replace(QChar(0), "\\0") + '"' };
    if (syntax.IsValid() && syntax.IsImplicit())
        lines.append("implicit");
    if (syntax.IsValid() && syntax.GetSwapCode() == gdcm::SwapCode::BigEndian)
        lines.append("big");
    const bool deflated = syntax.IsValid() && syntax.IsEncoded();
    if (deflated)
        lines.append("deflate {");
    lines += { "(0008,0016) UI \"1.2.840.10008.5.1.4.1.1.7\\0\"", "(0008,0018) UI \"1.2.3.4\\0\"" };
    lines += elements;
    lines.append("(0010,0010) PN \"Doe^John\"");
    if (deflated)
        lines.append("}");
    QString error;
    const QByteArray bytes = DicomText::Assembler({}).assemble(lines, &error);
    return error.isEmpty() ? bytes : QByteArray();
}

#ifdef Q_OS_LINUX
// While it lives, no file of this process grows beyond `bytes`: a write across the limit
// writes up to it, the next one fails (EFBIG), as on a full disk but at a byte of our choice.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64 bytes)
    {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        struct rlimit limit = m_old;
        limit.rlim_cur = rlim_t(bytes);
        m_set = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool isSet() const { return m_set; }

private:
    struct rlimit m_old = {};
    void (*m_oldHandler)(int) = nullptr;
    bool m_set = false;
};
#endif

} // namespace

void TestFileAnonymizer::initTestCase()
{
    gdcm::Trace::WarningOff();
    gdcm::Trace::ErrorOff();
}

void TestFileAnonymizer::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestFileAnonymizer::cleanup()
{
#ifdef Q_OS_LINUX
    if (!m_mounted.isEmpty())
        ::umount2(QFile::encodeName(m_mounted).constData(), MNT_DETACH);
#endif
    m_mounted.clear();
}

TestJob::Result TestFileAnonymizer::run(const QStringList &folders, const QString &patientName)
{
    JobController jobs;
    jobs.setWorkerCount(2);
    if (!patientName.isEmpty())
        jobs.editProfile([&patientName](QJsonObject &profile) {
            TagProfile::setUserText(profile, "PatientsName:" + patientName);
        });
    QStringList paths;
    for (const QString &folder : folders)
        paths.append(path(folder));
    return TestJob::run(jobs, paths);
}

void TestFileAnonymizer::verifyNoPartFiles()
{
    for (const QString &file : TestDicom::treeOf(m_dir->path()))
        QVERIFY2(!file.endsWith(QLatin1String(".part")), qPrintable(file));
}

void TestFileAnonymizer::verifyNothingLost(const QString &folder, const TestJob::Result &job,
                                           const QByteArray &patientName)
{
    const JobPlan::FileLists lists
            = JobPlan::listFolders({ path(folder) });
    if (!lists.files.isEmpty())
        QCOMPARE(job.lastProgress, 1.0f);
    for (qsizetype i = 0; i < lists.files.size(); ++i) {
        const QString input = lists.files.input(i);
        const QString output = lists.files.output(i);
        const bool failed = job.errors.contains(input) || job.errors.contains(output);
        // Through a link, an output path may name the input itself.
        const bool copied = QFileInfo(output).isFile()
                && QFileInfo(output).canonicalFilePath() != QFileInfo(input).canonicalFilePath();
        QVERIFY2(failed != copied, qPrintable(input + (failed ? " failed" : " not copied")));
        gdcm::Reader reader;
        QVERIFY2(!copied || FileAnonymizer::read(output, reader), qPrintable(output));
        if (copied)
            QCOMPARE(TestDicom::valueOf(reader.GetFile(), TestDicom::patientName), patientName);
    }
    verifyNoPartFiles();
}

void TestFileAnonymizer::defaultProfile()
{
    TestDicom::Options options;
    options.withPrivateSequence = true;
    QVERIFY(TestDicom::write(path("in/a.dcm"), options));
    const QByteArray inputHash = TestDicom::sha256(path("in/a.dcm"));
    QCOMPARE(run({ "in" }).errors, QStringList());

    QCOMPARE(TestDicom::treeOf(path("in_depersonification")), QStringList{ "a.dcm" });
    const auto in = TestDicom::read(path("in/a.dcm"));
    const auto out = TestDicom::read(path("in_depersonification/a.dcm"));
    QVERIFY(in && out);
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientName), QByteArray("----"));
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientId), QByteArray("----"));
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::birthDate), QByteArray("19700101"));
    // "StudyDate" comes after "NoName_40" in key order and wins.
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::studyDate), QByteArray("19700101"));
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::institutionName), QByteArray("----"));
    // Absent before, absent after.
    QVERIFY(!out->GetDataSet().FindDataElement(TestDicom::patientSex));
    // Everything else as it was, the sequence with its nested name and the pixel data
    // included; of the meta group only the profile's entries, each valid for its VR, and
    // the elements that describe the file as they were. A sequence where the profile names a
    // text (GDCM asserts on writing one over it) is emptied.
    QCOMPARE(TestDicom::differences(in->GetDataSet(), out->GetDataSet()),
             (QStringList{ "(0008,0020)", "(0008,0080)", "(0009,1004)", "(0010,0010)",
                           "(0010,0020)", "(0010,0030)" }));
    const gdcm::DataElement &emptied = out->GetDataSet().GetDataElement(TestDicom::privateSequence);
    QCOMPARE(emptied.GetVR(), gdcm::VR(gdcm::VR::SQ));
    QCOMPARE(emptied.GetValueAsSQ()->GetNumberOfItems(), gdcm::SequenceOfItems::SizeType(0));
    QVERIFY(isSubset(TestDicom::differences(in->GetHeader(), out->GetHeader()), metaReplaced));
    QCOMPARE(TestDicom::metaValueOf(*out, gdcm::Tag(0x0002, 0x0013)), QByteArray("----"));
    QVERIFY(TestDicom::metaValueOf(*out, gdcm::Tag(0x0002, 0x0012)).startsWith("2.25."));
    QCOMPARE(TestDicom::metaValueOf(*out, gdcm::Tag(0x0002, 0x0003)),
             TestDicom::valueOf(*out, gdcm::Tag(0x0008, 0x0018)));
    QCOMPARE(TestDicom::sha256(path("in/a.dcm")), inputHash);

    // An independent reader agrees; the nested name is left only in the sequence the
    // profile does not list.
    QProcess dcmdump;
    dcmdump.start(QStringLiteral("dcmdump"), { path("in_depersonification/a.dcm") });
    if (!dcmdump.waitForStarted())
        QSKIP("dcmdump is not installed");
    QVERIFY(dcmdump.waitForFinished(30000));
    QCOMPARE(dcmdump.exitCode(), 0);
    QCOMPARE(dcmdump.readAllStandardOutput().count("Nested^Name"), 1);
}

void TestFileAnonymizer::userTexts_data()
{
    QTest::addColumn<QStringList>("messages"); // key|value
    QTest::addColumn<QByteArray>("expected");
    QTest::addRow("Doe gets one space")
            << QStringList{ "changeTagText|PatientsName:Doe" } << QByteArray("Doe ");
    QTest::addRow("Müller as seven UTF-8 bytes and a space")
            << QStringList{ "changeTagText|PatientsName:Müller" } << QByteArray("M\xc3\xbcller ");
    QTest::addRow("even length stays")
            << QStringList{ "changeTagText|PatientsName:Anon" } << QByteArray("Anon");
    QTest::addRow("emptied text falls back")
            << QStringList{ "changeTagText|PatientsName:Doe", "changeTagText|PatientsName:" }
            << QByteArray("----");
    QTest::addRow("switched off keeps the name")
            << QStringList{ "changeTagText|PatientsName:Doe", "changeGUI|PatientsName:0" }
            << QByteArray("Roe^Jane");
    QTest::addRow("switched on again with the stored text")
            << QStringList{ "changeTagText|PatientsName:Doe", "changeGUI|PatientsName:0",
                            "changeGUI|PatientsName:1" }
            << QByteArray("Doe ");
}

void TestFileAnonymizer::userTexts()
{
    QFETCH(QStringList, messages);
    QFETCH(QByteArray, expected);
    QVERIFY(TestDicom::write(path("in/a.dcm")));
    QmlHandler handler(QmlHandler::ServerClient::None);
    for (const QString &message : messages)
        handler.receiveFromQml(message.section('|', 0, 0), message.section('|', 1));
    QCOMPARE(TestJob::run(handler.jobs(), { path("in") }).errors, QStringList());
    const auto out = TestDicom::read(path("in_depersonification/a.dcm"));
    QVERIFY(out);
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientName), expected);
}

void TestFileAnonymizer::editDuringAJobAppliesFromTheNextFile()
{
    constexpr int files = 6;
    for (int i = 0; i < files; ++i)
        QVERIFY(TestDicom::write(path("in/%1.dcm").arg(i)));
    QmlHandler handler(QmlHandler::ServerClient::None);
    handler.jobs().setWorkerCount(1);
    // Runs on the worker, between its first and second file.
    std::atomic<int> finished{ 0 };
    connect(
            &handler, &QmlHandler::writeFile, &handler,
            [&] {
                if (finished.fetch_add(1) == 0)
                    handler.receiveFromQml(MessageKey::changeTagText,
                                           QStringLiteral("PatientsName:Later"));
            },
            Qt::DirectConnection);
    QCOMPARE(TestJob::run(handler.jobs(), { path("in") }).errors, QStringList());
    QList<QByteArray> names;
    for (int i = 0; i < files; ++i) {
        const auto out = TestDicom::read(path("in_depersonification/%1.dcm").arg(i));
        QVERIFY(out);
        names.append(TestDicom::valueOf(*out, TestDicom::patientName));
    }
    QCOMPARE(names.count("----"), 1);
    QCOMPARE(names.count(QByteArray("Later ")), files - 1);
}

void TestFileAnonymizer::badFilesFailWithTheirInputPath()
{
    QVERIFY(TestDicom::write(path("in/good.dcm")));
    QVERIFY(TestDicom::writeAll(path("in/notes.txt"), "Patient list, not DICOM\n"));
    QVERIFY(TestDicom::writeAll(path("in/empty.dcm"), {}));
    QVERIFY(TestDicom::writeAll(path("in/.notes"), {}));
    QVERIFY(TestDicom::write(path("in/sub/cut.dcm")));
    QVERIFY(TestDicom::writeAll(path("in/sub/cut.dcm"),
                                TestDicom::readAll(path("in/sub/cut.dcm")).chopped(3)));

    QmlHandler handler(QmlHandler::ServerClient::None);
    handler.receiveFromQml(MessageKey::changeTagText, QStringLiteral("PatientsName:Anon\nymous"));
    for (const char *name : { "notes.txt", "empty.dcm", "cut.dcm" })
        QTest::ignoreMessage(
                QtDebugMsg,
                QRegularExpression(QStringLiteral("^error read file .*") + QLatin1String(name)));
    const TestJob::Result job = TestJob::run(handler.jobs(), { path("in") });
    QCOMPARE(job.errors,
             (QStringList{ path("in/empty.dcm"), path("in/notes.txt"), path("in/sub/cut.dcm") }));
    QCOMPARE(handler.jobs().done(), 4);
    QCOMPARE(job.lastProgress, 1.0f);
    QCOMPARE(TestDicom::treeOf(path("in_depersonification")), QStringList{ "good.dcm" });

    // The window hears how the job ended, and the report beside the copies says why each
    // file failed; it holds no value of the inputs.
    QCOMPARE(job.text,
             QStringLiteral("4 files: 1 written with residue (names, dates, UIDs, other details), "
                            "3 failed, 1 skipped · "
                            "in_depersonification"));
    const QString report = path("in_depersonification.report.txt");
    QCOMPARE(job.reports, QStringList{ report });
    const QString reportText = readText(report);
    const QRegularExpression lines(
            "^Vexar Anonymizer 1\\.0\\.1: anonymization report\n"
            "Date: \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d.*\n"
            "Dropped folder: .*/in\n"
            "Output folder: .*/in_depersonification\n"
            "Files: 4: 1 written with residue \\(names, dates, UIDs, other details\\), 3 failed, 1 "
            "skipped\n"
            ".*  \\(0010,0010\\) PatientsName: \"Anon ymous\"\n"
            ".*Files \\(path below the dropped folder: status\\):\n"
            "  \\.notes: skipped: a hidden file\n"
            "  empty\\.dcm: failed: empty file\n"
            "  good\\.dcm: written with residue: names, dates, UIDs, other details: "
            "\\(0002,0003\\), [^\n]*\n"
            "  notes\\.txt: failed: not a DICOM file\n"
            "  sub/cut\\.dcm: failed: truncated: value length beyond its container at byte \\d+\n$",
            QRegularExpression::DotMatchesEverythingOption);
    QVERIFY2(lines.match(reportText).hasMatch(), qPrintable(reportText));
    QVERIFY(!reportText.contains("Roe^Jane"));
}

void TestFileAnonymizer::secondRunReplacesTheCopies()
{
    QVERIFY(TestDicom::write(path("in/a.dcm")));
    QCOMPARE(run({ "in" }).text,
             QStringLiteral("1 file: 1 written with residue (names, dates, UIDs, other details) · "
                            "in_depersonification"));
    const TestJob::Result again = run({ "in" }, QStringLiteral("Anon"));
    QCOMPARE(again.errors, QStringList());
    // The copies join an earlier job's, and the user is told so.
    QCOMPARE(again.text,
             QStringLiteral("1 file: 1 written with residue (names, dates, UIDs, other details) · "
                            "in_depersonification (added to an "
                            "existing folder)"));
    QVERIFY(readText(path("in_depersonification.report.txt"))
                    .contains("Output folder: " + path("in_depersonification")
                              + " (added to an existing folder)\n"));
    const auto out = TestDicom::read(path("in_depersonification/a.dcm"));
    QVERIFY(out);
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientName), QByteArray("Anon"));
    QCOMPARE(TestDicom::treeOf(path("in_depersonification")), QStringList{ "a.dcm" });
}

// The job controller's destructor stops the workers between files and waits for them: whatever was
// written is whole, under its final name.
void TestFileAnonymizer::shutdownDuringAJob()
{
    QVERIFY(TestDicom::write(path("in/0.dcm")));
    constexpr int files = 400;
    for (int i = 1; i < files; ++i)
        QVERIFY(QFile::copy(path("in/0.dcm"), path("in/%1.dcm").arg(i)));

    auto jobs = std::make_unique<JobController>();
    jobs->setWorkerCount(2);
    jobs->start({ path("in") });
    QTRY_VERIFY(jobs->done() > 0);
    jobs.reset();

    verifyNoPartFiles();
    for (const QString &file : TestDicom::treeOf(path("in_depersonification"))) {
        const auto out = TestDicom::read(path("in_depersonification/") + file);
        QVERIFY2(out, qPrintable(file));
        QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientName), QByteArray("----"));
    }
}

void TestFileAnonymizer::outputFileLeavesNothingUncommitted()
{
    {
        OutputFile out(path("a.dcm"));
        QVERIFY(out.open());
        out.stream() << "half a file";
        QVERIFY(QFileInfo::exists(out.temporaryPath()));
    }
    QCOMPARE(TestDicom::treeOf(m_dir->path()), QStringList());

    // A final name at the file system's limit still gets its temporary file.
    const QString longName = QString(250, 'n') + ".dcm";
    OutputFile longOut(path(longName));
    QVERIFY(longOut.open());
    longOut.stream() << "x";
    QVERIFY(longOut.commit());
    QVERIFY(QFile::remove(path(longName)));

    QVERIFY(TestDicom::writeAll(path("a.dcm"), "old copy"));
    OutputFile out(path("a.dcm"));
    QVERIFY(out.open());
    const std::string big(1 << 20, 'x');
    out.stream() << "new" << big;
    QVERIFY(out.commit());
    QCOMPARE(TestDicom::treeOf(m_dir->path()), QStringList{ "a.dcm" });
    QCOMPARE(QFileInfo(path("a.dcm")).size(), qint64(3 + big.size()));
}

// A write that fails while a copy is written fails the copy, wherever it falls: the copy is
// never put under its final name, and nothing is left. Reading the copy again would not tell:
// a small copy is read again from memory, and a copy cut off after its pixel data still reads
// as DICOM. For a small copy, written at once at its end, only the output file's own final
// check sees the failure.
void TestFileAnonymizer::failedStreamIsNeverCommitted_data()
{
    QTest::addColumn<int>("pixelBytes"); // of the input; 0: OutputFile alone
    // Where the writes stop: after `limit` bytes of OutputFile alone, or in a part of the copy
    // ("header", "pixels", "trailer": its first byte after the pixel data, "end": its last).
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<QString>("part");

    QTest::addRow("output file, kept in memory: the one write fails part-way")
            << 0 << qint64(1000) << QString();
    QTest::addRow("output file, kept in memory: nothing can be written")
            << 0 << qint64(0) << QString();
    for (const QString part : { "header", "trailer", "end" })
        QTest::addRow("small copy: %s", qPrintable(part)) << 32 << qint64(0) << part;
    for (const QString part : { "header", "pixels", "trailer", "end" })
        QTest::addRow("large copy: %s", qPrintable(part)) << (6 << 20) << qint64(0) << part;
}

void TestFileAnonymizer::failedStreamIsNeverCommitted()
{
#ifndef Q_OS_LINUX
    QSKIP("limits the size of files through setrlimit");
#else
    QFETCH(int, pixelBytes);
    QFETCH(qint64, limit);
    QFETCH(QString, part);

    if (pixelBytes == 0) {
        OutputFile out(path("a.dcm"));
        QVERIFY(out.open());
        out.keepWritten(1 << 20);
        const std::string bytes(4000, 'x');
        out.stream() << bytes;
        QVERIFY(out.kept().data);
        {
            FileSizeLimit fileSize(limit);
            QVERIFY(fileSize.isSet());
            QVERIFY(!out.finish());
            QVERIFY(!out.commit());
        }
        QVERIFY(out.errorString().contains("too large"));
        QCOMPARE(TestDicom::treeOf(m_dir->path()), QStringList());
        return;
    }

    TestDicom::Options options;
    options.pixelBytes = pixelBytes;
    options.trailer = true;
    QVERIFY(TestDicom::write(path("in/a.dcm"), options));
    const auto profile = FileAnonymizer::compileProfile(TagProfile::load());
    const FileAnonymizer::Options anonymize{
        { false, 0, std::make_shared<const UidMap>(QByteArray(32, 'k')) } };
    // The whole copy first, to know where its parts lie.
    FileAnonymizer::Folders folders;
    FileOutcome outcome = FileAnonymizer::anonymizeFile(path("in/a.dcm"), path("whole/a.dcm"),
                                                        profile, anonymize, folders);
    QCOMPARE(int(outcome.status), int(FileOutcome::Status::WrittenWithResidue));
    const QByteArray whole = TestDicom::readAll(path("whole/a.dcm"));
    const qsizetype trailer = whole.lastIndexOf(QByteArray("\xe1\x7f\x10\x00", 4));
    QVERIFY(trailer > pixelBytes);
    const QHash<QString, qint64> limits = { { "header", 300 },
                                            { "pixels", trailer - pixelBytes / 2 },
                                            { "trailer", trailer },
                                            { "end", whole.size() - 1 } };
    limit = limits.value(part);
    // Cut off after its pixel data, the copy still reads as DICOM.
    if (part == QLatin1String("trailer")) {
        QVERIFY(TestDicom::writeAll(path("cut.dcm"), whole.left(limit)));
        QVERIFY(FileAnonymizer::readsAgain(path("cut.dcm")));
        QVERIFY(QFile::remove(path("cut.dcm")));
    }

    QVERIFY(TestDicom::writeAll(path("out/a.dcm"), "an earlier copy"));
    {
        FileSizeLimit fileSize(limit);
        QVERIFY(fileSize.isSet());
        folders = {};
        outcome = FileAnonymizer::anonymizeFile(path("in/a.dcm"), path("out/a.dcm"), profile,
                                                anonymize, folders);
    }
    QCOMPARE(int(outcome.status), int(FileOutcome::Status::Failed));
    QVERIFY2(outcome.reason.startsWith("cannot write: file too large; the earlier copy there was "
                                       "removed"),
             qPrintable(outcome.reason));
    QCOMPARE(TestDicom::treeOf(path("out")), QStringList());
#endif
}

void TestFileAnonymizer::outputFileSystemFillsUp()
{
#ifndef Q_OS_LINUX
    QSKIP("mounts a tmpfs");
#else
    if (::geteuid() != 0)
        QSKIP("needs root to mount a small tmpfs as the output folder");
    // 40 copies of a 39 kB image into a 1 MB file system: it fills up about halfway.
    const QString source = TestDicom::pydicomFiles() + QStringLiteral("/CT_small.dcm");
    if (!QFileInfo::exists(source))
        QSKIP("pydicom's test files are not installed");
    QVERIFY(QDir().mkpath(path("in/sub")));
    for (int i = 0; i < 40; ++i)
        QVERIFY(QFile::copy(source, path(i % 2 ? "in/%1.dcm" : "in/sub/%1.dcm").arg(i)));
    QVERIFY(QDir().mkpath(path("in_depersonification")));
    const QByteArray target = QFile::encodeName(path("in_depersonification"));
    if (::mount("tmpfs", target.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") != 0)
        QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs: %1").arg(qt_error_string())));
    m_mounted = path("in_depersonification");
    const auto before = TestDicom::hashesBelow(path("in"));

    const TestJob::Result job = run({ "in" });
    verifyNothingLost("in", job);
    const QStringList written = TestDicom::treeOf(path("in_depersonification"));
    QVERIFY2(!written.isEmpty() && written.size() < 40,
             qPrintable(QString::number(written.size())));
    QCOMPARE(job.errors.size(), 40 - written.size());
    for (const QString &error : job.errors)
        QVERIFY2(error.startsWith(path("in_depersonification/")), qPrintable(error));

    // Again with another text, onto the full file system: a file that fails now must not keep
    // the first job's copy, which would pass for this job's. Removing it makes room for the
    // next files.
    const TestJob::Result again = run({ "in" }, QStringLiteral("Second"));
    verifyNothingLost("in", again, "Second");
    QVERIFY(!again.errors.isEmpty() && again.errors.size() < 40);
    const QString report = readText(path("in_depersonification.report.txt"));
    QVERIFY2(report.contains(": failed: cannot write: no space left on device; the earlier copy "
                             "there was removed\n"),
             qPrintable(report));
    QCOMPARE(TestDicom::hashesBelow(path("in")), before);
#endif
}

// The engine reads a file in every transfer syntax GDCM's reader reads, and refuses one in any
// other syntax before GDCM sees it.
void TestFileAnonymizer::syntaxesReadAsGdcmReadsThem_data()
{
    QTest::addColumn<QByteArray>("uid");
    for (int i = 0; i < gdcm::TransferSyntax::TS_END; ++i) {
        const char *uid = gdcm::TransferSyntax::GetTSString(gdcm::TransferSyntax::TSType(i));
        QTest::addRow("%s", uid) << QByteArray(uid);
    }
    const QByteArray explicitLittle
            = gdcm::TransferSyntax::GetTSString(gdcm::TransferSyntax::ExplicitVRLittleEndian);
    QTest::addRow("padded with spaces beyond 64 characters")
            << explicitLittle + QByteArray(60, ' ');
    QTest::addRow("a zero byte, then more") << explicitLittle + QByteArray("\0.5", 3);
    QTest::addRow("longer than any UID") << explicitLittle + QByteArray(50, '9');
    QTest::addRow("leading space") << ' ' + explicitLittle;
    QTest::addRow("a syntax GDCM does not know") << QByteArray("1.2.840.10008.1.2.4.201");
}

void TestFileAnonymizer::syntaxesReadAsGdcmReadsThem()
{
    QFETCH(QByteArray, uid);
    const QByteArray bytes = inSyntax(uid, {});
    QVERIFY(!bytes.isEmpty());
    QVERIFY(TestDicom::writeAll(path("a.dcm"), bytes));
    gdcm::Reader plain;
    plain.SetFileName(path("a.dcm").toStdString().c_str());
    const bool gdcmReads = plain.Read();
    gdcm::Reader reader;
    QString reason;
    QCOMPARE(FileAnonymizer::read(path("a.dcm"), reader, &reason), gdcmReads);
    if (gdcmReads)
        QCOMPARE(TestDicom::valueOf(reader.GetFile(), TestDicom::patientName),
                 QByteArray("Doe^John"));
    else
        QVERIFY2(reason.startsWith("missing or unknown transfer syntax"), qPrintable(reason));
}

// An element of every VR GDCM knows, and of one it does not, is read with its whole value and
// the element after it intact, in explicit VR (where the header's form depends on the VR).
void TestFileAnonymizer::everyVrComesThrough_data()
{
    QTest::addColumn<QString>("vr");
    for (int bit = 0; gdcm::VR::VRType(1LL << bit) < gdcm::VR::VR_END; ++bit)
        QTest::addRow("%s", gdcm::VR::GetVRString(gdcm::VR::VRType(1LL << bit)))
                << QString::fromLatin1(gdcm::VR::GetVRString(gdcm::VR::VRType(1LL << bit)));
    QTest::addRow("unknown") << "ZZ";
}

void TestFileAnonymizer::everyVrComesThrough()
{
    QFETCH(QString, vr);
    // Eight bytes are a whole number of values of every VR; a sequence's are items, so it
    // stays empty.
    const QByteArray value = vr == "SQ" ? QByteArray() : QByteArray("ABCDEFGH");
    const QString line = "(0009,1010) " + vr + (value.isEmpty() ? "" : " \"" + value + '"');
    const QByteArray bytes = inSyntax(
            gdcm::TransferSyntax::GetTSString(gdcm::TransferSyntax::ExplicitVRLittleEndian),
            { line });
    QVERIFY(!bytes.isEmpty());
    QVERIFY(TestDicom::writeAll(path("a.dcm"), bytes));
    gdcm::Reader reader;
    QString reason;
    QVERIFY2(FileAnonymizer::read(path("a.dcm"), reader, &reason), qPrintable(reason));
    const gdcm::DataSet &dataSet = reader.GetFile().GetDataSet();
    const gdcm::Tag tag(0x0009, 0x1010);
    QVERIFY(dataSet.FindDataElement(tag));
    QCOMPARE(uint32_t(dataSet.GetDataElement(tag).GetVL()), uint32_t(value.size()));
    if (!value.isEmpty())
        QCOMPARE(TestDicom::valueOf(reader.GetFile(), tag), value);
    QCOMPARE(TestDicom::valueOf(reader.GetFile(), TestDicom::patientName), QByteArray("Doe^John"));
}

// Each of 50,000 empty files fails as unreadable, with its input path, and the job ends; no
// output folder is made for nothing.
void TestFileAnonymizer::fiftyThousandEmptyFiles()
{
    constexpr int folders = 50;
    constexpr int perFolder = 1000;
    for (int d = 0; d < folders; ++d) {
        const QString folder = path(QStringLiteral("in/s%1/").arg(d));
        QVERIFY(QDir().mkpath(folder));
        for (int f = 0; f < perFolder; ++f) {
            QFile file(folder + QString::number(f));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const TestJob::Result job = run({ "in" });
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(job.errors.size(), folders * perFolder);
    QCOMPARE(job.lastProgress, 1.0f);
    QVERIFY(!QFileInfo::exists(path("in_depersonification")));
}

// Odd trees in and around the dropped folder "in". Each entry of `tree` is made below the
// temporary folder: "path" a good DICOM file, "path=text" a file holding the text, "path/" a
// folder, "path!" a folder this user may not write in, "path>target" a symbolic link.
void TestFileAnonymizer::trees_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("failed"); // the paths a job names as failed
    QTest::addColumn<QStringList>("written"); // the files below in_depersonification

    QTest::addRow("symbolic link loops") << QStringList{ "in/a.dcm", "in/sub/b.dcm", "in/up>..",
                                                         "in/sub/self>self", "in/sub/loop>../sub" }
                                         << QStringList{} << QStringList{ "a.dcm", "sub/b.dcm" };
    QTest::addRow("dangling link") << QStringList{ "in/a.dcm", "in/gone.dcm>missing.dcm" }
                                   << QStringList{} << QStringList{ "a.dcm" };
    // The link is read like the file it names; the copy is a file of its own.
    QTest::addRow("link to a file outside the folder")
            << QStringList{ "in/a.dcm", "elsewhere.dcm", "in/b.dcm>../elsewhere.dcm" }
            << QStringList{} << QStringList{ "a.dcm", "b.dcm" };
    QTest::addRow("spaces, letters beyond ASCII, several dots")
            << QStringList{ "in/Patient 7/Ärztin Müller.dcm", "in/ct.2021.b/x.y.z.dcm",
                            "in/日本/画像 1.dcm", "in/ lead and trail .dcm", "in/no extension" }
            << QStringList{}
            << QStringList{ " lead and trail .dcm", "Patient 7/Ärztin Müller.dcm",
                            "ct.2021.b/x.y.z.dcm", "no extension", "日本/画像 1.dcm" };
    QTest::addRow("a folder named like a file, beside that file")
            << QStringList{ "in/bad", "in/bad.dcm/inner.dcm" } << QStringList{}
            << QStringList{ "bad", "bad.dcm/inner.dcm" };
    const QStringList two = { "in/a.dcm", "in/sub/b.dcm" };
    QTest::addRow("output folder is a file")
            << two + QStringList{ "in_depersonification=" }
            << QStringList{ "in_depersonification/a.dcm", "in_depersonification/sub/b.dcm" }
            << QStringList{};
    QTest::addRow("an output subfolder is a file")
            << two + QStringList{ "in_depersonification/sub=" }
            << QStringList{ "in_depersonification/sub/b.dcm" } << QStringList{ "a.dcm", "sub" };
    QTest::addRow("final name is a folder")
            << two + QStringList{ "in_depersonification/a.dcm/x/" }
            << QStringList{ "in_depersonification/a.dcm" } << QStringList{ "sub/b.dcm" };
    QTest::addRow("read-only output subfolder")
            << two + QStringList{ "in_depersonification/sub!" }
            << QStringList{ "in_depersonification/sub/b.dcm" } << QStringList{ "a.dcm" };
    // The copies would land on the inputs themselves.
    QTest::addRow("output folder links into the input")
            << two + QStringList{ "in_depersonification>in" }
            << QStringList{ "in_depersonification/a.dcm", "in_depersonification/sub/b.dcm" }
            << QStringList{ "a.dcm", "sub/b.dcm" };
    QTest::addRow("output subfolder links into the input")
            << two + QStringList{ "in_depersonification/sub>../in/sub" }
            << QStringList{ "in_depersonification/sub/b.dcm" } << QStringList{ "a.dcm" };
}

void TestFileAnonymizer::trees()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, failed);
    QFETCH(QStringList, written);
    QString locked;
    for (const QString &entry : tree) {
        const QString at = path(entry.section(QRegularExpression("[=>!]"), 0, 0));
        if (entry.contains('>')) {
            QDir().mkpath(QFileInfo(at).absolutePath());
            QVERIFY(QFile::link(entry.section('>', 1), at));
        } else if (entry.contains('=')) {
            QVERIFY(TestDicom::writeAll(at, entry.section('=', 1).toUtf8()));
        } else if (entry.endsWith('/') || entry.endsWith('!')) {
            QVERIFY(QDir().mkpath(at));
            if (entry.endsWith('!')) {
                locked = at;
                QVERIFY(QFile::setPermissions(at, QFile::ReadOwner | QFile::ExeOwner));
                if (TestDicom::writeAll(at + "/probe", {}))
                    QSKIP("permissions do not bind here (running as root)");
            }
        } else {
            QVERIFY(TestDicom::write(at));
        }
    }
    QStringList expected;
    for (const QString &file : failed) {
        expected.append(path(file));
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("^error write file \".*in/"
                                                + QRegularExpression::escape(file.section('/', 1))
                                                + "\" \".*" + file + "\"$"));
    }
    const auto before = TestDicom::hashesBelow(path("in"));

    const TestJob::Result job = run({ "in" });
    if (!locked.isEmpty())
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(job.errors, expected);
    QCOMPARE(TestDicom::treeOf(path("in_depersonification")), written);
    QVERIFY(job.text.contains(
                    QStringLiteral("%1 failed").arg(failed.size()))
            != failed.isEmpty());
    verifyNothingLost("in", job);
    QCOMPARE(TestDicom::hashesBelow(path("in")), before);
}

QTEST_GUILESS_MAIN(TestFileAnonymizer)
#include "tst_fileanonymizer.moc"
