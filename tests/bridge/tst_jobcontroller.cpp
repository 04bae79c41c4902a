#include "bridge/jobcontroller.h"
#include "engine/job/progress.h"

#include "shared/dicomfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <atomic>

// The job controller: the progress rule, and the progress a real job sends with a clock the test
// controls; jobs that add to a running one or replace a finished one; the reports of a stopped or
// repeated job. The jobs here are of text files, which fail at once and still count.
class TestJobController : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rule_data();
    void rule();
    void sentByTheClock_data();
    void sentByTheClock();
    void emptyJobSendsOnlyItsOutcome_data();
    void emptyJobSendsOnlyItsOutcome();
    void secondJobAddsToTheRunningTotals();
    void reportAccountsForTheWholeFolder_data();
    void reportAccountsForTheWholeFolder();
    void finishedJobIsReplacedByTheNext();

private:
    QString folderOf(int files, const QString &name = QStringLiteral("job"));
    static QList<float> progressValues(const QSignalSpy &spy);

    std::unique_ptr<QTemporaryDir> m_dir;
    qint64 m_now = 1000;
};

void TestJobController::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_now = 1000;
}

void TestJobController::cleanup()
{
    QThreadPool::globalInstance()->setMaxThreadCount(QThread::idealThreadCount());
}

QString TestJobController::folderOf(int files, const QString &name)
{
    const QString folder = m_dir->filePath(name);
    for (int i = 0; i < files; ++i) {
        if (!TestDicom::writeAll(folder + QStringLiteral("/f%1.txt").arg(i), "not DICOM\n"))
            qFatal("cannot write the test files");
    }
    return folder;
}

QList<float> TestJobController::progressValues(const QSignalSpy &spy)
{
    QList<float> values;
    for (const QList<QVariant> &report : spy)
        values.append(Progress::fraction(report.at(0).toInt(), report.at(1).toInt()));
    return values;
}

void TestJobController::rule_data()
{
    QTest::addColumn<int>("done");
    QTest::addColumn<int>("total");
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<bool>("sent");
    QTest::addRow("50 ms is not enough") << 1 << 3 << qint64(50) << false;
    QTest::addRow("51 ms is") << 1 << 3 << qint64(51) << true;
    QTest::addRow("last file at once") << 3 << 3 << qint64(0) << true;
    QTest::addRow("19,999 of 20,000 at once") << 19999 << 20000 << qint64(0) << true;
    QTest::addRow("9,999 of 10,000 waits") << 9999 << 10000 << qint64(0) << false;
    QTest::addRow("clock gone backwards") << 1 << 3 << qint64(-5000) << false;
}

void TestJobController::rule()
{
    QFETCH(int, done);
    QFETCH(int, total);
    QFETCH(qint64, elapsed);
    QFETCH(bool, sent);
    QCOMPARE(Progress::shouldSend(elapsed, Progress::fraction(done, total)), sent);
}

// With 100 ms between files every file is sent; with no time passing only the last one.
void TestJobController::sentByTheClock_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("step"); // ms the clock moves per reading
    QTest::addColumn<QList<float>>("sent");
    QTest::addRow("slow") << 3 << 100 << QList<float>{ 1.0f / 3.0f, 2.0f / 3.0f, 1.0f };
    QTest::addRow("fast") << 200 << 0 << QList<float>{ 1.0f };
}

void TestJobController::sentByTheClock()
{
    QFETCH(int, files);
    QFETCH(int, step);
    QFETCH(QList<float>, sent);
    JobController jobs;
    jobs.setClockForTesting([this, step] { return m_now += step; });
    QSignalSpy spy(&jobs, &JobController::progressed);
    jobs.start({ folderOf(files) });
    QTRY_COMPARE(jobs.done(), files);
    QCOMPARE(progressValues(spy), sent);
}

void TestJobController::emptyJobSendsOnlyItsOutcome_data()
{
    QTest::addColumn<QStringList>("entries"); // made in "empty"
    QTest::addColumn<QString>("text"); // "%1": the folder's path
    QTest::addRow("nothing in it") << QStringList{} << QStringLiteral("no files found in %1");
    QTest::addRow("only a DICOMDIR") << QStringList{ "DICOMDIR" }
                                     << QStringLiteral("no files found in %1 (1 entry skipped)");
}

// A job without files sends no progress (the window stays idle), only its outcome, which
// names no output folder: none is made.
void TestJobController::emptyJobSendsOnlyItsOutcome()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, text);
    JobController jobs;
    QSignalSpy progressed(&jobs, &JobController::progressed);
    QSignalSpy finished(&jobs, &JobController::finished);
    const QString folder = m_dir->filePath(QStringLiteral("empty"));
    QVERIFY(QDir().mkpath(folder));
    for (const QString &entry : entries)
        QVERIFY(TestDicom::writeAll(folder + '/' + entry, {}));
    jobs.start({ folder });
    jobs.waitForWorkers();
    QCoreApplication::processEvents();
    QCOMPARE(progressed.count(), 0);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(jobs.summaryText(false), text.arg(QDir::toNativeSeparators(folder)));
    QCOMPARE(jobs.total(), 0);
    QVERIFY(!QFileInfo::exists(folder + QStringLiteral("_depersonification")));
}

void TestJobController::secondJobAddsToTheRunningTotals()
{
    // One pool thread, held until both jobs are queued: the first job is surely unfinished
    // when the second arrives.
    QThreadPool::globalInstance()->setMaxThreadCount(1);
    QSemaphore gate;
    QThreadPool::globalInstance()->start([&gate] { gate.acquire(); });

    JobController jobs;
    jobs.setWorkerCount(2);
    jobs.setClockForTesting([this] { return m_now += 100; });
    QSignalSpy spy(&jobs, &JobController::progressed);
    jobs.start({ folderOf(3, QStringLiteral("first")) });
    jobs.start({ folderOf(2, QStringLiteral("second")) });
    const int total = jobs.total();
    gate.release(); // before any check can end the test with the pool held
    QCOMPARE(total, 5);

    QTRY_COMPARE(jobs.done(), 5);
    const QList<float> values = progressValues(spy);
    QCOMPARE(values.size(), 5);
    QCOMPARE(values.last(), 1.0f);
    for (qsizetype i = 0; i + 1 < values.size(); ++i)
        QVERIFY(values.at(i) < 1.0f);
}

void TestJobController::finishedJobIsReplacedByTheNext()
{
    JobController jobs;
    jobs.setClockForTesting([this] { return m_now += 100; });
    jobs.start({ folderOf(3, QStringLiteral("first")) });
    QTRY_COMPARE(jobs.done(), 3);
    QSignalSpy spy(&jobs, &JobController::progressed);
    jobs.start({ folderOf(2, QStringLiteral("second")) });
    QCOMPARE(jobs.total(), 2);
    QTRY_COMPARE(jobs.done(), 2);
    QCOMPARE(progressValues(spy), (QList<float>{ 0.5f, 1.0f }));
}

void TestJobController::reportAccountsForTheWholeFolder_data()
{
    QTest::addColumn<bool>("stop"); // the job is stopped after its first file
    QTest::addColumn<bool>("nested"); // its subfolder "sub", of two files, is dropped with it
    QTest::addColumn<QString>("outcome");
    // In the report, "N|text": how many times the text is found (the workers' order is the
    // directory's).
    QTest::addColumn<QStringList>("lines");
    QTest::addRow("stopped: what was not done is listed")
            << true << false << QStringLiteral("stopped after 1 of 3 files: 0 written, 1 failed")
            << QStringList{ "1|\nStopped before its end", "1|.txt: failed: not a DICOM file\n",
                            "2|.txt: not done: the job was stopped before it\n" };
    // The second run over the same folder replaces the report: it still names the copy of the
    // file that is no longer in the input.
    // The subfolder's files are the folder's too (sub/s0.txt), and the subfolder's own: each is
    // listed once in each report, never once for every folder whose path holds it.
    QTest::addRow("stopped with a subfolder dropped too: each file once")
            << true << true << QStringLiteral("stopped after 1 of 7 files: 0 written, 1 failed")
            << QStringList{ "1|.txt: failed: not a DICOM file\n",
                            "4|.txt: not done: the job was stopped before it\n" };
    QTest::addRow("run again: an earlier job's copy is listed")
            << false << false << QStringLiteral("3 files: 0 written, 3 failed")
            << QStringList{ "3|.txt: failed: not a DICOM file\n",
                            "1|  gone.dcm: an earlier job's copy, not in this job\n" };
}

// A report is replaced by the next job of its folder, so it describes all that the folder
// holds or should hold: the files a stopped job did not reach, and copies an earlier job of
// the same input left there.
void TestJobController::reportAccountsForTheWholeFolder()
{
    QFETCH(bool, stop);
    QFETCH(bool, nested);
    QFETCH(QString, outcome);
    QFETCH(QStringList, lines);
    QStringList folders{ folderOf(3) };
    if (nested)
        folders.append(folderOf(2, QStringLiteral("job/sub")));
    QVERIFY(TestDicom::writeAll(m_dir->filePath(QStringLiteral("job_depersonification/gone.dcm")),
                                "an earlier copy"));
    JobController jobs;
    jobs.setWorkerCount(1);
    // On the worker, after its first file: it waits there until the stop is asked for.
    std::atomic<bool> firstDone{ false };
    QMetaObject::Connection holdFirst;
    if (stop) {
        holdFirst = connect(
                &jobs, &JobController::writeFile, &jobs,
                [&] {
                    firstDone = true;
                    while (!jobs.stopRequested())
                        QThread::yieldCurrentThread();
                },
                Qt::DirectConnection);
    }
    QSignalSpy finished(&jobs, &JobController::finished);
    jobs.start(folders);
    if (stop) {
        QTRY_VERIFY(firstDone.load());
        jobs.stop();
    }
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), stop);
    const QString text = jobs.summaryText(stop);
    QVERIFY2(text.startsWith(outcome), qPrintable(text));
    const QByteArray report = TestDicom::readAll(
            m_dir->filePath(QStringLiteral("job_depersonification.report.txt")));
    for (const QString &line : lines)
        QVERIFY2(report.count(line.section('|', 1).toUtf8()) == line.section('|', 0, 0).toInt(),
                 qPrintable(line + '\n' + report));
    // The next job is not stopped.
    disconnect(holdFirst);
    jobs.start(folders);
    // (After a nested job, the subfolder's report lies in the folder and is listed too.)
    QTRY_VERIFY(jobs.done() >= (nested ? 7 : 3) && jobs.done() == jobs.total());
}

QTEST_GUILESS_MAIN(TestJobController)
#include "tst_jobcontroller.moc"
