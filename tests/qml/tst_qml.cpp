// Qt Quick Test runner for the windows and controls (the tst_*.qml files beside this one).
// The QML resources are linked in with the core, so "qrc:/qml/Tools/" and
// "qrc:/qml/main.qml" resolve as in the program; a stand-in bridge is published as Handler.
#include "app/startup.h"
#include "handlerstub.h"

#include <QDir>
#include <QFile>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>
#include <QtQuickTest>

// What the tests need beyond the bridge: a look at the windows' settings store as it is on
// disk, and a way to empty it.
class TestSupport : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TestSupport)

public:
    TestSupport() = default;

    Q_INVOKABLE void clearWindowSettings()
    {
        QSettings settings;
        settings.clear();
        settings.sync();
    }

    Q_INVOKABLE void setWindowSetting(const QString &key, const QVariant &value)
    {
        QSettings settings;
        settings.setValue(key, value);
        settings.sync();
    }

    // A folder without subfolders, for the folder dialog; lives as long as the test run.
    Q_INVOKABLE QUrl emptyFolderUrl() { return QUrl::fromLocalFile(m_emptyFolder.path()); }

    Q_INVOKABLE QString homeUrl() const { return QUrl::fromLocalFile(QDir::homePath()).toString(); }

    Q_INVOKABLE QString windowSettingsFileText() const
    {
        QFile file(QSettings().fileName());
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }

private:
    QTemporaryDir m_emptyFolder;
};

class Setup : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Setup)

public:
    Setup() = default;

public slots:
    // The update notice's settings store is located by the application identity.
    void applicationAvailable() { Startup::setApplicationIdentity(); }

    void qmlEngineAvailable(QQmlEngine *engine)
    {
        engine->rootContext()->setContextProperty(QStringLiteral("Handler"), &m_handler);
        engine->rootContext()->setContextProperty(QStringLiteral("TestSupport"), &m_support);
    }

private:
    HandlerStub m_handler;
    TestSupport m_support;
};

QUICK_TEST_MAIN_WITH_SETUP(qml, Setup)

#include "tst_qml.moc"
