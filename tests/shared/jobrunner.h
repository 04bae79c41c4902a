#pragma once

// Runs a job on a job controller, as the window's bridge or the headless command starts one, or
// runs the headless command as a script does, and waits, bounded, for its end.

#include "bridge/jobcontroller.h"

#include <QProcess>
#include <QStringList>
#include <QTest>

namespace TestJob {

struct Result
{
    QStringList errors; // what readError named: inputs not read, copies not written; sorted
    float lastProgress = -1; // the last progress reported, as a fraction
    bool finished = false; // the job's end was reported
    bool stopped = false;
    QString text; // the job's summary
    QStringList reports; // the reports written, one per output folder that has one
};

// `folders` are local paths. The controller may run another job after this one.
inline Result run(JobController &jobs, const QStringList &folders)
{
    Result job;
    // Not a QSignalSpy: workers emit readError from several threads at once, and the spy
    // appends without a lock. Queued to this thread, every failure is in before the progress
    // that counts it.
    QObject context;
    QObject::connect(
            &jobs, &JobController::readError, &context,
            [&job](const QString &failed) { job.errors.append(failed); }, Qt::QueuedConnection);
    QObject::connect(&jobs, &JobController::progressed, &context, [&job](int done, int total) {
        job.lastProgress = float(done) / float(total);
    });
    QObject::connect(&jobs, &JobController::finished, &context, [&](bool stopped) {
        job.finished = true;
        job.stopped = stopped;
        job.text = jobs.summaryText(stopped);
        for (const JobReport::Folder &folder : jobs.job().folders()) {
            if (!folder.report.isEmpty())
                job.reports.append(folder.report);
        }
    });
    jobs.start(folders);
    if (!QTest::qWaitFor([&] { return job.finished; }, 60000))
        qWarning("job did not finish");
    jobs.waitForWorkers();
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
