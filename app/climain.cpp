// vexar-anonymizer-cli FOLDER...: anonymizes folders from a terminal or a script, running the
// same bridge and messages as the window. Exit status: 0 every file done, 1 some file failed,
// 2 usage error, 130 stopped by Ctrl-C.
#include "appinfo.h"
#include "bridge/headlessrun.h"
#include "engine/allocator.h"
#include "engine/jobplan.h"
#include "engine/linkfile.h"
#include "engine/standardoptions.h"
#include "engine/uidmap.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
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
                        << " [--jobs N] [--standard [--option NAME]...] [--strict] [--ocr MODE] "
                           "[--blank-text] [--uid-key FILE] [--link-file FILE] [--rename] "
                           "[--shard K/N] FOLDER...  (--help for more)\n";
    return exitUsage;
}

// What the command line asks for.
struct Request
{
    int jobs = 0; // 0: the bridge's default
    bool standard = false;
    bool strict = false;
    BurnedInText::OcrMode ocr = BurnedInText::OcrMode::Likely;
    bool blankText = false;
    QByteArray uidKey; // empty: this installation's own
    StandardOptions::Set options = 0;
    bool rename = false;
    QString linkFile; // empty: none
    JobPlan::Shard shard;
    QStringList folders;
};

// "K/N" with 1 <= K <= N: this machine's shard of the job.
bool parseShard(const QString &text, JobPlan::Shard &shard)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    if (parts.size() != 2)
        return false;
    bool okIndex = false;
    bool okCount = false;
    shard.index = parts.at(0).trimmed().toInt(&okIndex);
    shard.count = parts.at(1).trimmed().toInt(&okCount);
    return okIndex && okCount && shard.count >= 1 && shard.index >= 1 && shard.index <= shard.count;
}

// Reads the command line into `request`. Returns -1 to go on with the job, or the exit status
// when the command is done already (help, version, a new key alone, a usage error).
int parseArguments(Request &request)
{
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
            QStringLiteral("Number of files anonymized at once (default: every core, %1; at "
                           "most %2).")
                    .arg(QThread::idealThreadCount())
                    .arg(JobPlan::maxWorkers()),
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
    const QCommandLineOption ocrOption(
            QStringLiteral("ocr"),
            QStringLiteral("Where OCR looks for text burned into the pixels: likely (default: "
                           "images whose header or a quick look suggests text), all, or off "
                           "(the header alone). An image that may show text is residue "
                           "(7FE0,0010)."),
            QStringLiteral("MODE"), QStringLiteral("likely"));
    parser.addOption(ocrOption);
    const QCommandLineOption blankTextOption(
            QStringLiteral("blank-text"),
            QStringLiteral("Paint the text boxes OCR finds with the image's darkest value "
                           "(uncompressed images only; others stay flagged)."));
    parser.addOption(blankTextOption);
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
    QString optionNames;
    for (const StandardOptions::Info &info : StandardOptions::all())
        optionNames += QStringLiteral("\n  %1: %2 (%3)")
                               .arg(QLatin1String(info.name), QLatin1String(info.title),
                                    QLatin1String(info.code));
    const QCommandLineOption optionOption(
            QStringLiteral("option"),
            QStringLiteral("With --standard: apply one of the standard's options (repeatable). "
                           "An option keeps (retain-...) or cleans (clean-...) what its column "
                           "of the standard's table names, in place of the profile's entry; "
                           "modified-dates moves every date back by a per-patient number of "
                           "days, so intervals and ages stay true:")
                    + optionNames,
            QStringLiteral("NAME"));
    parser.addOption(optionOption);
    const QCommandLineOption linkFileOption(
            QStringLiteral("link-file"),
            QStringLiteral("Append to FILE (CSV, readable by its owner only) each copy's "
                           "original-to-new pairs: patient ID to pseudonym, each UID to its new "
                           "UID, the date offset. It identifies the patients: it may not lie "
                           "inside or beside the dropped or output folders."),
            QStringLiteral("FILE"));
    parser.addOption(linkFileOption);
    const QCommandLineOption renameOption(
            QStringLiteral("rename"),
            QStringLiteral("Name the copies from the data, never from the input's names: "
                           "<pseudonym>/<study>/<series>-<modality>/<instance>.dcm."));
    parser.addOption(renameOption);
    const QCommandLineOption shardOption(
            QStringLiteral("shard"),
            QStringLiteral("Only the files of shard K of N (by a hash of their path below the "
                           "dropped folder), for one job spread over N machines; each shard "
                           "writes its own report (<folder>.report.K-of-N.txt)."),
            QStringLiteral("K/N"));
    parser.addOption(shardOption);
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
    if (parser.isSet(jobsOption)) {
        bool ok = false;
        request.jobs = parser.value(jobsOption).toInt(&ok);
        if (!ok || request.jobs < 1)
            return usageError(QStringLiteral("--jobs needs a whole number of at least 1."));
        // More workers than that only wait for the same cores, each with its buffers.
        bool capped = false;
        const int jobs = HeadlessRun::workersFor(request.jobs, &capped);
        if (capped)
            QTextStream(stderr) << QCoreApplication::applicationName() << ": --jobs "
                                << request.jobs << " is more than " << jobs
                                << " (four per core): using " << jobs << ".\n";
        request.jobs = jobs;
    }
    request.standard = parser.isSet(standardOption);
    request.strict = parser.isSet(strictOption);
    const QString ocr = parser.value(ocrOption);
    if (ocr == QLatin1String("all"))
        request.ocr = BurnedInText::OcrMode::All;
    else if (ocr == QLatin1String("off"))
        request.ocr = BurnedInText::OcrMode::Off;
    else if (ocr != QLatin1String("likely"))
        return usageError(QStringLiteral("--ocr takes likely, all or off."));
    request.blankText = parser.isSet(blankTextOption);
    for (const QString &name : parser.values(optionOption)) {
        const StandardOptions::Set option = StandardOptions::byName(name);
        if (option == 0)
            return usageError(
                    QStringLiteral("No option \"%1\" (see --help for the names).").arg(name));
        request.options |= option;
    }
    if (request.options != 0 && !request.standard)
        return usageError(QStringLiteral("--option applies to the standard clean-up: add "
                                         "--standard."));
    if (const QString conflict = StandardOptions::conflict(request.options); !conflict.isEmpty())
        return usageError(QStringLiteral("The options %1.").arg(conflict));
    request.rename = parser.isSet(renameOption);
    if (parser.isSet(shardOption) && !parseShard(parser.value(shardOption), request.shard))
        return usageError(QStringLiteral("--shard takes K/N, with 1 <= K <= N."));
    request.linkFile = parser.value(linkFileOption);
    if (parser.isSet(uidKeyOption) && parser.isSet(newUidKeyOption))
        return usageError(QStringLiteral("--uid-key and --new-uid-key exclude each other."));
    request.folders = parser.positionalArguments();
    if (parser.isSet(newUidKeyOption)) {
        QString error;
        if (!UidKey::writeNewFile(parser.value(newUidKeyOption), &error))
            return usageError(QStringLiteral("Cannot write the new UID key to %1: %2")
                                      .arg(parser.value(newUidKeyOption), error));
        if (request.folders.isEmpty())
            return exitOk;
        request.uidKey = UidKey::readFile(parser.value(newUidKeyOption), &error);
    }
    if (parser.isSet(uidKeyOption)) {
        QString error;
        request.uidKey = UidKey::readFile(parser.value(uidKeyOption), &error);
        if (request.uidKey.isEmpty())
            return usageError(QStringLiteral("Cannot use the UID key in %1: %2")
                                      .arg(parser.value(uidKeyOption), error));
    }
    if (request.folders.isEmpty())
        return usageError(QStringLiteral("No folder given."));
    for (const QString &folder : request.folders) {
        if (!QFileInfo(folder).isDir())
            return usageError(QStringLiteral("Not a folder: %1").arg(folder));
    }
    if (!request.linkFile.isEmpty()) {
        const QString refusal = LinkFile::refusal(request.linkFile, request.folders);
        if (!refusal.isEmpty())
            return usageError(QStringLiteral("Refusing the link file: %1.").arg(refusal));
    }
    return -1;
}

// The job's progress and its failed and residue lines on standard error: a bar redrawn in
// place on a terminal, a line per whole percent otherwise.
class ProgressOutput
{
public:
    explicit ProgressOutput(HeadlessRun &run)
        : m_run(run), m_terminal(isatty(fileno(stderr)) != 0), m_err(stderr)
    {
        QObject::connect(&run, &HeadlessRun::progress, [this](float fraction) { show(fraction); });
        // A copy refused for its residue fails with the reason "residue PATH PATH …".
        QObject::connect(&run, &HeadlessRun::failed,
                         [this](const QString &path, const QString &reason) {
                             printLine(QStringLiteral("failed: %1: %2").arg(path, reason));
                         });
        QObject::connect(&run, &HeadlessRun::residue,
                         [this](const QString &output, const QStringList &paths) {
                             printLine(QStringLiteral("residue: %1: %2")
                                               .arg(output, paths.join(QLatin1Char(' '))));
                         });
    }

    // The bar, drawn again at the count the summary gives (the last reports may have been
    // throttled, or a stop came between them), ends its own line.
    void end()
    {
        m_err << Qt::flush;
        if (!m_barShown)
            return;
        const float fraction
                = m_run.files() > 0 ? float(m_run.done()) / float(m_run.files()) : 1.0f;
        drawBar(fraction);
        m_err << '\n' << Qt::flush;
    }

private:
    void drawBar(float fraction)
    {
        m_err << '\r' << HeadlessRun::progressBar(fraction, 40) << "  " << m_run.done() << '/'
              << m_run.files();
    }

    void show(float fraction)
    {
        if (m_terminal) {
            drawBar(fraction);
            m_err << Qt::flush;
            m_barShown = true;
            return;
        }
        const int percent = static_cast<int>(fraction * 100.0f);
        if (percent != m_lastPercent) {
            m_err << percent << "%\n" << Qt::flush;
            m_lastPercent = percent;
        }
    }

    void printLine(const QString &line)
    {
        if (m_barShown)
            m_err << "\r\033[K";
        m_err << line << '\n';
        // A terminal shows each line at once; a log or a pipe gets them with the next
        // percentage (or at the end): one write per file would cost the job more than the
        // line is worth.
        if (m_terminal)
            m_err << Qt::flush;
        m_barShown = false;
    }

    HeadlessRun &m_run;
    const bool m_terminal;
    QTextStream m_err;
    int m_lastPercent = -1;
    bool m_barShown = false;
};

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

// The summary line, then where the copies and the reports went.
void printSummary(const HeadlessRun &run)
{
    const double seconds = static_cast<double>(run.elapsedMs()) / 1000.0;
    const double megabytes = static_cast<double>(run.bytesRead()) / 1e6;
    const JobReport::Counts counts = run.job().counts();
    QTextStream out(stdout);
    if (run.wasStopped())
        out << "stopped after " << run.done() << " of " << run.files() << " files, ";
    else
        out << counts.files() << " files, ";
    out << counts.failed << " failed, " << counts.withResidue << " with residue, " << counts.skipped
        << " skipped, " << HeadlessRun::durationText(run.elapsedMs()) << ", "
        << QString::number(seconds > 0 ? megabytes / seconds : 0.0, 'f', 1) << " MB/s\n";
    for (const JobReport::Folder &folder : run.job().folders()) {
        if (folder.counts.files() == 0 && folder.notDone == 0)
            out << "no files found in " << QDir::toNativeSeparators(folder.folder.input) << '\n';
        else if (QFileInfo(folder.folder.output).isDir())
            out << "output: " << folder.folder.output
                << (folder.folder.existed ? " (added to an existing folder)" : "") << '\n';
        if (!folder.report.isEmpty())
            out << "report: " << folder.report << '\n';
        else if (!folder.reportError.isEmpty())
            out << "report: not written: " << folder.reportError << '\n';
    }
    out.flush();
}

} // namespace

int main(int argc, char *argv[])
{
    Allocator::keepBuffersBetweenFiles();
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QString::fromLatin1(AppInfo::organisationName));
    QCoreApplication::setApplicationName(QStringLiteral("vexar-anonymizer-cli"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(AppInfo::applicationVersion));

    Request request;
    const int done = parseArguments(request);
    if (done >= 0)
        return done;

    // Every failed file is named below; the bridge's own debug lines would only repeat them.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    HeadlessRun run(request.jobs);
    // The command does what its options say, whatever the window's switch was left at.
    run.setStandardCleanup(request.standard);
    run.setStrict(request.strict);
    run.setImageText(request.ocr, request.blankText);
    if (!request.uidKey.isEmpty())
        run.setUidKey(request.uidKey);
    run.setStandardOptions(request.options);
    run.setRename(request.rename);
    run.setShard(request.shard);
    if (!request.linkFile.isEmpty()) {
        auto links = std::make_shared<LinkFile>();
        QString error;
        if (!links->open(request.linkFile, &error))
            return usageError(QStringLiteral("Cannot write the link file %1: %2")
                                      .arg(request.linkFile, error));
        run.setLinkFile(std::move(links));
    }
    ProgressOutput progress(run);
    QObject::connect(&run, &HeadlessRun::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QTimer interruptCheck;
    stopOnSignals(run, interruptCheck);
    run.start(request.folders);
    app.exec();

    progress.end();
    printSummary(run);
    if (run.wasStopped())
        return exitInterrupted;
    return run.job().counts().failed == 0 ? exitOk : exitFailures;
}
