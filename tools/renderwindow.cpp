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

int main(int argc, char *argv[])
{
    // Offscreen and software rendering work on any machine, with or without a GPU or a display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    Startup::setApplicationIdentity();
    QGuiApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Renders the main window into a PNG."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("output"), QStringLiteral("PNG file to write"));
    const QCommandLineOption progress(QStringLiteral("progress"),
                                      QStringLiteral("Replay a progress message (0 to 1)."),
                                      QStringLiteral("fraction"));
    parser.addOption(progress);
    const QCommandLineOption show(QStringLiteral("show"),
                                  QStringLiteral("Open folder, date, settings or update."),
                                  QStringLiteral("part"));
    parser.addOption(show);
    const QCommandLineOption open(QStringLiteral("open"),
                                  QStringLiteral("Anonymize a folder, as a drop would, first."),
                                  QStringLiteral("folder"));
    parser.addOption(open);
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("With --progress: the job's count, DONE/TOTAL."),
                                   QStringLiteral("count"));
    parser.addOption(count);
    const QCommandLineOption report(QStringLiteral("report"),
                                    QStringLiteral("Render the in-program view of a report file."),
                                    QStringLiteral("file"));
    parser.addOption(report);
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);
    const QString output = parser.positionalArguments().constFirst();

    auto engine = std::make_unique<QQmlApplicationEngine>();
    auto *handler = new QmlHandler(QmlHandler::ServerClient::None, engine.get());
    engine->rootContext()->setContextProperty(QStringLiteral("Handler"), handler);
    engine->load(QUrl(QStringLiteral("qrc:/qml/main.qml")));
    if (engine->rootObjects().isEmpty())
        return 1;
    auto *window = qobject_cast<QQuickWindow *>(engine->rootObjects().constFirst());
    if (!window)
        return 1;
    if (parser.isSet(progress))
        emit handler->sendToQml(MessageKey::updateProgress, parser.value(progress).toDouble());
    if (parser.isSet(count))
        emit handler->sendToQml(MessageKey::jobCount,
                                QJsonObject{ { QStringLiteral("done"),
                                               parser.value(count).section('/', 0, 0).toInt() },
                                             { QStringLiteral("total"),
                                               parser.value(count).section('/', 1, 1).toInt() } });

    QQuickWindow *target = window;
    const QString part = parser.value(show);
    if (part == QLatin1String("folder") || part == QLatin1String("date")) {
        QObject *dialog = window->findChild<QObject *>(part == QLatin1String("folder")
                                                               ? QStringLiteral("folderDialog")
                                                               : QStringLiteral("datePicker"));
        if (!dialog || !QMetaObject::invokeMethod(dialog, "open"))
            return 1;
    } else if (part == QLatin1String("settings") || part == QLatin1String("update")) {
        target = window->findChild<QQuickWindow *>(part == QLatin1String("settings")
                                                           ? QStringLiteral("settingsPanel")
                                                           : QStringLiteral("updatePanel"));
        if (!target)
            return 1;
        if (part == QLatin1String("update")) {
            QMetaObject::invokeMethod(target, "activate", Q_ARG(QVariant, QStringLiteral("1.0.1")),
                                      Q_ARG(QVariant, QStringLiteral("1.2.0")),
                                      Q_ARG(QVariant, QStringLiteral("1.0.0")));
        } else {
            emit handler->sendToQml(
                    MessageKey::updateStatusConnection,
                    QJsonObject{ { QStringLiteral("status"), QStringLiteral("ok") } });
            QMetaObject::invokeMethod(target, "activate", Q_ARG(QVariant, true));
        }
    } else if (!part.isEmpty()) {
        parser.showHelp(2);
    }
    if (parser.isSet(report)) {
        target = window->findChild<QQuickWindow *>(QStringLiteral("reportView"));
        if (!target)
            return 1;
        handler->receiveFromQml(
                MessageKey::readReport,
                QUrl::fromLocalFile(QFileInfo(parser.value(report)).absoluteFilePath()).toString());
    }

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
    if (parser.isSet(open)) {
        QObject::connect(handler, &QmlHandler::sendToQml, &app, [&](const QString &key) {
            if (key == MessageKey::jobOutcome)
                QTimer::singleShot(300, &app, grab);
        });
        handler->receiveFromQml(
                MessageKey::openFolder,
                QUrl::fromLocalFile(QFileInfo(parser.value(open)).absoluteFilePath()).toString());
    } else {
        QTimer::singleShot(300, &app, grab);
    }
    app.exec();
    engine.reset();
    return code;
}
