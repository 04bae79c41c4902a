// Qt Quick Test runner for the windows and controls (the tst_*.qml files beside this one).
// The QML resources are linked in with the core, so "qrc:/qml/Tools/" and
// "qrc:/qml/main.qml" resolve as in the program; a stand-in bridge is published as Handler.
#include "app/startup.h"
#include "handlerstub.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QtQuickTest>

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
    }

private:
    HandlerStub m_handler;
};

QUICK_TEST_MAIN_WITH_SETUP(qml, Setup)

#include "tst_qml.moc"
