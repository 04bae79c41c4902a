// Renders the main window offscreen into a PNG, for the README and for a look without a
// display:
//   renderwindow OUT.png [--progress FRACTION] [--show folder|date|settings|update]
//                        [--open FOLDER] [--count DONE/TOTAL] [--report FILE]
// The window talks to the real bridge, built without the server client, so its tag rows come
// from the default tag profile. With --progress the bridge's progress message is replayed
// first, showing a running job. --show opens a dialog of the main window (folder, date) or
// renders a secondary window instead (settings, update). --open runs a real job on FOLDER, as
// a drop of it would, and renders the window once the job's outcome is shown.
#include "app/startup.h"
#include "bridge/messagekeys.h"
#include "bridge/qmlhandler.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral("Renders the main window into a PNG."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("output"), QStringLiteral("PNG file to write"));
    parser.addOptions({
            { QStringLiteral("progress"), QStringLiteral("Replay a progress message (0 to 1)."),
              QStringLiteral("fraction") },
            { QStringLiteral("show"), QStringLiteral("Open folder, date, settings or update."),
              QStringLiteral("part") },
            { QStringLiteral("open"), QStringLiteral("Anonymize a folder, as a drop would, first."),
              QStringLiteral("folder") },
            { QStringLiteral("count"),
              QStringLiteral("With --progress: the job's count, DONE/TOTAL."),
              QStringLiteral("count") },
            { QStringLiteral("report"),
              QStringLiteral("Render the in-program view of a report file."),
              QStringLiteral("file") },
    });
}

// The progress and the count, as a running job sends them.
void replayProgress(QmlHandler *handler, const QCommandLineParser &parser)
{
    if (parser.isSet(QStringLiteral("progress")))
        emit handler->sendToQml(MessageKey::updateProgress,
                                parser.value(QStringLiteral("progress")).toDouble());
    if (parser.isSet(QStringLiteral("count"))) {
        const QString count = parser.value(QStringLiteral("count"));
        emit handler->sendToQml(MessageKey::jobCount,
                                QJsonObject{ { QStringLiteral("done"), count.section('/', 0, 0).toInt() },
                                             { QStringLiteral("total"),
                                               count.section('/', 1, 1).toInt() } });
    }
}

// The window --show names, opened: the main window itself for its dialogs. Null when it is not
// there.
QQuickWindow *shownWindow(QQuickWindow *window, QmlHandler *handler, const QString &part)
{
    if (part.isEmpty())
        return window;
    if (part == QLatin1String("folder") || part == QLatin1String("date")) {
        QObject *dialog = window->findChild<QObject *>(part == QLatin1String("folder")
                                                               ? QStringLiteral("folderDialog")
                                                               : QStringLiteral("datePicker"));
        return dialog && QMetaObject::invokeMethod(dialog, "open") ? window : nullptr;
    }
    if (part != QLatin1String("settings") && part != QLatin1String("update"))
        return nullptr;
    QQuickWindow *target = window->findChild<QQuickWindow *>(
            part == QLatin1String("settings") ? QStringLiteral("settingsPanel")
                                              : QStringLiteral("updatePanel"));
    if (!target)
        return nullptr;
    if (part == QLatin1String("update")) {
        QMetaObject::invokeMethod(target, "activate", Q_ARG(QVariant, QStringLiteral("1.0.1")),
                                  Q_ARG(QVariant, QStringLiteral("1.2.0")),
                                  Q_ARG(QVariant, QStringLiteral("1.0.0")));
    } else {
        emit handler->sendToQml(MessageKey::updateStatusConnection,
                                QJsonObject{ { QStringLiteral("status"), QStringLiteral("ok") } });
        QMetaObject::invokeMethod(target, "activate", Q_ARG(QVariant, true));
    }
    return target;
}

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString();
}

} // namespace

int main(int argc, char *argv[])
{
    // Offscreen and software rendering work on any machine, with or without a GPU or a display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    Startup::setApplicationIdentity();
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    addOptions(parser);
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);
    const QString output = parser.positionalArguments().constFirst();

    auto engine = std::make_unique<QQmlApplicationEngine>();
    auto *handler = new QmlHandler(QmlHandler::ServerClient::None, engine.get());
    engine->rootContext()->setContextProperty(QStringLiteral("Handler"), handler);
    engine->load(QUrl(QStringLiteral("qrc:/qml/main.qml")));
    auto *window = engine->rootObjects().isEmpty()
            ? nullptr
            : qobject_cast<QQuickWindow *>(engine->rootObjects().constFirst());
    if (!window)
        return 1;
    replayProgress(handler, parser);
    QQuickWindow *target = shownWindow(window, handler, parser.value(QStringLiteral("show")));
    if (parser.isSet(QStringLiteral("report"))) {
        target = window->findChild<QQuickWindow *>(QStringLiteral("reportView"));
        handler->receiveFromQml(MessageKey::readReport,
                                fileUrl(parser.value(QStringLiteral("report"))));
    }
    if (!target)
        return 1;

    int code = 0;
    // Grabbed once the window has been laid out and its images loaded.
    const auto grab = [&] {
        const QImage image = target->grabWindow();
        if (image.isNull() || !image.save(output, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
            code = 1;
        }
        app.quit();
    };
    if (parser.isSet(QStringLiteral("open"))) {
        QObject::connect(handler, &QmlHandler::sendToQml, &app, [&](const QString &key) {
            if (key == MessageKey::jobOutcome)
                QTimer::singleShot(300, &app, grab);
        });
        handler->receiveFromQml(MessageKey::openFolder, fileUrl(parser.value(QStringLiteral("open"))));
    } else {
        QTimer::singleShot(300, &app, grab);
    }
    app.exec();
    engine.reset();
    return code;
}
