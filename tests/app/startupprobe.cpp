#include "app/startup.h"

#include <QGuiApplication>
#include <QTimer>
#include <QWindow>

#include <cstdio>

// startupprobe [URL]: the GUI program's start-up, without the server client, with another main
// window file. With none named it loads the product's own, prints "shown" once that window is
// visible and ends with 0, so that a test need not wait for a while to see it keeps running.
namespace {
bool quitOnceShown = false;

void watchForTheWindow()
{
    if (!quitOnceShown)
        return;
    auto *timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, [] {
        for (const QWindow *window : QGuiApplication::topLevelWindows()) {
            if (window->isVisible()) {
                std::puts("shown");
                QCoreApplication::exit(0);
            }
        }
    });
    timer->start(10);
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(watchForTheWindow)

int main(int argc, char *argv[])
{
    quitOnceShown = argc < 2;
    const QString url
            = quitOnceShown ? QStringLiteral("qrc:qml/main.qml") : QString::fromLocal8Bit(argv[1]);
    int qtArgc = 1;
    return Startup::runGui(qtArgc, argv, url, QmlHandler::ServerClient::None);
}
