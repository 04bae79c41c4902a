#include "bridge/messagekeys.h"
#include "bridge/qmlhandler.h"
#include "engine/progress.h"

#include "shared/dicomfiles.h"

#include <QJsonObject>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QUrl>

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
    void emptyJobSendsOnlyItsOutcome();
    void secondJobAddsToTheRunningTotals();
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

// A job without files sends no progress (the window stays idle), only its outcome.
void TestProgress::emptyJobSendsOnlyItsOutcome()
{
    QmlHandler handler(QmlHandler::ServerClient::None);
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    QVERIFY(TestDicom::writeAll(m_dir->filePath(QStringLiteral("empty/DICOMDIR")), {}));
    handler.receiveFromQml(
            MessageKey::openFolder,
            QUrl::fromLocalFile(m_dir->filePath(QStringLiteral("empty"))).toString());
    handler.waitForWorkers();
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), MessageKey::jobOutcome);
    QCOMPARE(spy.at(0).at(1).toJsonObject().value("text").toString(),
             QStringLiteral("0 files: 0 written, 1 skipped · empty_depersonification"));
    QCOMPARE(handler.total(), 0);
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

QTEST_GUILESS_MAIN(TestProgress)
#include "tst_progress.moc"
