#include "engine/job/jobplan.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>

// Listing, naming and splitting of a job, on real folders in a temporary directory.
class TestJobPlan : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void naming_data();
    void naming();
    void noTwoInputsShareAnOutput_data();
    void noTwoInputsShareAnOutput();
    void nothingLeftOutWithoutAWord_data();
    void nothingLeftOutWithoutAWord();
    void outputFolderThatHeldFiles();
    void splitBlocks_data();
    void splitBlocks();

private:
    void touch(const QString &relative);
    QString url(const QString &relative) const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

using Pairs = QList<QPair<QString, QString>>; // input, output; relative to the temporary dir

void TestJobPlan::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestJobPlan::touch(const QString &relative)
{
    const QString path = m_dir->filePath(relative);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

QString TestJobPlan::url(const QString &relative) const
{
    if (relative.startsWith(QLatin1String("file:")) || relative.isEmpty())
        return relative;
    return QUrl::fromLocalFile(m_dir->filePath(relative)).toString();
}

static Pairs relativePairs(const JobPlan::FileLists &lists, const QString &root)
{
    Pairs pairs;
    for (qsizetype i = 0; i < lists.files.size(); ++i)
        pairs.append({ QDir(root).relativeFilePath(lists.files.input(i)),
                       QDir(root).relativeFilePath(lists.files.output(i)) });
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

void TestJobPlan::naming_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<Pairs>("expected");

    QTest::addRow("tree repeated under the sibling folder")
            << QStringList{ "in/Patient 7/a.dcm", "in/Patient 7/sub/b.dcm" }
            << QStringList{ "in/Patient 7" }
            << Pairs{ { "in/Patient 7/a.dcm", "in/Patient 7_depersonification/a.dcm" },
                      { "in/Patient 7/sub/b.dcm", "in/Patient 7_depersonification/sub/b.dcm" } };
    QTest::addRow("folder path recurring below itself is kept")
            << QStringList{ "Patient 7/x/Patient 7/f.dcm" } << QStringList{ "Patient 7" }
            << Pairs{ { "Patient 7/x/Patient 7/f.dcm",
                        "Patient 7_depersonification/x/Patient 7/f.dcm" } };
    QTest::addRow("name up to the first dot")
            << QStringList{ "ct.2021.b/f" } << QStringList{ "ct.2021.b" }
            << Pairs{ { "ct.2021.b/f", "ct_depersonification/f" } };
    QTest::addRow("DICOMDIR in any case left out")
            << QStringList{ "s/DICOMDIR", "s/x/dicomdir", "s/x/y/DicomDir", "s/x/dicomdir.txt" }
            << QStringList{ "s" }
            << Pairs{ { "s/x/dicomdir.txt", "s_depersonification/x/dicomdir.txt" } };
    QTest::addRow("only a DICOMDIR: no files")
            << QStringList{ "s/DICOMDIR" } << QStringList{ "s" } << Pairs{};
    QTest::addRow("two folders make one job")
            << QStringList{ "a/1", "a/2", "b/3" } << QStringList{ "a", "b" }
            << Pairs{ { "a/1", "a_depersonification/1" },
                      { "a/2", "a_depersonification/2" },
                      { "b/3", "b_depersonification/3" } };
    QTest::addRow("trailing separator tolerated") << QStringList{ "a/1" } << QStringList{ "a/" }
                                                  << Pairs{ { "a/1", "a_depersonification/1" } };
    QTest::addRow("same folder twice listed once")
            << QStringList{ "a/1" } << QStringList{ "a", "a/", "a/../a" }
            << Pairs{ { "a/1", "a_depersonification/1" } };
    QTest::addRow("empty pieces after a final line feed")
            << QStringList{ "a/1" } << QStringList{ "", "a", "" }
            << Pairs{ { "a/1", "a_depersonification/1" } };
    QTest::addRow("lines ended with CR LF")
            << QStringList{ "a/1", "b/2" } << QStringList{ "file:%1/a\r", "file:%1/b\r", "" }
            << Pairs{ { "a/1", "a_depersonification/1" }, { "b/2", "b_depersonification/2" } };
    QTest::addRow("percent-encoded URL")
            << QStringList{ "a b#c%/1" } << QStringList{ "file:%1/a%20b%23c%25" }
            << Pairs{ { "a b#c%/1", "a b#c%_depersonification/1" } };
    // Pieces that name no folder contribute nothing.
    for (const char *piece : { "file://%1/missing", "file://%1/in/a.dcm", "file:///",
                               "=https://example.invalid/in", "=in" })
        QTest::addRow("%s", piece) << QStringList{ "in/a.dcm" } << QStringList{ piece } << Pairs{};
}

void TestJobPlan::naming()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, pieces);
    QFETCH(Pairs, expected);
    for (const QString &file : files)
        touch(file);
    // "%1" is the temporary folder; a piece after "=" is taken as it is.
    for (QString &piece : pieces) {
        piece = piece.startsWith('=')                 ? piece.mid(1)
                : piece.contains(QLatin1String("%1")) ? piece.arg(m_dir->path())
                                                      : url(piece);
    }
    QCOMPARE(relativePairs(JobPlan::listFolders(JobPlan::foldersOfPieces(pieces)), m_dir->path()), expected);
}

void TestJobPlan::noTwoInputsShareAnOutput_data()
{
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("expectedOutputs");
    // Output folders an earlier job left, "output=input": its report names that dropped folder
    // ("output=" leaves a folder without a report).
    QTest::addColumn<QStringList>("earlier");
    QTest::addRow("same name up to the dot")
            << QStringList{ "ct.2021", "ct.2022" }
            << QStringList{ "ct_depersonification", "ct.2022_depersonification" } << QStringList{};
    QTest::addRow("first in the message keeps the short name")
            << QStringList{ "ct.2022", "ct.2021" }
            << QStringList{ "ct_depersonification", "ct.2021_depersonification" } << QStringList{};
    QTest::addRow("whole name taken as well")
            << QStringList{ "ct.x", "ct", "ct.y" }
            << QStringList{ "ct_depersonification", "ct_depersonification_2",
                            "ct.y_depersonification" }
            << QStringList{};
    // One folder on a case-insensitive file system (Windows, macOS), wherever the job runs.
    QTest::addRow("names differing only in case")
            << QStringList{ "CT.2021", "ct.2022" }
            << QStringList{ "CT_depersonification", "ct.2022_depersonification" } << QStringList{};
    QTest::addRow("output would be another dropped folder")
            << QStringList{ "a.b", "a_depersonification" }
            << QStringList{ "a.b_depersonification", "a_depersonification_depersonification" }
            << QStringList{};
    // A later run: the earlier input's copies and report are never mixed with another's.
    QTest::addRow("earlier job's folder of another input")
            << QStringList{ "ct.2022" } << QStringList{ "ct.2022_depersonification" }
            << QStringList{ "ct_depersonification=ct.2021" };
    QTest::addRow("earlier job's folder of the same input is reused")
            << QStringList{ "ct.2021" } << QStringList{ "ct_depersonification" }
            << QStringList{ "ct_depersonification=ct.2021" };
    QTest::addRow("whole name made for another input too")
            << QStringList{ "ct.2022" } << QStringList{ "ct.2022_depersonification_2" }
            << QStringList{ "ct_depersonification=ct.2021",
                            "ct.2022_depersonification=old/ct.2022" };
    QTest::addRow("a folder without a report is added to")
            << QStringList{ "ct.2022" } << QStringList{ "ct_depersonification" }
            << QStringList{ "ct_depersonification=" };
}

void TestJobPlan::noTwoInputsShareAnOutput()
{
    QFETCH(QStringList, folders);
    QFETCH(QStringList, expectedOutputs);
    QFETCH(QStringList, earlier);
    for (const QString &entry : earlier) {
        const QString output = m_dir->filePath(entry.section('=', 0, 0));
        touch(entry.section('=', 0, 0) + QStringLiteral("/old.dcm"));
        const QString input = entry.section('=', 1);
        if (!input.isEmpty()) {
            QFile report(JobPlan::reportPath(output));
            QVERIFY(report.open(QIODevice::WriteOnly));
            report.write("Vexar Anonymizer 1.0.1: anonymization report\nDate: 2024-01-01\n"
                         + QByteArray(JobPlan::reportInputLabel) + m_dir->filePath(input).toUtf8()
                         + '\n');
        }
    }
    QStringList pieces;
    for (const QString &folder : folders) {
        touch(folder + QStringLiteral("/f.dcm"));
        pieces.append(url(folder));
    }
    const JobPlan::FileLists lists = JobPlan::listFolders(JobPlan::foldersOfPieces(pieces));
    QCOMPARE(lists.files.size(), folders.size());
    QStringList outputs;
    for (qsizetype i = 0; i < folders.size(); ++i) {
        // Inputs come folder by folder, in the message's order.
        QCOMPARE(lists.files.input(i), m_dir->filePath(folders.at(i) + QStringLiteral("/f.dcm")));
        outputs.append(
                QDir(m_dir->path()).relativeFilePath(QFileInfo(lists.files.output(i)).path()));
    }
    QCOMPARE(outputs, expectedOutputs);
}

void TestJobPlan::nothingLeftOutWithoutAWord_data()
{
    QTest::addColumn<QString>("kind"); // what is made at "in/<name>"
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("failed"); // else skipped
    QTest::addColumn<QString>("reason");
    const auto row = [](const char *name, const char *kind, const char *entry, bool failed,
                        const char *reason) {
        QTest::addRow("%s", name) << kind << entry << failed << reason;
    };
    row("DICOMDIR", "file", "sub/DicomDir", false, "a DICOMDIR, left out by design");
    row("hidden file", "file", ".notes", false, "a hidden file");
    row("hidden folder, as one entry", "file", ".cache/x.dcm", false, "a hidden folder");
    row("link to a folder", "folder link", "up", false, "a link to a folder, not followed");
    row("link to nothing", "dangling link", "gone.dcm", false, "a link to nothing");
#ifdef Q_OS_UNIX
    row("FIFO", "fifo", "pipe", false, "a FIFO, not a file");
    row("socket", "socket", "sock", false, "a socket, not a file");
    row("folder that cannot be listed", "locked folder", "locked", true,
        "cannot read: permission denied");
    row("dropped folder that cannot be listed", "locked folder", "", true,
        "cannot read: permission denied");
#endif
}

// Whatever is not anonymized is counted, with its reason and its would-be output; the good
// file beside it is listed as ever.
void TestJobPlan::nothingLeftOutWithoutAWord()
{
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QFETCH(bool, failed);
    QFETCH(QString, reason);
    touch(QStringLiteral("in/a.dcm"));
    const QString entry = m_dir->filePath(name.isEmpty() ? QStringLiteral("in") : "in/" + name);
    QLocalServer server;
    if (kind == QLatin1String("file")) {
        touch("in/" + name);
    } else if (kind == QLatin1String("folder link")) {
        QVERIFY(QFile::link(QStringLiteral(".."), entry));
    } else if (kind == QLatin1String("dangling link")) {
        QVERIFY(QFile::link(QStringLiteral("missing.dcm"), entry));
#ifdef Q_OS_UNIX
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(entry).constData(), 0600), 0);
    } else if (kind == QLatin1String("socket")) {
        QVERIFY(server.listen(entry));
    } else if (kind == QLatin1String("locked folder")) {
        if (::geteuid() == 0)
            QSKIP("root lists any folder");
        QDir().mkpath(entry);
        QVERIFY(QFile::setPermissions(entry, QFileDevice::WriteOwner));
#endif
    }
    const JobPlan::FileLists lists = JobPlan::listFolders({ m_dir->filePath(QStringLiteral("in")) });
    QFile::setPermissions(entry,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const bool droppedFolderFails = name.isEmpty();
    QCOMPARE(lists.files.size(), droppedFolderFails ? 0 : 1);
    if (!droppedFolderFails)
        QCOMPARE(lists.files.input(0), m_dir->filePath("in/a.dcm"));
    QCOMPARE(lists.settled.size(), 1);
    const FileOutcome &settled = lists.settled.at(0);
    const QString top = name.section(QLatin1Char('/'), 0, name.startsWith('.') ? 0 : -1);
    QCOMPARE(settled.input, name.isEmpty() ? m_dir->filePath("in") : m_dir->filePath("in/" + top));
    QCOMPARE(settled.output,
             name.isEmpty() ? m_dir->filePath("in_depersonification")
                            : m_dir->filePath("in_depersonification/" + top));
    QCOMPARE(settled.status, failed ? FileOutcome::Status::Failed : FileOutcome::Status::Skipped);
    QCOMPARE(settled.reason, reason);
}

// An output folder that already holds files is marked: this job's copies join another's.
void TestJobPlan::outputFolderThatHeldFiles()
{
    touch(QStringLiteral("a/1"));
    touch(QStringLiteral("b/1"));
    touch(QStringLiteral("b_depersonification/.old"));
    QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("a_depersonification"))));
    const JobPlan::FileLists lists = JobPlan::listFolders({ m_dir->filePath("a"), m_dir->filePath("b") });
    QCOMPARE(lists.folders.size(), 2);
    QCOMPARE(lists.folders.at(0).output, m_dir->filePath("a_depersonification"));
    QCOMPARE(lists.folders.at(0).existed, false); // empty
    QCOMPARE(lists.folders.at(1).input, m_dir->filePath("b"));
    QCOMPARE(lists.folders.at(1).existed, true);
}

void TestJobPlan::splitBlocks_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("workers");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addRow("10 over 3") << 10 << 3 << QList<int>{ 4, 3, 3 };
    QTest::addRow("10 over 4") << 10 << 4 << QList<int>{ 3, 2, 3, 2 };
    QTest::addRow("2 over 4") << 2 << 4 << QList<int>{ 1, 0, 1, 0 };
    QTest::addRow("none") << 0 << 3 << QList<int>{ 0, 0, 0 };
    QTest::addRow("one worker") << 5 << 1 << QList<int>{ 5 };
    QTest::addRow("worker count below 1 means one") << 5 << 0 << QList<int>{ 5 };
}

void TestJobPlan::splitBlocks()
{
    QFETCH(int, files);
    QFETCH(int, workers);
    QFETCH(QList<int>, sizes);
    const QList<JobPlan::Block> blocks = JobPlan::splitBlocks(files, workers);
    QList<int> actual;
    qsizetype next = 0;
    for (const JobPlan::Block &block : blocks) {
        actual.append(static_cast<int>(block.count));
        if (block.count > 0) {
            QCOMPARE(block.first, next); // contiguous, in order, each file once
            next += block.count;
        }
    }
    QCOMPARE(actual, sizes);
    QCOMPARE(next, qsizetype(files));
}

QTEST_GUILESS_MAIN(TestJobPlan)
#include "tst_jobplan.moc"
