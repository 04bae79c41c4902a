#include "shared/dicomfiles.h"
#include "shared/jobrunner.h"

#include <QProcess>
#include <QRegularExpression>

#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <map>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/types.h>
#include <unistd.h>
#endif

// The headless command as a script runs it: exit status, what it prints, what it writes.
class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void exitStatus_data();
    void exitStatus();
    void writesTheSameTreeAsTheWindow();
    void sharedKeyFileMapsUidsAlike();
    void shardsWriteWhatOneRunWrites();
    void unlistableFolderFails_data();
    void unlistableFolderFails();
    void stopSignalEndsTheJobBetweenFiles_data();
    void stopSignalEndsTheJobBetweenFiles();

private:
    TestJob::CliResult run(const QStringList &arguments, const QString &configHome = QString())
    {
        return TestJob::runCli(arguments, m_dir->path(), configHome);
    }
    QString path(const QString &relative) const { return m_dir->filePath(relative); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestCli::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(TestDicom::write(path("good/a.dcm")));
    QVERIFY(TestDicom::write(path("good/sub/b.dcm")));
    QVERIFY(TestDicom::write(path("mixed/a.dcm")));
    QVERIFY(TestDicom::writeAll(path("mixed/notes.txt"), "not DICOM\n"));
    QVERIFY(TestDicom::writeAll(path("mixed/DICOMDIR"), {}));
    QVERIFY(QDir().mkpath(path("empty")));
}

void TestCli::exitStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("summary"); // on standard output, or empty
    QTest::addColumn<QString>("named"); // a path named on standard error, or empty
    const auto row = [](const char *name, const char *arguments, int code, const char *summary = "",
                        const char *named = "") {
        QTest::addRow("%s", name) << QString::fromUtf8(arguments).split(' ', Qt::SkipEmptyParts)
                                  << code << QString::fromUtf8(summary) << QString::fromUtf8(named);
    };
    row("all done", "good", 0, "2 files, 0 failed");
    row("one worker", "--jobs 1 good", 0, "2 files, 0 failed");
    row("a file failed", "mixed", 1, "2 files, 1 failed, 1 with residue, 1 skipped",
        "mixed/notes.txt: not a DICOM file\n");
    row("no files", "empty", 0, "0 files, 0 failed, 0 with residue, 0 skipped, ");
    row("no files named", "empty", 0, "\nno files found in ");
    // Each refusal of the command line is read in tst_cliarguments; here one of them, as the
    // program says it.
    row("missing folder", "good missing", 2, "", "missing");
    row("jobs capped", "--jobs 100000 good", 0, "2 files, 0 failed", "--jobs 100000 is more than ");
    row("help", "--help", 0, "--jobs");
    // The profile alone leaves the UIDs; the standard clean-up leaves nothing here.
    row("residue named", "good", 0, "2 files, 0 failed, 2 with residue",
        "good_depersonification/a.dcm: (0002,0003) ");
    row("strict fails copies with residue", "--strict good", 1, "2 files, 2 failed, 0 with residue",
        "good/a.dcm: residue (0002,0003) ");
    row("standard", "--standard --strict good", 0, "2 files, 0 failed, 0 with residue");
    row("link file beside it", "--standard --link-file links.csv good", 2, "", "beside");
    row("options",
        "--standard --option modified-dates --option retain-device-identity --strict good", 0,
        "2 files, 0 failed, 0 with residue");
}

void TestCli::exitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, summary);
    QFETCH(QString, named);
    const TestJob::CliResult result = run(arguments);
    QCOMPARE(result.code, code);
    if (!summary.isEmpty())
        QVERIFY2(result.out.contains(summary), qPrintable(result.out));
    if (!named.isEmpty())
        QVERIFY2(result.err.contains(named), qPrintable(result.err));
    if (code == 2) // a usage error writes nothing
        QVERIFY(!QFileInfo::exists(path("good_depersonification")));
}

void TestCli::sharedKeyFileMapsUidsAlike()
{
    const gdcm::Tag studyUid(0x0020, 0x000d);
    const auto studyUidOf = [this, &studyUid](const QString &folder) {
        const auto copy = TestDicom::read(path(folder + "_depersonification/a.dcm"));
        return copy ? TestDicom::valueOf(*copy, studyUid) : QByteArray();
    };
    // Two installations, each with its own key, map alike only with the shared key file.
    QCOMPARE(run({ "--new-uid-key", "site.key" }).code, 0);
    QCOMPARE(QFile::permissions(path("site.key")) & (QFile::ReadGroup | QFile::ReadOther),
             QFileDevice::Permissions());
    // Never replaced: another machine may already use it.
    const QByteArray key = TestDicom::readAll(path("site.key"));
    QCOMPARE(run({ "--new-uid-key", "site.key" }).code, 2);
    QCOMPARE(TestDicom::readAll(path("site.key")), key);
    QVERIFY(QDir().rename(path("good"), path("one")));
    QCOMPARE(run({ "--standard", "--uid-key", "site.key", "one" }, path("home1")).code, 0);
    QVERIFY(QDir().rename(path("one"), path("two")));
    QCOMPARE(run({ "--standard", "--uid-key", "site.key", "two" }, path("home2")).code, 0);
    QVERIFY(QDir().rename(path("two"), path("three")));
    QCOMPARE(run({ "--standard", "three" }, path("home3")).code, 0);
    QVERIFY(studyUidOf("one").startsWith("2.25."));
    QCOMPARE(studyUidOf("two"), studyUidOf("one"));
    QVERIFY(studyUidOf("three") != studyUidOf("one"));
}

// One job spread over four shards writes, byte for byte, the copies one run writes, each shard
// its own report; the link file, asked for, holds every copy's pairs and only its owner reads
// it; without the option nothing like it is written.
void TestCli::shardsWriteWhatOneRunWrites()
{
    for (int i = 0; i < 6; ++i) {
        TestDicom::Options options;
        options.planted = i % 2 == 0;
        QVERIFY(TestDicom::write(path(QStringLiteral("good/p%1/s/%2.dcm").arg(i % 3).arg(i)),
                                 options));
    }
    QCOMPARE(run({ "--new-uid-key", "site.key" }).code, 0);
    const QStringList flags{ "--standard", "--option", "modified-dates",
                             "--uid-key",  "site.key", "--rename" };
    QVERIFY(QDir().mkpath(path("private")));
    QCOMPARE(run(flags + QStringList{ "--link-file", "private/links.csv", "good" }).code, 0);
    const QStringList tree = TestDicom::treeOf(path("good_depersonification"));
    QCOMPARE(tree.size(), 8);
    for (const QString &copy : tree)
        QVERIFY2(QRegularExpression(
                         "^VX-[A-Z2-7]{10}/[A-Z2-7]{10}/[A-Z2-7]{10}-OT/[A-Z2-7]{10}\\.dcm$")
                         .match(copy)
                         .hasMatch(),
                 qPrintable(copy));
    std::map<QString, QByteArray> whole;
    for (const QString &copy : tree)
        whole[copy] = TestDicom::sha256(path("good_depersonification/" + copy));
    QVERIFY(QDir(path("good_depersonification")).removeRecursively());

    for (int k = 1; k <= 4; ++k) {
        const TestJob::CliResult result
                = run(flags + QStringList{ "--shard", QStringLiteral("%1/4").arg(k), "good" });
        QCOMPARE(result.code, 0);
        if (result.out.startsWith("0 files"))
            continue;
        QVERIFY2(QFileInfo::exists(
                         path(QStringLiteral("good_depersonification.report.%1-of-4.txt").arg(k))),
                 qPrintable(result.out));
    }
    QCOMPARE(TestDicom::treeOf(path("good_depersonification")), tree);
    for (const QString &copy : tree)
        QCOMPARE(TestDicom::sha256(path("good_depersonification/" + copy)), whole[copy]);

    // Every copy's rows: its patient ID, its UIDs, its date offset.
    QCOMPARE(
            QFile::permissions(path("private/links.csv"))
                    & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
            QFile::Permissions());
    const QList<QByteArray> rows = TestDicom::readAll(path("private/links.csv")).split('\n');
    QCOMPARE(rows.first(), QByteArray("copy,kind,element,original,new"));
    for (const QString &copy : tree) {
        const QByteArray copyPath = path("good_depersonification/" + copy).toUtf8();
        int ids = 0, uids = 0, offsets = 0;
        for (const QByteArray &row : rows) {
            if (!row.startsWith(copyPath + ','))
                continue;
            ids += row.contains(",patient-id,\"(0010,0020)\",ID-0042,VX-") ? 1 : 0;
            uids += row.contains(",uid,") ? 1 : 0;
            offsets += row.contains(",date-offset-days,,,") ? 1 : 0;
        }
        QCOMPARE(ids, 1);
        QVERIFY(uids >= 3); // instance, study, series
        QCOMPARE(offsets, 1);
    }
    QStringList csv;
    for (const QString &file : TestDicom::treeOf(m_dir->path()))
        if (file.endsWith(".csv"))
            csv << file;
    QCOMPARE(csv, QStringList{ "private/links.csv" });
}

void TestCli::writesTheSameTreeAsTheWindow()
{
    const TestJob::CliResult result = run({ "good", "mixed" });
    QCOMPARE(result.code, 1);
    // Not a terminal: plain percentage lines, ending at 100%.
    QVERIFY2(result.err.trimmed().endsWith("100%"), qPrintable(result.err));
    QVERIFY(result.err.contains("failed: " + path("mixed/notes.txt") + ": not a DICOM file\n"));
    // The summary first, in milliseconds under 10 s (its rate is never negative: a few KB over
    // a slow run may round to 0.0), then where the copies and the reports went.
    const QRegularExpression expected(
            QRegularExpression::anchoredPattern(
                    "4 files, 1 failed, 3 with residue, 1 skipped, [0-9]+ ms, [0-9]+\\.[0-9] MB/s\n"
                    "output: %1/good_depersonification\n"
                    "report: %1/good_depersonification.report.txt\n"
                    "output: %1/mixed_depersonification\n"
                    "report: %1/mixed_depersonification.report.txt\n")
                    .arg(QRegularExpression::escape(m_dir->path())));
    QVERIFY2(expected.match(result.out).hasMatch(), qPrintable(result.out));
    const QByteArray reportText = TestDicom::readAll(path("mixed_depersonification.report.txt"));
    QVERIFY2(reportText.contains("\n  DICOMDIR: skipped: a DICOMDIR, left out by design\n"
                                 "  a.dcm: written with residue: names, dates, UIDs, other "
                                 "details: (0002,0003), (0008,0018), "),
             reportText.constData());
    QVERIFY2(reportText.contains(")\n  notes.txt: failed: not a DICOM file\n"),
             reportText.constData());
    QVERIFY(reportText.contains(
            "\nStandard clean-up (DICOM PS3.15 Basic Confidentiality Profile): off\n"));
    QCOMPARE(TestDicom::treeOf(path("good_depersonification")),
             (QStringList{ "a.dcm", "sub/b.dcm" }));
    QCOMPARE(TestDicom::treeOf(path("mixed_depersonification")), QStringList{ "a.dcm" });
    const auto out = TestDicom::read(path("good_depersonification/sub/b.dcm"));
    QVERIFY(out);
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientName), QByteArray("----"));
}

void TestCli::unlistableFolderFails_data()
{
    QTest::addColumn<QString>("dropped"); // holds ok/a.dcm and locked/b.dcm
    QTest::addColumn<QString>("locked"); // made unreadable, or read-only with "!"
    QTest::addColumn<QString>("failed"); // the one line on standard error
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QStringList>("written");
    QTest::addRow("a subfolder") << "tree"
                                 << "tree/locked"
                                 << "tree/locked: cannot read: permission denied"
                                 << "2 files, 1 failed, 1 with residue, 0 skipped, "
                                 << QStringList{ "ok/a.dcm" };
    QTest::addRow("the folder named")
            << "tree"
            << "tree"
            << "tree: cannot read: permission denied"
            << "1 files, 1 failed, 0 with residue, 0 skipped, " << QStringList{};
    // Once for the folder with the system's reason, though each file fails with it.
    QTest::addRow("output location read-only")
            << "ro/tree"
            << "ro!"
            << "ro/tree: cannot create %1/ro/tree_depersonification: permission denied"
            << "2 files, 2 failed, 0 with residue, 0 skipped, " << QStringList{};
}

// A folder the user may not list, the one named on the command line too, is named as failed
// with its reason, never dropped without a word; so is a folder whose copies cannot be made.
// Root ignores permissions, so as root the command runs as the user nobody.
void TestCli::unlistableFolderFails()
{
#ifndef Q_OS_UNIX
    QSKIP("POSIX permissions");
#else
    QFETCH(QString, dropped);
    QFETCH(QString, locked);
    QFETCH(QString, failed);
    QFETCH(QString, summary);
    QFETCH(QStringList, written);
    QVERIFY(TestDicom::write(path(dropped + "/ok/a.dcm")));
    QVERIFY(TestDicom::write(path(dropped + "/locked/b.dcm")));
    QStringList wrapper;
    if (::geteuid() == 0) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("running as root without setpriv to drop the rights");
        wrapper = QStringList{ setpriv, "--reuid=65534", "--regid=65534", "--clear-groups" };
        // nobody makes the output folder beside the tree.
        QVERIFY(QFile::setPermissions(m_dir->path(), QFileDevice::Permissions(0x7777)));
    }
    const bool readOnly = locked.endsWith('!');
    locked.remove('!');
    const QFileDevice::Permissions before = QFile::permissions(path(locked));
    QVERIFY(QFile::setPermissions(path(locked),
                                  readOnly ? QFileDevice::Permissions(0x5555)
                                           : QFileDevice::Permissions()));
    const TestJob::CliResult result
            = TestJob::runCli({ path(dropped) }, m_dir->path(), {}, wrapper);
    QFile::setPermissions(path(locked),
                          before | QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(result.code, 1);
    const QString line = "failed: " + m_dir->path() + '/' + failed.arg(m_dir->path()) + '\n';
    QCOMPARE(result.err.count(QStringLiteral("failed: ")), 1);
    QVERIFY2(result.err.contains(line), qPrintable(result.err + " / " + line));
    QVERIFY2(result.out.startsWith(summary), qPrintable(result.out));
    QCOMPARE(TestDicom::treeOf(path(dropped + "_depersonification")), written);
    for (const QString &file : written)
        QVERIFY(TestDicom::read(path(dropped + "_depersonification/") + file));
#endif
}

void TestCli::stopSignalEndsTheJobBetweenFiles_data()
{
    QTest::addColumn<int>("signal");
#ifdef Q_OS_UNIX
    QTest::addRow("Ctrl-C") << int(SIGINT);
    QTest::addRow("kill") << int(SIGTERM);
#endif
}

// Closing the command in the middle of a 2,000-file job: it ends after the files under way,
// with no temporary file left and every copy whole.
void TestCli::stopSignalEndsTheJobBetweenFiles()
{
#ifndef Q_OS_UNIX
    QSKIP("sends POSIX signals");
#else
    QFETCH(int, signal);
    constexpr int files = 2000;
    QVERIFY(QDir().mkpath(path("many")));
    for (int i = 0; i < files; ++i)
        QVERIFY(QFile::copy(path("good/a.dcm"), path("many/%1.dcm").arg(i)));
    // A second folder, last in the job: the stop most likely comes before its files.
    QVERIFY(QDir().mkpath(path("more")));
    for (int i = 0; i < 5; ++i)
        QVERIFY(QFile::copy(path("good/a.dcm"), path("more/%1.dcm").arg(i)));
    QProcess process;
    process.setWorkingDirectory(m_dir->path());
    process.start(QStringLiteral(TEST_BIN_DIR "/vexar-anonymizer-cli"),
                  { "--jobs", "2", "many", "more" });
    QVERIFY(process.waitForStarted());
    // The first percentage line: the job is under way.
    process.setReadChannel(QProcess::StandardError);
    QByteArray err;
    while (!err.contains('%') && process.waitForReadyRead(20000))
        err += process.readAllStandardError();
    // A command that already ended has no process id: kill(0) would stop this test's whole
    // process group (ctest, make and the shell's job with them).
    const auto pid = static_cast<pid_t>(process.processId());
    QVERIFY2(pid > 0, err.constData());
    ::kill(pid, signal);
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    if (process.exitCode() == 0)
        QSKIP("the job ended before the signal arrived");
    QCOMPARE(process.exitCode(), 130);
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    QVERIFY2(out.startsWith("stopped after "), qPrintable(out));
    // Its report says what was done, and that the job stopped short.
    QVERIFY2(out.contains("\nreport: " + path("many_depersonification.report.txt") + '\n'),
             qPrintable(out));
    QVERIFY(TestDicom::readAll(path("many_depersonification.report.txt"))
                    .contains("\nStopped before its end"));
    const QStringList written = TestDicom::treeOf(path("many_depersonification"));
    const QStringList writtenMore = TestDicom::treeOf(path("more_depersonification"));
    QVERIFY(written.size() < files);
    // The count printed is the count of copies on disk.
    QVERIFY2(out.startsWith(QStringLiteral("stopped after %1 of %2 files")
                                    .arg(written.size() + writtenMore.size())
                                    .arg(files + 5)),
             qPrintable(out + " / " + QString::number(written.size())));
    // A folder the stop came before is not done, not empty.
    QVERIFY2(!out.contains("no files found"), qPrintable(out));
    for (const QString &file : written) {
        QVERIFY2(!file.startsWith('.') && !file.endsWith(".part"), qPrintable(file));
        QVERIFY2(TestDicom::read(path("many_depersonification/") + file), qPrintable(file));
    }
#endif
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
