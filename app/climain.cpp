// vexar-anonymizer-cli FOLDER...: anonymizes folders from a terminal or a script, running the
// same bridge and messages as the window. Exit status: 0 every file done, 1 some file failed,
// 2 usage error, 130 stopped by Ctrl-C.
#include "app/cliarguments.h"
#include "app/clioutput.h"
#include "appinfo.h"
#include "bridge/headlessrun.h"
#include "engine/files/allocator.h"
#include "engine/cleaning/linkfile.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

std::atomic<bool> interrupted{ false };

void onInterrupt(int)
{
    interrupted.store(true);
}

// Ctrl-C (or a polite kill) stops between files, so no temporary file is left behind; a
// second one ends the program at once. A parent may have left them blocked.
void stopOnSignals(HeadlessRun &run, QTimer &check)
{
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
#ifndef Q_OS_WIN
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
#endif
    QObject::connect(&check, &QTimer::timeout, [&run, &check] {
        if (!interrupted.load())
            return;
        check.stop();
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        run.stop();
    });
    check.start(100);
}

} // namespace

int main(int argc, char *argv[])
{
    Allocator::keepBuffersBetweenFiles();
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QString::fromLatin1(AppInfo::organisationName));
    QCoreApplication::setApplicationName(QStringLiteral("vexar-anonymizer-cli"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(AppInfo::applicationVersion));

    CliArguments::Request request;
    {
        QTextStream out(stdout);
        QTextStream err(stderr);
        const int done = CliArguments::parse(QCoreApplication::arguments(), request, out, err);
        if (done >= 0)
            return done;
    }

    // Every failed file is named below; the bridge's own debug lines would only repeat them.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    HeadlessRun run(request.jobs);
    // The command does what its options say, whatever the window's switches were left at.
    run.setOptions(request.options);
    if (!request.uidKey.isEmpty())
        run.setUidKey(request.uidKey);
    run.setShard(request.shard);
    if (!request.linkFile.isEmpty()) {
        auto links = std::make_shared<LinkFile>();
        QString error;
        if (!links->open(request.linkFile, &error)) {
            QTextStream err(stderr);
            return CliArguments::usageError(err,
                                            QStringLiteral("Cannot write the link file %1: %2")
                                                    .arg(request.linkFile, error));
        }
        run.setLinkFile(std::move(links));
    }
    CliProgress progress(run, stderr, isatty(fileno(stderr)) != 0);
    QObject::connect(&run, &HeadlessRun::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QTimer interruptCheck;
    stopOnSignals(run, interruptCheck);
    run.start(request.folders);
    app.exec();

    progress.end();
    QTextStream out(stdout);
    printSummary(run, out);
    if (run.wasStopped())
        return CliArguments::exitInterrupted;
    return run.job().counts().failed == 0 ? CliArguments::exitOk : CliArguments::exitFailures;
}
