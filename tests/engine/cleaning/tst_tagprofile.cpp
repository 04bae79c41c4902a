#include "engine/cleaning/tagprofile.h"

#include <QTest>

// The edits the window sends ("changeGUI", "changeTagText") as the profile takes them, and the
// text a worker then writes.
class TestTagProfile : public QObject
{
    Q_OBJECT

private slots:
    void edits_data();
    void edits();
};

void TestTagProfile::edits_data()
{
    QTest::addColumn<bool>("text"); // "changeTagText", else "changeGUI"
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QJsonValue>("expected"); // undefined: the edit is refused
    QTest::addColumn<QString>("written"); // the entry's text afterwards

    QTest::addRow("switch off") << false << "PatientsName:0"
                                << "PatientsName"
                                << "enabled" << QJsonValue(false) << "----";
    QTest::addRow("non-numeric flag reads as off") << false << "PatientsName:yes"
                                                   << "PatientsName"
                                                   << "enabled" << QJsonValue(false) << "----";
    QTest::addRow("any non-zero number is on") << false << "PatientsName:7"
                                               << "PatientsName"
                                               << "enabled" << QJsonValue(true) << "----";
    QTest::addRow("flag without a colon is ignored")
            << false << "PatientsName"
            << "PatientsName"
            << "enabled" << QJsonValue(QJsonValue::Undefined) << "----";
    QTest::addRow("text with colons keeps the rest")
            << true << "PatientsName:Doe:John"
            << "PatientsName"
            << "user_replace" << QJsonValue("Doe:John") << "Doe:John";
    QTest::addRow("emptied text falls back") << true << "PatientsName:"
                                             << "PatientsName"
                                             << "user_replace" << QJsonValue("") << "----";
    QTest::addRow("date as eight digits") << true << "BirthDate:20210305"
                                          << "BirthDate"
                                          << "user_replace" << QJsonValue("20210305") << "20210305";
    QTest::addRow("text without a colon is ignored")
            << true << "PatientsName"
            << "PatientsName"
            << "user_replace" << QJsonValue(QJsonValue::Undefined) << "----";
    QTest::addRow("unknown name makes a hidden entry") << true << "Nobody:x"
                                                       << "Nobody"
                                                       << "user_replace" << QJsonValue("x") << "x";
}

void TestTagProfile::edits()
{
    QFETCH(bool, text);
    QFETCH(QString, value);
    QFETCH(QString, entry);
    QFETCH(QString, field);
    QFETCH(QJsonValue, expected);
    QFETCH(QString, written);

    const QJsonObject before = TagProfile::load();
    QJsonObject after = before;
    const bool taken
            = text ? TagProfile::setUserText(after, value) : TagProfile::setEnabled(after, value);
    QCOMPARE(taken, !expected.isUndefined());
    const QJsonObject edited = after.value(entry).toObject();
    if (taken)
        QCOMPARE(edited.value(field), expected);
    else
        QCOMPARE(after, before);
    QCOMPARE(TagProfile::replacementText(edited), written);

    // Nothing but the edited entry changes, and an entry it creates holds only that field.
    QJsonObject rest = after;
    rest.remove(entry);
    QJsonObject restBefore = before;
    restBefore.remove(entry);
    QCOMPARE(rest, restBefore);
    if (!before.contains(entry)) {
        QCOMPARE(edited.size(), 1);
        QVERIFY(!TagProfile::shownTags(after).contains(entry));
    }
}

QTEST_GUILESS_MAIN(TestTagProfile)
#include "tst_tagprofile.moc"
