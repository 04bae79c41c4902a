#pragma once

#include "bridge/qmlhandler.h"

#include <QString>

namespace Startup {

// Sets the application identity (organisation, domain, application name, version) before any
// application object exists.
void setApplicationIdentity();

// --help and --version (-h, -v): answers on standard output and returns 0, before any window,
// display or connection exists. Returns -1, doing nothing, when neither is asked for.
int answerInformationOptions(int &argc, char **argv);

// The GUI program: identity, GUI application object, QML engine, the bridge published as
// `Handler`, the window loaded from mainUrl, the event loop. Returns the loop's exit code, or
// -1 when the main window cannot be created. --help and --version are answered first. Tests start
// it without the server client so that they never reach beyond this machine.
int runGui(int &argc, char **argv, const QString &mainUrl = QStringLiteral("qrc:qml/main.qml"),
           QmlHandler::ServerClient serverClient = QmlHandler::ServerClient::Create);

} // namespace Startup
