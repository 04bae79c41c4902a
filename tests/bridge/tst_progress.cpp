#include "bridge/messagekeys.h"
#include "bridge/qmlhandler.h"
#include "engine/job/progress.h"

#include "shared/dicomfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QThread>

#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QUrl>
#include <atomic>

// The progress rule, and the progress a real job sends through the bridge with a clock the
// test controls. The jobs here are of text files, which fail at once and still count.
class TestProgress : public QObject
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

void TestProgress::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_now = 1000;
}

void TestProgress::cleanup()
{
    QThreadPool::globalInstance()->setMaxThreadCount(QThread::idealThreadCount());
}

QString TestProgress::folderOf(int files, const QString &name)
{
    const QString folder = m_dir->filePath(name);
    for (int i = 0; i < files; ++i) {
        if (!TestDicom::writeAll(folder + QStringLiteral("/f%1.txt").arg(i), "not DICOM\n"))
            qFatal("cannot write the test files");
    }
    return QUrl::fromLocalFile(folder).toString();
}

QList<float> TestProgress::progressValues(const QSignalSpy &spy)
{
    QList<float> values;
    for (const QList<QVariant> &message : spy) {
        if (message.at(0).toString() == MessageKey::updateProgress) {
            // Sent as a single-precision number, as the window receives it.
            if (message.at(1).typeId() != QMetaType::Float)
                qFatal("progress is not a float");
            values.append(message.at(1).toFloat());
        }
    }
    return values;
}

void TestProgress::rule_data()
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

void TestProgress::rule()
{
    QFETCH(int, done);
    QFETCH(int, total);
    QFETCH(qint64, elapsed);
    QFETCH(bool, sent);
    QCOMPARE(Progress::shouldSend(elapsed, Progress::fraction(done, total)), sent);
}

// With 100 ms between files every file is sent; with no time passing only the last one.
void TestProgress::sentByTheClock_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("step"); // ms the clock moves per reading
    QTest::addColumn<QList<float>>("sent");
    QTest::addRow("slow") << 3 << 100 << QList<float>{ 1.0f / 3.0f, 2.0f / 3.0f, 1.0f };
    QTest::addRow("fast") << 200 << 0 << QList<float>{ 1.0f };
}

void TestProgress::sentByTheClock()
{
    QFETCH(int, files);
    QFETCH(int, step);
    QFETCH(QList<float>, sent);
    QmlHandler handler(QmlHandler::ServerClient::None);
    handler.setClockForTesting([this, step] { return m_now += step; });
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    handler.receiveFromQml(MessageKey::openFolder, folderOf(files));
    QTRY_COMPARE(handler.done(), files);
    QCOMPARE(progressValues(spy), sent);
}

void TestProgress::emptyJobSendsOnlyItsOutcome_data()
{
    QTest::addColumn<QStringList>("entries"); // made in "empty"
    QTest::addColumn<QString>("text"); // "%1": the folder's path
    QTest::addRow("nothing in it") << QStringList{} << QStringLiteral("no files found in %1");
    QTest::addRow("only a DICOMDIR") << QStringList{ "DICOMDIR" }
                                     << QStringLiteral("no files found in %1 (1 entry skipped)");
}

// A job without files sends no progress (the window stays idle), only its outcome, which
// names no output folder: none is made.
void TestProgress::emptyJobSendsOnlyItsOutcome()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, text);
    QmlHandler handler(QmlHandler::ServerClient::None);
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    const QString folder = m_dir->filePath(QStringLiteral("empty"));
    QVERIFY(QDir().mkpath(folder));
    for (const QString &entry : entries)
        QVERIFY(TestDicom::writeAll(folder + '/' + entry, {}));
    handler.receiveFromQml(MessageKey::openFolder, QUrl::fromLocalFile(folder).toString());
    handler.waitForWorkers();
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), MessageKey::jobOutcome);
    QCOMPARE(spy.at(0).at(1).toJsonObject().value("text").toString(),
             text.arg(QDir::toNativeSeparators(folder)));
    QCOMPARE(handler.total(), 0);
    QVERIFY(!QFileInfo::exists(folder + QStringLiteral("_depersonification")));
}

void TestProgress::secondJobAddsToTheRunningTotals()
{
    // One pool thread, held until both jobs are queued: the first job is surely unfinished
    // when the second arrives.
    QThreadPool::globalInstance()->setMaxThreadCount(1);
    QSemaphore gate;
    QThreadPool::globalInstance()->start([&gate] { gate.acquire(); });

    QmlHandler handler(QmlHandler::ServerClient::None);
    handler.setWorkerCount(2);
    handler.setClockForTesting([this] { return m_now += 100; });
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    handler.receiveFromQml(MessageKey::openFolder, folderOf(3, QStringLiteral("first")));
    handler.receiveFromQml(MessageKey::openFolder, folderOf(2, QStringLiteral("second")));
    const int total = handler.total();
    gate.release(); // before any check can end the test with the pool held
    QCOMPARE(total, 5);

    QTRY_COMPARE(handler.done(), 5);
    const QList<float> values = progressValues(spy);
    QCOMPARE(values.size(), 5);
    QCOMPARE(values.last(), 1.0f);
    for (qsizetype i = 0; i + 1 < values.size(); ++i)
        QVERIFY(values.at(i) < 1.0f);
}

void TestProgress::finishedJobIsReplacedByTheNext()
{
    QmlHandler handler(QmlHandler::ServerClient::None);
    handler.setClockForTesting([this] { return m_now += 100; });
    handler.receiveFromQml(MessageKey::openFolder, folderOf(3, QStringLiteral("first")));
    QTRY_COMPARE(handler.done(), 3);
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    handler.receiveFromQml(MessageKey::openFolder, folderOf(2, QStringLiteral("second")));
    QCOMPARE(handler.total(), 2);
    QTRY_COMPARE(handler.done(), 2);
    QCOMPARE(progressValues(spy), (QList<float>{ 0.5f, 1.0f }));
}

void TestProgress::reportAccountsForTheWholeFolder_data()
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
void TestProgress::reportAccountsForTheWholeFolder()
{
    QFETCH(bool, stop);
    QFETCH(bool, nested);
    QFETCH(QString, outcome);
    QFETCH(QStringList, lines);
    QString url = folderOf(3);
    if (nested)
        url += QLatin1Char('\n') + folderOf(2, QStringLiteral("job/sub"));
    QVERIFY(TestDicom::writeAll(m_dir->filePath(QStringLiteral("job_depersonification/gone.dcm")),
                                "an earlier copy"));
    QmlHandler handler(QmlHandler::ServerClient::None);
    handler.setWorkerCount(1);
    // On the worker, after its first file: it waits there until the stop is asked for.
    std::atomic<bool> firstDone{ false };
    QMetaObject::Connection holdFirst;
    if (stop) {
        holdFirst = connect(
                &handler, &QmlHandler::writeFile, &handler,
                [&] {
                    firstDone = true;
                    while (!handler.stopRequested())
                        QThread::yieldCurrentThread();
                },
                Qt::DirectConnection);
    }
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    handler.receiveFromQml(MessageKey::openFolder, url);
    if (stop) {
        QTRY_VERIFY(firstDone.load());
        handler.receiveFromQml(MessageKey::stopJob, QString());
    }
    QTRY_VERIFY(!spy.isEmpty() && spy.last().at(0).toString() == MessageKey::jobOutcome);
    const QJsonObject sent = spy.last().at(1).toJsonObject();
    QVERIFY2(sent.value("text").toString().startsWith(outcome),
             qPrintable(sent.value("text").toString()));
    QCOMPARE(sent.value("stopped").toBool(), stop);
    const QByteArray report = TestDicom::readAll(
            m_dir->filePath(QStringLiteral("job_depersonification.report.txt")));
    for (const QString &line : lines)
        QVERIFY2(report.count(line.section('|', 1).toUtf8()) == line.section('|', 0, 0).toInt(),
                 qPrintable(line + '\n' + report));
    // The next job is not stopped.
    disconnect(holdFirst);
    handler.receiveFromQml(MessageKey::openFolder, url);
    // (After a nested job, the subfolder's report lies in the folder and is listed too.)
    QTRY_VERIFY(handler.done() >= (nested ? 7 : 3) && handler.done() == handler.total());
}

QTEST_GUILESS_MAIN(TestProgress)
#include "tst_progress.moc"
