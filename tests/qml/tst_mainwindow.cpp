// The product's main window, loaded from the resources as the program loads it, with a
// stand-in bridge. Any warning while it loads or handles the bridge's messages fails the test.
#include "app/startup.h"
#include "bridge/messagekeys.h"
#include "engine/tagprofile.h"
#include "handlerstub.h"

#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QTest>

#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void loadsWithoutWarnings();
    void handlesBridgeMessagesWithoutWarnings_data();
    void handlesBridgeMessagesWithoutWarnings();
    void folderDialogOpensWithoutWarnings();

private:
    QQuickWindow *load();

    std::unique_ptr<QQmlApplicationEngine> m_engine;
    HandlerStub *m_handler = nullptr;
};

void TestMainWindow::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    m_engine = std::make_unique<QQmlApplicationEngine>();
    m_handler = new HandlerStub(m_engine.get());
    m_engine->rootContext()->setContextProperty(QStringLiteral("Handler"), m_handler);
}

void TestMainWindow::cleanup()
{
    m_engine.reset();
    m_handler = nullptr;
}

QQuickWindow *TestMainWindow::load()
{
    m_engine->load(QUrl(QStringLiteral("qrc:qml/main.qml")));
    if (m_engine->rootObjects().size() != 1)
        return nullptr;
    auto *window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().constFirst());
    if (window && !QTest::qWaitForWindowExposed(window))
        return nullptr;
    return window;
}

void TestMainWindow::loadsWithoutWarnings()
{
    QQuickWindow *window = load();
    QVERIFY(window);
    QCOMPARE(window->title(), QStringLiteral("Vexar Anonymizer"));
    QCOMPARE(window->size(), QSize(500, 650));
    QCOMPARE(window->minimumSize(), QSize(500, 650));
    QCOMPARE(window->maximumSize(), QSize(500, 650));
    QVERIFY(window->isVisible());
    const QVariantList completed = m_handler->values(MessageKey::qmlCompleted);
    QCOMPARE(completed.size(), 1);
    QCOMPARE(completed.constFirst().toString(), QString());
    QCOMPARE(m_handler->messages().size(), 1);
}

void TestMainWindow::handlesBridgeMessagesWithoutWarnings_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");

    const QJsonObject shown = TagProfile::shownTags(TagProfile::load());
    QTest::addRow("default tag list") << MessageKey::loadTagsList << QVariant(shown);
    QJsonObject odd = shown;
    odd.remove(QStringLiteral("StudyID"));
    QTest::addRow("odd tag list") << MessageKey::loadTagsList << QVariant(odd);
    QTest::addRow("empty tag list") << MessageKey::loadTagsList << QVariant(QJsonObject());
    QTest::addRow("version") << MessageKey::setDeviceID
                             << QVariant(QJsonObject{ { "version", "1.0.1" } });
    QTest::addRow("progress") << MessageKey::updateProgress << QVariant(0.5);
    QTest::addRow("progress done") << MessageKey::updateProgress << QVariant(1.0);
    QTest::addRow("status") << MessageKey::updateStatusConnection
                            << QVariant(QJsonObject{ { "status", "ok" }, { "message", "" } });
    QTest::addRow("profile") << MessageKey::updateServerContent
                             << QVariant(QJsonObject{ { "name", "Ann;;Lee" },
                                                      { "email", "ann@example.org" },
                                                      { "organization", "Clinic" } });
    QTest::addRow("empty profile") << MessageKey::updateServerContent << QVariant(QJsonObject());
    QTest::addRow("version check, incomplete")
            << MessageKey::checkVersion << QVariant(QJsonObject{ { "local_version", "1.0.1" } });
    QTest::addRow("version check, nothing new")
            << MessageKey::checkVersion
            << QVariant(QJsonObject{ { "local_version", "1.0.1" },
                                     { "last_version", "1.0.1" },
                                     { "supported_version", "1.0.0" } });
    QTest::addRow("version missing") << MessageKey::setDeviceID << QVariant(QJsonObject());
    QTest::addRow("tag entries that are not objects")
            << MessageKey::loadTagsList
            << QVariant(QJsonObject{ { "A", QJsonValue() }, { "B", 5 }, { "C", "text" } });
    QTest::addRow("status missing")
            << MessageKey::updateStatusConnection << QVariant(QJsonObject());
    QTest::addRow("unknown key") << QStringLiteral("noSuchKey") << QVariant(QStringLiteral("x"));
}

void TestMainWindow::handlesBridgeMessagesWithoutWarnings()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QQuickWindow *window = load();
    QVERIFY(window);
    // The answer the real bridge gives to "qmlCompleted" first, then the message under test.
    emit m_handler->sendToQml(MessageKey::loadTagsList, TagProfile::shownTags(TagProfile::load()));
    emit m_handler->sendToQml(key, value);
    QTest::qWait(50);
    QVERIFY(window->isVisible());
}

// Where the platform has no native folder chooser, the one drawn by Qt Quick stands in; it
// needs QML modules of its own, and a missing one only shows when the dialog opens.
void TestMainWindow::folderDialogOpensWithoutWarnings()
{
    QQuickWindow *window = load();
    QVERIFY(window);
    QObject *dialog = window->findChild<QObject *>(QStringLiteral("folderDialog"));
    QVERIFY(dialog);
    QVERIFY(QMetaObject::invokeMethod(dialog, "open"));
    QTRY_VERIFY(dialog->property("visible").toBool());
    QVERIFY(QMetaObject::invokeMethod(dialog, "reject"));
    QTRY_VERIFY(!dialog->property("visible").toBool());
    QVERIFY(m_handler->values(MessageKey::openFolder).isEmpty());
}

int main(int argc, char *argv[])
{
    Startup::setApplicationIdentity();
    QGuiApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
