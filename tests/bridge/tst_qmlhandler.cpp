#include "bridge/messagekeys.h"
#include "bridge/qmlhandler.h"
#include "engine/cleaning/tagprofile.h"

#include "shared/dicomfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>

#include <atomic>

class TestQmlHandler : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void unknownOrMiscasedKeysDoNothing_data();
    void unknownOrMiscasedKeysDoNothing();
    void qmlCompletedAnswersEachTimeInOrder();
    void standardCleanupIsKeptInTheStore();
    void editsApplyToLaterSnapshotsOnly();
    void snapshotsNeverOverlapEdits();
    void settingsSubmitEchoesParsedObject_data();
    void settingsSubmitEchoesParsedObject();
    void coreStoreIsReadableByItsOwnerOnly_data();
    void coreStoreIsReadableByItsOwnerOnly();
    void readReportAnswersWithItsText_data();
    void readReportAnswersWithItsText();
    void aJobReachesTheWindowAsMessages_data();
    void aJobReachesTheWindowAsMessages();
};

void TestQmlHandler::init()
{
    // Each test starts from a store without the switch, as a new installation does.
    QSettings(QStringLiteral("Tesmo"), QStringLiteral("Vexar_Anonymizer"))
            .remove("standardCleanup");
}

void TestQmlHandler::unknownOrMiscasedKeysDoNothing_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    for (const auto &[key, value] : { std::pair{ "OpenFolder", "file:///tmp" },
                                      { "qmlcompleted", "" },
                                      { "QMLCOMPLETED", "" },
                                      { "changegui", "PatientsName:0" },
                                      { "ChangeTagText", "PatientsName:x" },
                                      { "Settings:submit", R"({"email":"a@b"})" },
                                      { "loadTagsList", "" },
                                      { "", "" } })
        QTest::addRow("%s", key) << key << value;
}

void TestQmlHandler::unknownOrMiscasedKeysDoNothing()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QmlHandler handler(QmlHandler::ServerClient::None);
    const QJsonObject before = handler.jobs().profile();
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    handler.receiveFromQml(key, value);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(handler.jobs().profile(), before);
}

void TestQmlHandler::qmlCompletedAnswersEachTimeInOrder()
{
    QmlHandler handler(QmlHandler::ServerClient::None);
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    handler.receiveFromQml(MessageKey::qmlCompleted, QString());
    handler.receiveFromQml(MessageKey::qmlCompleted, QString());
    QCOMPARE(spy.count(), 8);
    for (int i = 0; i < 8; i += 4) {
        QCOMPARE(spy.at(i).at(0).toString(), QStringLiteral("setDeviceID"));
        QCOMPARE(spy.at(i).at(1).toJsonObject(), QJsonObject({ { "version", "1.0.1" } }));
        QCOMPARE(spy.at(i + 1).at(0).toString(), QStringLiteral("loadTagsList"));
        QCOMPARE(spy.at(i + 2).at(0).toString(), QStringLiteral("standardCleanup"));
        QCOMPARE(spy.at(i + 2).at(1), QVariant(false));
        QCOMPARE(spy.at(i + 3).at(0).toString(), QStringLiteral("standardOptions"));
        QCOMPARE(spy.at(i + 3).at(1).toStringList(), QStringList());
    }

    // The shown entries, whole: the window reads every field, not just the flags.
    const QJsonObject shown = spy.at(1).at(1).toJsonObject();
    QCOMPARE(shown, TagProfile::shownTags(TagProfile::load()));
    QCOMPARE(shown.size(), 8);
}

void TestQmlHandler::standardCleanupIsKeptInTheStore()
{
    {
        QmlHandler handler(QmlHandler::ServerClient::None);
        QCOMPARE(handler.jobs().options().cleaning.standard, false);
        handler.receiveFromQml(MessageKey::standardCleanup, 1);
        QCOMPARE(handler.jobs().options().cleaning.standard, true);
        // Unknown names are dropped; both kinds of dates at once keep the modified ones.
        handler.receiveFromQml(MessageKey::standardOptions,
                               QStringLiteral("modified-dates,retain-full-dates,nonsense,retain-uids"));
        QCOMPARE(handler.jobs().options().cleaning.standardOptions,
                 StandardOptions::Set(StandardOptions::ModifiedDates | StandardOptions::RetainUids));
    }
    // The next start answers with the stored state; a change made on the job controller alone
    // is not stored.
    {
        QmlHandler handler(QmlHandler::ServerClient::None);
        QSignalSpy spy(&handler, &QmlHandler::sendToQml);
        QVERIFY(spy.isValid());
        handler.receiveFromQml(MessageKey::qmlCompleted, QString());
        QCOMPARE(spy.at(spy.count() - 2).at(0).toString(), MessageKey::standardCleanup);
        QCOMPARE(spy.at(spy.count() - 2).at(1), QVariant(true));
        QCOMPARE(spy.last().at(0).toString(), MessageKey::standardOptions);
        QCOMPARE(spy.last().at(1).toStringList(),
                 QStringList({ "retain-uids", "modified-dates" }));
        handler.jobs().editOptions(
                [](FileAnonymizer::Options &options) { options.cleaning.standard = false; });
        QCOMPARE(handler.jobs().options().cleaning.standard, false);
    }
    QmlHandler handler(QmlHandler::ServerClient::None);
    QCOMPARE(handler.jobs().options().cleaning.standard, true);
    handler.receiveFromQml(MessageKey::standardCleanup, 0);
    handler.receiveFromQml(MessageKey::standardOptions, QStringList());
    QCOMPARE(QmlHandler(QmlHandler::ServerClient::None).jobs().options().cleaning.standard, false);
    QCOMPARE(QmlHandler(QmlHandler::ServerClient::None).jobs().options().cleaning.standardOptions, 0u);
}

// A worker's copy is its own: an edit made after it is taken applies from the next copy on.
void TestQmlHandler::editsApplyToLaterSnapshotsOnly()
{
    QmlHandler handler(QmlHandler::ServerClient::None);
    const QJsonObject first = handler.jobs().profile();
    handler.receiveFromQml(MessageKey::changeTagText, QStringLiteral("PatientsName:Doe"));
    handler.receiveFromQml(MessageKey::changeGUI, QStringLiteral("StudyDate:0"));
    QCOMPARE(first, TagProfile::load());
    const QJsonObject second = handler.jobs().profile();
    QCOMPARE(TagProfile::replacementText(second.value("PatientsName").toObject()), "Doe");
    QCOMPARE(second.value("StudyDate").toObject().value("enabled"), QJsonValue(false));
}

// Workers copy the profile while the user edits it; with the settings mutex around both, every
// copy is a whole profile. Run under ThreadSanitizer this also proves there is no data race.
void TestQmlHandler::snapshotsNeverOverlapEdits()
{
    QmlHandler handler(QmlHandler::ServerClient::None);
    std::atomic<bool> stop{ false };
    std::atomic<int> bad{ 0 };
    // Set last by the reader: QThread::wait() synchronises inside Qt, where ThreadSanitizer
    // cannot see it, so the hand-over back to this thread is made visible here.
    std::atomic<bool> done{ false };
    QThread *reader = QThread::create([&] {
        while (!stop.load()) {
            const QJsonObject copy = handler.jobs().profile();
            if (copy.size() != 72)
                ++bad;
            const QString text
                    = copy.value("PatientsName").toObject().value("user_replace").toString();
            if (!text.isEmpty() && !text.startsWith(QLatin1String("name")))
                ++bad;
        }
        done.store(true, std::memory_order_release);
    });
    reader->start();
    for (int i = 0; i < 5000; ++i)
        handler.receiveFromQml(MessageKey::changeTagText,
                               QStringLiteral("PatientsName:name%1").arg(i));
    stop = true;
    reader->wait();
    QVERIFY(done.load(std::memory_order_acquire));
    delete reader;
    QCOMPARE(bad.load(), 0);
}

void TestQmlHandler::settingsSubmitEchoesParsedObject_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QJsonObject>("expected");
    QTest::addRow("profile")
            << R"({"email":"ann@example.org","name":"Ann;;Lee","organization":"Clinic"})"
            << QJsonObject{ { "email", "ann@example.org" },
                            { "name", "Ann;;Lee" },
                            { "organization", "Clinic" } };
    QTest::addRow("not JSON gives an empty object") << "not json" << QJsonObject();
    QTest::addRow("an array gives an empty object") << "[1,2]" << QJsonObject();
}

void TestQmlHandler::settingsSubmitEchoesParsedObject()
{
    QFETCH(QString, text);
    QFETCH(QJsonObject, expected);
    QmlHandler handler(QmlHandler::ServerClient::None);
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    handler.receiveFromQml(MessageKey::settingsSubmit, text);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("updateServerContent"));
    QCOMPARE(spy.at(0).at(1).toJsonObject(), expected);
}

void TestQmlHandler::coreStoreIsReadableByItsOwnerOnly_data()
{
    QTest::addColumn<bool>("existing"); // a store an earlier version left readable by all
    QTest::addRow("a new store") << false;
    QTest::addRow("a store left open") << true;
}

// The store holds the UID key, the account's password and refresh token: 0600 from the start
// and after every write.
void TestQmlHandler::coreStoreIsReadableByItsOwnerOnly()
{
#ifndef Q_OS_UNIX
    QSKIP("the registry keeps the user's keys");
#else
    QFETCH(bool, existing);
    const QString file
            = QSettings(QStringLiteral("Tesmo"), QStringLiteral("Vexar_Anonymizer")).fileName();
    QFile::remove(file);
    const auto mode = [&file] {
        return QFile::permissions(file)
                & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther
                   | QFile::ReadOwner | QFile::WriteOwner);
    };
    const QFileDevice::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    if (existing) {
        QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
        QVERIFY(TestDicom::writeAll(file, "[General]\naccountName=demo\n"));
        QVERIFY(QFile::setPermissions(file, ownerOnly | QFile::ReadGroup | QFile::ReadOther));
    }
    QmlHandler handler(QmlHandler::ServerClient::None); // writes the new UID key at once
    QCOMPARE(mode(), ownerOnly);
    QVERIFY(TestDicom::readAll(file).contains("uidKey="));
    handler.receiveFromQml(MessageKey::standardCleanup, 1);
    QTRY_VERIFY(TestDicom::readAll(file).contains("standardCleanup=true"));
    QCOMPARE(mode(), ownerOnly);
    if (existing)
        QVERIFY(TestDicom::readAll(file).contains("accountName=demo"));
#endif
}

void TestQmlHandler::readReportAnswersWithItsText_data()
{
    QTest::addColumn<QString>("name"); // made in a temporary folder, holding "report body"
    QTest::addColumn<QString>("asked"); // the name asked for
    QTest::addColumn<QString>("text");
    QTest::addRow("a report") << "in_depersonification.report.txt"
                              << "in_depersonification.report.txt"
                              << "report body";
    QTest::addRow("a missing report") << ""
                                      << "gone.report.txt"
                                      << "Cannot read the report: ";
    QTest::addRow("not a report") << "notes.txt"
                                  << "notes.txt"
                                  << "Not a report: ";
}

// Where no program opens a report, the window asks for its text to show it itself; it is
// given only reports.
void TestQmlHandler::readReportAnswersWithItsText()
{
    QFETCH(QString, name);
    QFETCH(QString, asked);
    QFETCH(QString, text);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!name.isEmpty())
        QVERIFY(TestDicom::writeAll(dir.filePath(name), "report body"));
    QmlHandler handler(QmlHandler::ServerClient::None);
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    handler.receiveFromQml(MessageKey::readReport,
                           QUrl::fromLocalFile(dir.filePath(asked)).toString());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), MessageKey::reportText);
    const QJsonObject answer = spy.at(0).at(1).toJsonObject();
    QCOMPARE(answer.value("path").toString(), QDir::toNativeSeparators(dir.filePath(asked)));
    QVERIFY2(answer.value("text").toString().startsWith(text),
             qPrintable(answer.value("text").toString()));
}

void TestQmlHandler::aJobReachesTheWindowAsMessages_data()
{
    QTest::addColumn<QString>("value"); // "%1": the folder's "file:" URL
    QTest::addRow("one URL") << QStringLiteral("%1");
    QTest::addRow("CR LF lines, and pieces that name nothing")
            << QStringLiteral("%1\r\nfile:///\r\n\r\nnot a URL\r\n");
}

// The window's drop ("openFolder") starts a job; what the job controller reports comes back as
// the window's messages: the progress as a single-precision fraction with its counts, the
// outcome with its counts and reports. Each failed file is also named by readError().
void TestQmlHandler::aJobReachesTheWindowAsMessages()
{
    QFETCH(QString, value);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("in"));
    for (const char *name : { "a.txt", "b.txt" })
        QVERIFY(TestDicom::writeAll(folder + '/' + name, "not DICOM\n"));
    QmlHandler handler(QmlHandler::ServerClient::None);
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QSignalSpy errors(&handler, &QmlHandler::readError);
    handler.jobs().setWorkerCount(1); // one thread emits readError: the spy is safe
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^error read file "));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^error read file "));
    handler.receiveFromQml(MessageKey::openFolder,
                           value.arg(QUrl::fromLocalFile(folder).toString()));
    QTRY_VERIFY(!spy.isEmpty() && spy.last().at(0).toString() == MessageKey::jobOutcome);
    handler.jobs().waitForWorkers();
    QCOMPARE(errors.count(), 2);

    const QList<QVariant> progress = spy.at(spy.count() - 3);
    QCOMPARE(progress.at(0).toString(), MessageKey::updateProgress);
    QCOMPARE(progress.at(1).typeId(), int(QMetaType::Float));
    QCOMPARE(progress.at(1).toFloat(), 1.0f);
    const QList<QVariant> count = spy.at(spy.count() - 2);
    QCOMPARE(count.at(0).toString(), MessageKey::jobCount);
    QCOMPARE(count.at(1).toJsonObject(), (QJsonObject{ { "done", 2 }, { "total", 2 } }));
    const QJsonObject outcome = spy.last().at(1).toJsonObject();
    QCOMPARE(outcome.value("text").toString(),
             QStringLiteral("2 files: 0 written, 2 failed · in_depersonification"));
    QCOMPARE(outcome.value("files").toInt(), 2);
    QCOMPARE(outcome.value("failed").toInt(), 2);
    QCOMPARE(outcome.value("stopped").toBool(), false);
    QCOMPARE(outcome.value("reports").toArray(),
             QJsonArray{ QUrl::fromLocalFile(dir.filePath("in_depersonification.report.txt"))
                                 .toString() });
}

QTEST_GUILESS_MAIN(TestQmlHandler)
#include "tst_qmlhandler.moc"
