#include "bridge/messagekeys.h"
#include "bridge/qmlhandler.h"
#include "engine/tagprofile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

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
    void defaultProfile();
    void duplicateElementsAndNumbering();
    void edits_data();
    void edits();
    void editsApplyToLaterSnapshotsOnly();
    void snapshotsNeverOverlapEdits();
    void settingsSubmitEchoesParsedObject_data();
    void settingsSubmitEchoesParsedObject();
};

void TestQmlHandler::init()
{
    // Each test starts from a store without the switch, as a new installation does.
    QSettings(QStringLiteral("Tesmo"), QStringLiteral("Vexar_Anonymizer")).remove("standardCleanup");
}

void TestQmlHandler::unknownOrMiscasedKeysDoNothing_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addRow("OpenFolder") << "OpenFolder"
                                << "file:///tmp";
    QTest::addRow("qmlcompleted") << "qmlcompleted"
                                  << "";
    QTest::addRow("QMLCOMPLETED") << "QMLCOMPLETED"
                                  << "";
    QTest::addRow("changegui") << "changegui"
                               << "PatientsName:0";
    QTest::addRow("ChangeTagText") << "ChangeTagText"
                                   << "PatientsName:x";
    QTest::addRow("Settings:submit") << "Settings:submit"
                                     << R"({"email":"a@b"})";
    QTest::addRow("unknown key") << "loadTagsList"
                                 << "";
    QTest::addRow("empty key") << ""
                               << "";
}

void TestQmlHandler::unknownOrMiscasedKeysDoNothing()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QmlHandler handler(QmlHandler::ServerClient::None);
    const QJsonObject before = handler.tagProfileSnapshot();
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    handler.receiveFromQml(key, value);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(handler.tagProfileSnapshot(), before);
}

void TestQmlHandler::qmlCompletedAnswersEachTimeInOrder()
{
    QmlHandler handler(QmlHandler::ServerClient::None);
    QSignalSpy spy(&handler, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    handler.receiveFromQml(MessageKey::qmlCompleted, QString());
    handler.receiveFromQml(MessageKey::qmlCompleted, QString());
    QCOMPARE(spy.count(), 6);
    for (int i = 0; i < 6; i += 3) {
        QCOMPARE(spy.at(i).at(0).toString(), QStringLiteral("setDeviceID"));
        QCOMPARE(spy.at(i).at(1).toJsonObject(), QJsonObject({ { "version", "1.0.1" } }));
        QCOMPARE(spy.at(i + 1).at(0).toString(), QStringLiteral("loadTagsList"));
        QCOMPARE(spy.at(i + 2).at(0).toString(), QStringLiteral("standardCleanup"));
        QCOMPARE(spy.at(i + 2).at(1), QVariant(false));
    }

    const QJsonObject shown = spy.at(1).at(1).toJsonObject();
    const QStringList expected{ "BirthDate",      "PatientsID", "PatientsName",     "PatientsSex",
                                "PatientsWeight", "StudyDate",  "StudyDescription", "StudyID" };
    QCOMPARE(shown.keys(), expected);
    for (const QString &name : expected) {
        const QJsonObject entry = shown.value(name).toObject();
        QCOMPARE(entry.value("enabled"), QJsonValue(true));
        QCOMPARE(entry.value("visible"), QJsonValue(true));
        QCOMPARE(entry.size(), 6); // the whole entry travels, not just the flags
    }
    QCOMPARE(shown.value("BirthDate").toObject().value("mode"), QJsonValue("date"));
    QCOMPARE(shown.value("BirthDate").toObject().value("replace"), QJsonValue("19700101"));
    QCOMPARE(shown.value("PatientsName").toObject().value("mode"), QJsonValue("string"));
}

void TestQmlHandler::standardCleanupIsKeptInTheStore()
{
    {
        QmlHandler handler(QmlHandler::ServerClient::None);
        QCOMPARE(handler.jobSettings().standard, false);
        handler.receiveFromQml(MessageKey::standardCleanup, 1);
        QCOMPARE(handler.jobSettings().standard, true);
    }
    // The next start answers with the stored state; the headless setter changes only the
    // running bridge.
    {
        QmlHandler handler(QmlHandler::ServerClient::None);
        QSignalSpy spy(&handler, &QmlHandler::sendToQml);
        QVERIFY(spy.isValid());
        handler.receiveFromQml(MessageKey::qmlCompleted, QString());
        QCOMPARE(spy.last().at(0).toString(), MessageKey::standardCleanup);
        QCOMPARE(spy.last().at(1), QVariant(true));
        handler.setStandardCleanup(false);
        QCOMPARE(handler.jobSettings().standard, false);
    }
    QmlHandler handler(QmlHandler::ServerClient::None);
    QCOMPARE(handler.jobSettings().standard, true);
    handler.receiveFromQml(MessageKey::standardCleanup, 0);
    QCOMPARE(QmlHandler(QmlHandler::ServerClient::None).jobSettings().standard, false);
}

void TestQmlHandler::defaultProfile()
{
    const QJsonObject profile = TagProfile::load();
    QCOMPARE(profile.size(), 72);
    QStringList dates;
    int shown = 0;
    for (auto it = profile.begin(); it != profile.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        QCOMPARE(entry.keys(),
                 QStringList({ "enabled", "mode", "replace", "tagD", "tagU", "visible" }));
        QCOMPARE(entry.value("enabled"), QJsonValue(true));
        if (entry.value("mode").toString() == QLatin1String("date"))
            dates << it.key();
        shown += entry.value("visible").toBool() ? 1 : 0;
        const bool dateDefault
                = it.key() == QLatin1String("BirthDate") || it.key() == QLatin1String("StudyDate");
        QCOMPARE(entry.value("replace").toString(),
                 dateDefault ? QStringLiteral("19700101") : QStringLiteral("----"));
    }
    QCOMPARE(shown, 8);
    QCOMPARE(dates,
             QStringList(
                     { "AcquisitionDate", "BirthDate", "ContentDate", "SeriesDate", "StudyDate" }));

    // The file keeps its documented layout: CRLF line ends, four-space indentation.
    QFile file(QStringLiteral(":/tags.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.startsWith("{\r\n    \"AcquisitionDate\": {\r\n        \"enabled\": true,\r\n"));
    QCOMPARE(text.count('\n'), text.count("\r\n"));
}

void TestQmlHandler::duplicateElementsAndNumbering()
{
    const QJsonObject profile = TagProfile::load();
    auto tagOf = [&](const char *name) {
        const QJsonObject entry = profile.value(QLatin1String(name)).toObject();
        return qMakePair(TagProfile::tagNumber(entry.value("tagU")),
                         TagProfile::tagNumber(entry.value("tagD")));
    };
    QCOMPARE(tagOf("StudyDate"), qMakePair(quint16(0x0008), quint16(0x0020)));
    QCOMPARE(tagOf("NoName_40"), tagOf("StudyDate"));
    QCOMPARE(tagOf("NoName_29"), tagOf("PerformedProcedureStepDescription"));
    QCOMPARE(tagOf("NoName_45"), tagOf("SourceApplicationEntityTitle"));
    QCOMPARE(tagOf("NoName_12"), qMakePair(quint16(0x0019), quint16(0x109d)));
    // Key order decides which of two entries for one element wins: the later key.
    const QStringList keys = profile.keys();
    QVERIFY(keys.indexOf("NoName_40") < keys.indexOf("StudyDate"));
    QVERIFY(keys.indexOf("NoName_10") < keys.indexOf("NoName_2"));
    QVERIFY(!profile.contains("NoName_41"));
    QVERIFY(profile.contains("NoName_46"));
}

void TestQmlHandler::edits_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QJsonValue>("expected");

    const QString gui = MessageKey::changeGUI;
    const QString text = MessageKey::changeTagText;
    QTest::addRow("switch off") << gui << "PatientsName:0"
                                << "PatientsName"
                                << "enabled" << QJsonValue(false);
    QTest::addRow("non-numeric flag reads as off") << gui << "PatientsName:yes"
                                                   << "PatientsName"
                                                   << "enabled" << QJsonValue(false);
    QTest::addRow("any non-zero number is on") << gui << "PatientsName:7"
                                               << "PatientsName"
                                               << "enabled" << QJsonValue(true);
    QTest::addRow("text with colons keeps the rest") << text << "PatientsName:Doe:John"
                                                     << "PatientsName"
                                                     << "user_replace" << QJsonValue("Doe:John");
    QTest::addRow("empty text is stored empty") << text << "PatientsName:"
                                                << "PatientsName"
                                                << "user_replace" << QJsonValue("");
    QTest::addRow("non-ASCII text") << text << "PatientsName:Müller"
                                    << "PatientsName"
                                    << "user_replace" << QJsonValue("Müller");
    QTest::addRow("date as eight digits") << text << "BirthDate:20210305"
                                          << "BirthDate"
                                          << "user_replace" << QJsonValue("20210305");
    QTest::addRow("value without a colon is ignored") << text << "PatientsName"
                                                      << "PatientsName"
                                                      << "user_replace" << QJsonValue();
    QTest::addRow("flag without a colon is ignored") << gui << "PatientsName"
                                                     << "PatientsName"
                                                     << "enabled" << QJsonValue(true);
    QTest::addRow("unknown name makes a new entry") << text << "Nobody:x"
                                                    << "Nobody"
                                                    << "user_replace" << QJsonValue("x");
}

void TestQmlHandler::edits()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, entry);
    QFETCH(QString, field);
    QFETCH(QJsonValue, expected);

    QmlHandler handler(QmlHandler::ServerClient::None);
    const QJsonObject before = handler.tagProfileSnapshot();
    handler.receiveFromQml(key, value);
    const QJsonObject after = handler.tagProfileSnapshot();
    const QJsonObject edited = after.value(entry).toObject();
    QCOMPARE(edited.value(field).isUndefined() ? QJsonValue() : edited.value(field), expected);

    // Nothing but the edited entry changes, and an entry it creates holds only that field.
    QJsonObject rest = after;
    rest.remove(entry);
    QJsonObject restBefore = before;
    restBefore.remove(entry);
    QCOMPARE(rest, restBefore);
    if (!before.contains(entry) && after.contains(entry)) {
        QCOMPARE(edited.size(), 1);
        QVERIFY(!TagProfile::shownTags(after).contains(entry));
    }
}

void TestQmlHandler::editsApplyToLaterSnapshotsOnly()
{
    QmlHandler handler(QmlHandler::ServerClient::None);
    const QJsonObject first = handler.tagProfileSnapshot();
    handler.receiveFromQml(MessageKey::changeTagText, QStringLiteral("PatientsName:Doe"));
    handler.receiveFromQml(MessageKey::changeGUI, QStringLiteral("StudyDate:0"));
    QCOMPARE(TagProfile::replacementText(first.value("PatientsName").toObject()),
             QStringLiteral("----"));
    const QJsonObject second = handler.tagProfileSnapshot();
    QCOMPARE(TagProfile::replacementText(second.value("PatientsName").toObject()),
             QStringLiteral("Doe"));
    QCOMPARE(second.value("StudyDate").toObject().value("enabled"), QJsonValue(false));

    // An emptied text falls back to the default replacement.
    handler.receiveFromQml(MessageKey::changeTagText, QStringLiteral("PatientsName:"));
    QCOMPARE(TagProfile::replacementText(
                     handler.tagProfileSnapshot().value("PatientsName").toObject()),
             QStringLiteral("----"));
}

// Workers copy the profile while the user edits it; with the job mutex around both, every
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
            const QJsonObject copy = handler.tagProfileSnapshot();
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

QTEST_GUILESS_MAIN(TestQmlHandler)
#include "tst_qmlhandler.moc"
