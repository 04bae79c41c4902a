#include "app/startup.h"

#include "appinfo.h"
#include "bridge/qmlhandler.h"
#include "engine/files/allocator.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QTextStream>
#include <QUrl>

#include <memory>

namespace Startup {

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(AppInfo::organisationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(AppInfo::organisationDomain));
    QCoreApplication::setApplicationName(QString::fromLatin1(AppInfo::applicationName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(AppInfo::applicationVersion));
}

int answerInformationOptions(int &argc, char **argv)
{
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        help = help || argument == "-h" || argument == "--help" || argument == "-?"
                || argument == "--help-all";
        version = version || argument == "-v" || argument == "--version";
    }
    if (!help && !version)
        return -1;
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (version) {
        out << QCoreApplication::applicationName() << ' ' << QCoreApplication::applicationVersion()
            << '\n';
        return 0;
    }
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Drop folders of DICOM files on its window: it writes cleaned copies into the sibling\n"
            "folder <folder>_depersonification. Without a window: vexar-anonymizer-cli."));
    parser.addHelpOption();
    parser.addVersionOption();
    out << parser.helpText();
    return 0;
}

int runGui(int &argc, char **argv, const QString &mainUrl, QmlHandler::ServerClient serverClient)
{
    Allocator::keepBuffersBetweenFiles();
    setApplicationIdentity();
    if (const int code = answerInformationOptions(argc, argv); code >= 0)
        return code;
    QGuiApplication app(argc, argv);

    // The engine goes before the application object; with it go its child, the bridge, and
    // the windows.
    auto engine = std::make_unique<QQmlApplicationEngine>();
    auto *handler = new QmlHandler(serverClient, engine.get());
    // Set before loading: the window binds to Handler while it is being created.
    engine->rootContext()->setContextProperty(QStringLiteral("Handler"), handler);

    const QUrl url(mainUrl, QUrl::TolerantMode);
    QObject::connect(
            engine.get(), &QQmlApplicationEngine::objectCreated, &app,
            [url](QObject *object, const QUrl &objectUrl) {
                if (!object && url == objectUrl)
                    QCoreApplication::exit(-1);
            },
            Qt::QueuedConnection);
    engine->load(url);

    const int code = app.exec();
    engine.reset();
    return code;
}

} // namespace Startup
