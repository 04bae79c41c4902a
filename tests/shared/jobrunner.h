#pragma once

// Runs a job as the window starts one (an "openFolder" message to the bridge) or as a script
// runs the headless command, and waits, bounded, for its end.

#include "bridge/messagekeys.h"
#include "bridge/qmlhandler.h"

#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTest>
#include <QUrl>

namespace TestJob {

struct Result
{
    QStringList errors; // what readError named: inputs not read, copies not written; sorted
    float lastProgress = -1; // the last "updateProgress" value
    QJsonObject outcome; // the "jobOutcome" object
};

// `folders` are local paths. The handler may run another job after this one.
inline Result run(QmlHandler &handler, const QStringList &folders)
{
    Result job;
    // Not a QSignalSpy: workers emit readError from several threads at once, and the spy
    // appends without a lock. Queued to this thread, every failure is in before the progress
    // that counts it.
    QObject context;
    QObject::connect(
            &handler, &QmlHandler::readError, &context,
            [&job](const QString &failed) { job.errors.append(failed); }, Qt::QueuedConnection);
    QObject::connect(&handler, &QmlHandler::sendToQml, &context,
                     [&job](const QString &key, const QVariant &value) {
                         if (key == MessageKey::updateProgress)
                             job.lastProgress = value.toFloat();
                         else if (key == MessageKey::jobOutcome)
                             job.outcome = value.toJsonObject();
                     });
    QStringList urls;
    for (const QString &folder : folders)
        urls.append(QUrl::fromLocalFile(folder).toString());
    handler.receiveFromQml(MessageKey::openFolder, urls.join(QLatin1Char('\n')));
    if (!QTest::qWaitFor([&] { return handler.done() >= handler.total(); }, 60000))
        qWarning("job did not finish");
    handler.waitForWorkers();
    job.errors.sort();
    return job;
}

struct CliResult
{
    int code = -1; // -1: it did not end normally within a minute
    QString out;
    QString err;
};

// The headless command with `arguments`, run in `folder`; `configHome`, when given, is its
// settings store: another installation. `wrapper`, when given, is a command that runs it.
inline CliResult runCli(const QStringList &arguments, const QString &folder,
                        const QString &configHome = QString(), QStringList wrapper = {})
{
    QProcess process;
    process.setWorkingDirectory(folder);
    if (!configHome.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
        process.setProcessEnvironment(environment);
    }
    wrapper << QStringLiteral(TEST_BIN_DIR "/vexar-anonymizer-cli") << arguments;
    process.start(wrapper.takeFirst(), wrapper);
    CliResult result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.code = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

} // namespace TestJob
