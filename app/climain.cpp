// vexar-anonymizer-cli FOLDER...: anonymizes folders from a terminal or a script, running the
// same bridge and messages as the window. Exit status: 0 every file done, 1 some file failed,
// 2 usage error, 130 stopped by Ctrl-C.
#include "appinfo.h"
#include "bridge/headlessrun.h"
#include "engine/allocator.h"
#include "engine/uidmap.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTextStream>
#include <QThread>
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

constexpr int exitOk = 0;
constexpr int exitFailures = 1;
constexpr int exitUsage = 2;
constexpr int exitInterrupted = 130;

std::atomic<bool> interrupted{ false };

void onInterrupt(int)
{
    interrupted.store(true);
}

int usageError(const QString &message)
{
    QTextStream(stderr) << QCoreApplication::applicationName() << ": " << message << "\n"
                        << "Usage: " << QCoreApplication::applicationName()
                        << " [--jobs N] [--standard] [--strict] [--uid-key FILE] FOLDER...  (--help for more)\n";
    return exitUsage;
}

} // namespace

int main(int argc, char *argv[])
{
    Allocator::keepBuffersBetweenFiles();
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QString::fromLatin1(AppInfo::organisationName));
    QCoreApplication::setApplicationName(QStringLiteral("vexar-anonymizer-cli"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(AppInfo::applicationVersion));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Writes a cleaned copy of every file below each FOLDER into the sibling folder\n"
            "<folder>_depersonification, as the window does when the folders are dropped on it.\n"
            "Exit status: 0 every file done, 1 some file failed, 2 usage error, 130 stopped\n"
            "by Ctrl-C (the files under way are finished first)."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption jobsOption(
            { QStringLiteral("j"), QStringLiteral("jobs") },
            QStringLiteral("Number of files anonymized at once (default: every core, %1).")
                    .arg(QThread::idealThreadCount()),
            QStringLiteral("N"));
    parser.addOption(jobsOption);
    const QCommandLineOption standardOption(
            QStringLiteral("standard"),
            QStringLiteral("Also apply the standard clean-up (DICOM PS3.15 Basic Application "
                           "Level Confidentiality Profile) to the whole data set, at every "
                           "nesting level: names, IDs, dates, UIDs, private elements."));
    parser.addOption(standardOption);
    const QCommandLineOption strictOption(
            QStringLiteral("strict"),
            QStringLiteral("A copy that still holds identifying data is not kept: the file "
                           "fails (\"failed: INPUT: residue PATHS\").  Without it such a copy is "
                           "written and named on a \"residue: OUTPUT: PATHS\" line."));
    parser.addOption(strictOption);
    const QCommandLineOption uidKeyOption(
            QStringLiteral("uid-key"),
            QStringLiteral("Make new UIDs with the key in FILE instead of this installation's "
                           "own, so that several machines map each UID alike."),
            QStringLiteral("FILE"));
    parser.addOption(uidKeyOption);
    const QCommandLineOption newUidKeyOption(
            QStringLiteral("new-uid-key"),
            QStringLiteral("Write a new random UID key to FILE (readable by its owner only; an "
                           "existing file is never replaced), then anonymize the FOLDERs, if "
                           "any, with it."),
            QStringLiteral("FILE"));
    parser.addOption(newUidKeyOption);
    parser.addPositionalArgument(QStringLiteral("FOLDER"), QStringLiteral("Folders to anonymize."),
                                 QStringLiteral("FOLDER..."));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        QTextStream(stdout) << parser.helpText();
        return exitOk;
    }
    if (parser.isSet(versionOption)) {
        QTextStream(stdout) << QCoreApplication::applicationName() << ' '
                            << QCoreApplication::applicationVersion() << '\n';
        return exitOk;
    }
    int jobs = 0;
    if (parser.isSet(jobsOption)) {
        bool ok = false;
        jobs = parser.value(jobsOption).toInt(&ok);
        if (!ok || jobs < 1)
            return usageError(QStringLiteral("--jobs needs a whole number of at least 1."));
    }
    QByteArray uidKey;
    if (parser.isSet(uidKeyOption) && parser.isSet(newUidKeyOption))
        return usageError(QStringLiteral("--uid-key and --new-uid-key exclude each other."));
    const QStringList folders = parser.positionalArguments();
    if (parser.isSet(newUidKeyOption)) {
        QString error;
        if (!UidKey::writeNewFile(parser.value(newUidKeyOption), &error))
            return usageError(QStringLiteral("Cannot write the new UID key to %1: %2")
                                      .arg(parser.value(newUidKeyOption), error));
        if (folders.isEmpty())
            return exitOk;
        uidKey = UidKey::readFile(parser.value(newUidKeyOption), &error);
    }
    if (parser.isSet(uidKeyOption)) {
        QString error;
        uidKey = UidKey::readFile(parser.value(uidKeyOption), &error);
        if (uidKey.isEmpty())
            return usageError(QStringLiteral("Cannot use the UID key in %1: %2")
                                      .arg(parser.value(uidKeyOption), error));
    }
    if (folders.isEmpty())
        return usageError(QStringLiteral("No folder given."));
    for (const QString &folder : folders) {
        if (!QFileInfo(folder).isDir())
            return usageError(QStringLiteral("Not a folder: %1").arg(folder));
    }

    // Every failed file is named below; the bridge's own debug lines would only repeat them.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    const bool terminal = isatty(fileno(stderr)) != 0;
    QTextStream err(stderr);
    int lastPercent = -1;
    bool barShown = false;

    HeadlessRun run(jobs);
    // The command does what its options say, whatever the window's switch was left at.
    run.setStandardCleanup(parser.isSet(standardOption));
    run.setStrict(parser.isSet(strictOption));
    if (!uidKey.isEmpty())
        run.setUidKey(uidKey);
    QObject::connect(&run, &HeadlessRun::progress, [&](float fraction) {
        if (terminal) {
            err << '\r' << HeadlessRun::progressBar(fraction, 40) << "  " << run.done() << '/'
                << run.files() << Qt::flush;
            barShown = true;
            return;
        }
        const int percent = static_cast<int>(fraction * 100.0f);
        if (percent != lastPercent) {
            err << percent << "%\n" << Qt::flush;
            lastPercent = percent;
        }
    });
    const auto printLine = [&](const QString &line) {
        if (barShown)
            err << "\r\033[K";
        err << line << '\n' << Qt::flush;
        barShown = false;
    };
    // A copy refused for its residue fails with the reason "residue PATH PATH …".
    QObject::connect(&run, &HeadlessRun::failed, [&](const QString &path, const QString &reason) {
        printLine(QStringLiteral("failed: %1: %2").arg(path, reason));
    });
    QObject::connect(&run, &HeadlessRun::residue, [&](const QString &output, const QStringList &paths) {
        printLine(QStringLiteral("residue: %1: %2").arg(output, paths.join(QLatin1Char(' '))));
    });
    QObject::connect(&run, &HeadlessRun::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // Ctrl-C (or a polite kill) stops between files, so no temporary file is left behind; a
    // second one ends the program at once. A parent may have left them blocked.
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
#ifndef Q_OS_WIN
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
#endif
    QTimer interruptCheck;
    QObject::connect(&interruptCheck, &QTimer::timeout, [&] {
        if (!interrupted.load())
            return;
        interruptCheck.stop();
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        run.stop();
    });
    interruptCheck.start(100);
    run.start(folders);
    app.exec();

    // The bar, drawn again at the count the summary gives (the last reports may have been
    // throttled, or a stop came between them), ends its own line.
    if (barShown) {
        const float fraction = run.files() > 0 ? float(run.done()) / float(run.files()) : 1.0f;
        err << '\r' << HeadlessRun::progressBar(fraction, 40) << "  " << run.done() << '/'
            << run.files() << '\n'
            << Qt::flush;
    }
    const double seconds = static_cast<double>(run.elapsedMs()) / 1000.0;
    const double megabytes = static_cast<double>(run.bytesRead()) / 1e6;
    const JobReport::Counts counts = run.job().counts();
    QTextStream out(stdout);
    if (run.wasStopped())
        out << "stopped after " << run.done() << " of " << run.files() << " files, ";
    else
        out << counts.files() << " files, ";
    out << counts.failed << " failed, " << counts.withResidue << " with residue, "
        << counts.skipped << " skipped, " << HeadlessRun::durationText(run.elapsedMs()) << ", "
        << QString::number(seconds > 0 ? megabytes / seconds : 0.0, 'f', 1) << " MB/s\n";
    // Where the copies and the reports went.
    for (const JobReport::Folder &folder : run.job().folders()) {
        if (QFileInfo(folder.folder.output).isDir())
            out << "output: " << folder.folder.output
                << (folder.folder.existed ? " (added to an existing folder)" : "") << '\n';
        if (!folder.report.isEmpty())
            out << "report: " << folder.report << '\n';
        else if (!folder.reportError.isEmpty())
            out << "report: not written: " << folder.reportError << '\n';
    }
    out.flush();
    if (run.wasStopped())
        return exitInterrupted;
    return counts.failed == 0 ? exitOk : exitFailures;
}
