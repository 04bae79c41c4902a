// Qt Quick Test runner for the windows and controls (the tst_*.qml files beside this one).
// The QML resources are linked in with the core, so "qrc:/qml/Tools/" and "qrc:/qml/main.qml"
// resolve as in the program; a stand-in bridge is published as Handler.
#include "app/startup.h"

#include <QDir>
#include <QFile>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>
#include <QtQuickTest>

#include <utility>

// Stands in for the bridge: records each message a window sends as "key=value", and lets a
// test play the bridge's part by emitting sendToQml (from QML: Handler.sendToQml(key, value)).
class HandlerStub : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HandlerStub)

public:
    HandlerStub() = default;

    // The messages received since the last call, oldest first.
    Q_INVOKABLE QStringList take() { return std::exchange(m_messages, {}); }

signals:
    void sendToQml(QString key, QVariant value);

public slots:
    void receiveFromQml(const QString &key, const QVariant &value)
    {
        // A list (the chosen options) as its items joined by commas.
        const bool list = value.typeId() == QMetaType::QVariantList
                || value.typeId() == QMetaType::QStringList;
        m_messages.append(key + QLatin1Char('=')
                          + (list ? value.toStringList().join(QLatin1Char(',')) : value.toString()));
    }

private:
    QStringList m_messages;
};

// Sets up each engine with the stand-in bridge as Handler and itself as TestSupport: what the
// tests need beyond the bridge, the windows' settings store as it is on disk, a way to write or
// empty it, and folders for the folder dialog.
class Setup : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Setup)

public:
    Setup() = default;

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

    Q_INVOKABLE QString windowSettingsFileText() const
    {
        QFile file(QSettings().fileName());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    // A folder without subfolders, which lives as long as the test run.
    Q_INVOKABLE QUrl emptyFolderUrl() const { return QUrl::fromLocalFile(m_emptyFolder.path()); }
    // A folder holding Knee, which holds the subfolders series1 and series2.
    Q_INVOKABLE QUrl treeFolderUrl() const
    {
        for (const char *sub : { "Knee/series1", "Knee/series2" })
            QDir(m_treeFolder.path()).mkpath(QString::fromLatin1(sub));
        return QUrl::fromLocalFile(m_treeFolder.path());
    }
    Q_INVOKABLE QString homeUrl() const { return QUrl::fromLocalFile(QDir::homePath()).toString(); }

public slots:
    // The update notice's settings store is located by the application identity.
    void applicationAvailable() { Startup::setApplicationIdentity(); }

    void qmlEngineAvailable(QQmlEngine *engine)
    {
        engine->rootContext()->setContextProperty(QStringLiteral("Handler"), &m_handler);
        engine->rootContext()->setContextProperty(QStringLiteral("TestSupport"), this);
    }

private:
    HandlerStub m_handler;
    QTemporaryDir m_emptyFolder;
    QTemporaryDir m_treeFolder;
};

QUICK_TEST_MAIN_WITH_SETUP(qml, Setup)

#include "tst_qml.moc"
