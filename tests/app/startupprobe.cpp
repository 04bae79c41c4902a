#include "app/startup.h"

#include <QString>

// startupprobe [URL]: the GUI program's start-up, without the server client, with another main
// window file (the product's own when none is named).
int main(int argc, char *argv[])
{
    const QString url
            = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("qrc:qml/main.qml");
    int qtArgc = 1;
    return Startup::runGui(qtArgc, argv, url, QmlHandler::ServerClient::None);
}
