#include "bridge/messagekeys.h"
#include "bridge/qmlhandler.h"
#include "engine/fileanonymizer.h"
#include "engine/jobplan.h"

#include "dicomfiles.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gdcmTrace.h>

#include <memory>

#ifdef Q_OS_LINUX
#include <sys/mount.h>
#include <unistd.h>
#endif

// Jobs on hostile trees and broken files. Every test checks the same promise: the job reaches
// 1, every input either has a copy that reads again or is named in a failure, no temporary
// file stays behind, and the inputs are unchanged.
class TestEngineFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void outputFileSystemFillsUp();
    void inputTrees_data();
    void inputTrees();
    void fiftyThousandEmptyFiles();
    void damagedFiles_data();
    void damagedFiles();
    void outputLinkedIntoTheInput_data();
    void outputLinkedIntoTheInput();

private:
    struct Job
    {
        JobPlan::FileLists lists; // as listed before the job
        QStringList errors;
        float lastProgress = -1;
    };
    // `patientName`, when given, is typed as the replacement of PatientsName first.
    Job run(const QStringList &folders, int workers = 2, const QString &patientName = QString());
    // The promise above, for every input of the job; each copy holds `patientName`.
    void verifyNothingLost(const Job &job, const QByteArray &patientName = "----");
    QString path(const QString &relative) const { return m_dir->filePath(relative); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_mounted;
};

namespace {

QByteArray le16(quint16 v)
{
    return QByteArray(1, char(v & 0xFF)) + char(v >> 8);
}

QByteArray le32(quint32 v)
{
    return le16(quint16(v & 0xFFFF)) + le16(quint16(v >> 16));
}

// Explicit VR little endian headers of a sequence, an item and their delimiters, all of
// undefined length.
QByteArray undefinedSequence(quint16 group, quint16 element, const QByteArray &itemBody)
{
    return le16(group) + le16(element) + "SQ" + QByteArray(2, '\0') + le32(0xFFFFFFFF)
            + le16(0xFFFE) + le16(0xE000) + le32(0xFFFFFFFF) + itemBody + le16(0xFFFE)
            + le16(0xE00D) + le32(0) + le16(0xFFFE) + le16(0xE0DD) + le32(0);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Every file below a folder (links read through) with its SHA-256.
QHash<QString, QByteArray> hashesBelow(const QString &folder)
{
    QHash<QString, QByteArray> result;
    for (const QString &file : TestDicom::treeOf(folder))
        result.insert(file, TestDicom::sha256(QDir(folder).filePath(file)));
    return result;
}

} // namespace

void TestEngineFaults::initTestCase()
{
    gdcm::Trace::WarningOff();
    gdcm::Trace::ErrorOff();
    // Every failed file also writes a debug line; the failures are checked through readError.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

void TestEngineFaults::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestEngineFaults::cleanup()
{
#ifdef Q_OS_LINUX
    if (!m_mounted.isEmpty())
        ::umount2(QFile::encodeName(m_mounted).constData(), MNT_DETACH);
#endif
    m_mounted.clear();
}

TestEngineFaults::Job TestEngineFaults::run(const QStringList &folders, int workers,
                                            const QString &patientName)
{
    QStringList urls;
    for (const QString &folder : folders)
        urls.append(QUrl::fromLocalFile(path(folder)).toString());
    Job job;
    job.lists = JobPlan::listFolders(urls);
    QmlHandler handler(QmlHandler::ServerClient::None);
    handler.setWorkerCount(workers);
    // Queued to this thread: workers emit from several threads at once.
    QObject::connect(
            &handler, &QmlHandler::readError, this,
            [&](const QString &failed) { job.errors.append(failed); }, Qt::QueuedConnection);
    QObject::connect(&handler, &QmlHandler::sendToQml, [&](const QString &key, const QVariant &v) {
        if (key == MessageKey::updateProgress)
            job.lastProgress = v.toFloat();
    });
    if (!patientName.isEmpty())
        handler.receiveFromQml(MessageKey::changeTagText, "PatientsName:" + patientName);
    handler.receiveFromQml(MessageKey::openFolder, urls.join(QLatin1Char('\n')));
    if (!QTest::qWaitFor([&] { return handler.done() >= handler.total(); }, 60000))
        qWarning("job did not finish");
    handler.waitForWorkers();
    [&] { QCOMPARE(handler.done(), handler.total()); }();
    job.errors.sort();
    return job;
}

void TestEngineFaults::verifyNothingLost(const Job &job, const QByteArray &patientName)
{
    if (!job.lists.inputs.isEmpty())
        QCOMPARE(job.lastProgress, 1.0f);
    for (qsizetype i = 0; i < job.lists.inputs.size(); ++i) {
        const QString &input = job.lists.inputs.at(i);
        const QString &output = job.lists.outputs.at(i);
        const bool failed = job.errors.contains(input) || job.errors.contains(output);
        if (QFileInfo(output).isFile()) {
            QVERIFY2(!failed, qPrintable(output));
            gdcm::Reader reader;
            QVERIFY2(FileAnonymizer::read(output, reader), qPrintable(output));
            QCOMPARE(TestDicom::valueOf(reader.GetFile(), TestDicom::patientName), patientName);
        } else {
            QVERIFY2(failed, qPrintable(input + " has neither a copy nor a failure"));
        }
    }
    for (const QString &file : TestDicom::treeOf(m_dir->path()))
        QVERIFY2(!file.endsWith(QLatin1String(".part")), qPrintable(file));
}

void TestEngineFaults::outputFileSystemFillsUp()
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
    const auto before = hashesBelow(path("in"));

    const Job job = run({ "in" });
    verifyNothingLost(job);
    const QStringList written = TestDicom::treeOf(path("in_depersonification"));
    QVERIFY2(!written.isEmpty() && written.size() < 40,
             qPrintable(QString::number(written.size())));
    QCOMPARE(job.errors.size(), 40 - written.size());
    for (const QString &error : job.errors)
        QVERIFY2(error.startsWith(path("in_depersonification/")), qPrintable(error));
    QCOMPARE(hashesBelow(path("in")), before);

    // Again with another text, onto the full file system: a file that fails now must not keep
    // the first job's copy, which would pass for this job's. Removing it makes room for the
    // next files.
    const Job again = run({ "in" }, 2, QStringLiteral("Second"));
    verifyNothingLost(again, "Second");
    QVERIFY(!again.errors.isEmpty());
    QVERIFY(again.errors.size() < 40);
    const QString report = [this] {
        QFile file(path("in_depersonification.report.txt"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }();
    QVERIFY2(report.contains(": failed: cannot write: no space left on device; the earlier copy "
                             "there was removed\n"),
             qPrintable(report));
    QVERIFY(report.contains(" (added to an existing folder)\n"));
    QCOMPARE(hashesBelow(path("in")), before);
#endif
}

void TestEngineFaults::inputTrees_data()
{
    QTest::addColumn<QStringList>("files"); // good DICOM files made below "in"
    QTest::addColumn<QStringList>("links"); // "name>target" symbolic links made below "in"
    QTest::addColumn<QStringList>("written"); // expected copies below the output folder

    QTest::addRow("symbolic link loops")
            << QStringList{ "a.dcm", "sub/b.dcm" }
            << QStringList{ "up>..", "sub/self>self", "sub/loop>../sub" }
            << QStringList{ "a.dcm", "sub/b.dcm" };
    QTest::addRow("dangling link")
            << QStringList{ "a.dcm" } << QStringList{ "gone.dcm>missing.dcm" }
            << QStringList{ "a.dcm" };
    // The link is read like the file it names; the copy is a file of its own.
    QTest::addRow("link to a file outside the folder")
            << QStringList{ "a.dcm" } << QStringList{ "b.dcm>../elsewhere.dcm" }
            << QStringList{ "a.dcm", "b.dcm" };
    QTest::addRow("spaces, letters beyond ASCII, several dots")
            << QStringList{ "Patient 7/Ärztin Müller.dcm", "ct.2021.b/x.y.z.dcm", "日本/画像 1.dcm",
                            " lead and trail .dcm", "no extension" }
            << QStringList{}
            << QStringList{ " lead and trail .dcm", "Patient 7/Ärztin Müller.dcm",
                            "ct.2021.b/x.y.z.dcm", "no extension", "日本/画像 1.dcm" };
}

void TestEngineFaults::inputTrees()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, links);
    QFETCH(QStringList, written);
    for (const QString &file : files)
        QVERIFY(TestDicom::write(path("in/" + file)));
    QVERIFY(TestDicom::write(path("elsewhere.dcm")));
    for (const QString &link : links) {
        const QString name = link.section('>', 0, 0);
        const QString target = link.section('>', 1);
        QDir().mkpath(QFileInfo(path("in/" + name)).absolutePath());
        QVERIFY(QFile::link(target, path("in/" + name)));
    }
    const auto before = hashesBelow(m_dir->path());

    const Job job = run({ "in" });
    verifyNothingLost(job);
    QCOMPARE(job.errors, QStringList());
    QCOMPARE(TestDicom::treeOf(path("in_depersonification")), written);
    QHash<QString, QByteArray> after = hashesBelow(m_dir->path());
    for (auto it = after.begin(); it != after.end();) {
        if (it.key().startsWith(QLatin1String("in_depersonification")))
            it = after.erase(it);
        else
            ++it;
    }
    QCOMPARE(after, before);
}

void TestEngineFaults::fiftyThousandEmptyFiles()
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
    QElapsedTimer timer;
    timer.start();
    const JobPlan::FileLists lists
            = JobPlan::listFolders({ QUrl::fromLocalFile(path("in")).toString() });
    const qint64 listing = timer.elapsed();
    QCOMPARE(lists.inputs.size(), folders * perFolder);
    qInfo("listing 50,000 empty files: %lld ms", listing);

    timer.restart();
    const Job job = run({ "in" });
    qInfo("job over 50,000 empty files: %lld ms", timer.elapsed());
    // Each fails as unreadable, with its input path; no output folder is made for nothing.
    QCOMPARE(job.errors.size(), folders * perFolder);
    QCOMPARE(job.lastProgress, 1.0f);
    QVERIFY(!QFileInfo::exists(path("in_depersonification")));
    QVERIFY2(listing < 5000, "listing took more than 5 s");
}

void TestEngineFaults::damagedFiles_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("truncated") << "truncated";
    QTest::newRow("zero length") << "empty";
    QTest::newRow("huge length field") << "huge";
    QTest::newRow("200 nested sequences") << "nested";
    QTest::newRow("a folder named like a file beside it") << "folder";
}

void TestEngineFaults::damagedFiles()
{
    QFETCH(QString, damage);
    QVERIFY(TestDicom::write(path("in/good.dcm")));
    const QByteArray good = readAll(path("in/good.dcm"));
    QByteArray bad;
    if (damage == "truncated") {
        bad = good.left(good.size() / 2);
    } else if (damage == "huge") {
        // Data set trailing padding claiming 4 GB, holding four bytes.
        bad = good + le16(0xFFFC) + le16(0xFFFC) + "OB" + QByteArray(2, '\0') + le32(0xFFFFFFF0)
                + "abcd";
    } else if (damage == "nested") {
        QByteArray inner = le16(0x0040) + le16(0x1001) + "SH" + le16(4) + "STEP";
        for (int i = 0; i < 200; ++i)
            inner = undefinedSequence(0x0040, 0x0275, inner);
        bad = good + undefinedSequence(0xFFFA, 0xFFFA, inner);
    }
    if (damage == "folder") {
        // bad.dcm is a folder holding a file; beside it a file "bad".
        QVERIFY(writeAll(path("in/bad"), good));
        QVERIFY(writeAll(path("in/bad.dcm/inner.dcm"), good));
    } else {
        QVERIFY(writeAll(path("in/bad.dcm"), bad));
    }
    const auto before = hashesBelow(path("in"));

    const Job job = run({ "in" });
    verifyNothingLost(job);
    if (damage == "folder") {
        QCOMPARE(job.errors, QStringList());
        QCOMPARE(TestDicom::treeOf(path("in_depersonification")),
                 (QStringList{ "bad", "bad.dcm/inner.dcm", "good.dcm" }));
    } else {
        QCOMPARE(job.errors, QStringList{ path("in/bad.dcm") });
        QCOMPARE(TestDicom::treeOf(path("in_depersonification")), QStringList{ "good.dcm" });
    }
    QCOMPARE(hashesBelow(path("in")), before);
}

// A link where the output folder (or one of its subfolders) goes, leading back into the input
// tree: the copies would land on the inputs themselves.
void TestEngineFaults::outputLinkedIntoTheInput_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("target");
    QTest::addRow("output folder") << "in_depersonification"
                                   << "in";
    QTest::addRow("a subfolder of it") << "in_depersonification/sub"
                                       << "../in/sub";
}

void TestEngineFaults::outputLinkedIntoTheInput()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QVERIFY(TestDicom::write(path("in/a.dcm")));
    QVERIFY(TestDicom::write(path("in/sub/b.dcm")));
    QDir().mkpath(QFileInfo(path(link)).absolutePath());
    QVERIFY(QFile::link(target, path(link)));
    const auto before = hashesBelow(path("in"));

    const Job job = run({ "in" });
    QCOMPARE(hashesBelow(path("in")), before);
    QCOMPARE(job.lastProgress, 1.0f);
    for (const QString &file : TestDicom::treeOf(m_dir->path()))
        QVERIFY2(!file.endsWith(QLatin1String(".part")), qPrintable(file));
    // Every input is either written elsewhere or failed.
    for (qsizetype i = 0; i < job.lists.inputs.size(); ++i) {
        const QString &output = job.lists.outputs.at(i);
        const bool failed = job.errors.contains(output);
        QVERIFY2(failed
                         != (QFileInfo(output).canonicalFilePath()
                             != QFileInfo(job.lists.inputs.at(i)).canonicalFilePath()),
                 qPrintable(output));
    }
}

QTEST_GUILESS_MAIN(TestEngineFaults)
#include "tst_enginefaults.moc"
