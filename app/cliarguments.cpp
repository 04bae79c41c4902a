#include "app/cliarguments.h"

#include "bridge/headlessrun.h"
#include "engine/cleaning/linkfile.h"
#include "engine/cleaning/uidmap.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>
#include <QThread>

namespace CliArguments {

int usageError(QTextStream &err, const QString &message)
{
    err << QCoreApplication::applicationName() << ": " << message << "\n"
        << "Usage: " << QCoreApplication::applicationName()
        << " [--jobs N] [--standard [--option NAME]...] [--strict] [--ocr MODE] "
           "[--blank-text] [--uid-key FILE] [--link-file FILE] [--rename] "
           "[--shard K/N] FOLDER...  (--help for more)\n";
    err.flush();
    return exitUsage;
}

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

namespace {

// The options of the job: how many workers, which shard, where the UID key and the links are.
void addJobOptions(QCommandLineParser &parser)
{
    parser.addOption({ { QStringLiteral("j"), QStringLiteral("jobs") },
                       QStringLiteral("Number of files anonymized at once (default: every core, "
                                      "%1; at most %2).")
                               .arg(QThread::idealThreadCount())
                               .arg(JobPlan::maxWorkers()),
                       QStringLiteral("N") });
    parser.addOption({ QStringLiteral("uid-key"),
                       QStringLiteral("Make new UIDs with the key in FILE instead of this "
                                      "installation's own, so that several machines map each "
                                      "UID alike."),
                       QStringLiteral("FILE") });
    parser.addOption({ QStringLiteral("new-uid-key"),
                       QStringLiteral("Write a new random UID key to FILE (readable by its owner "
                                      "only; an existing file is never replaced), then anonymize "
                                      "the FOLDERs, if any, with it."),
                       QStringLiteral("FILE") });
    parser.addOption({ QStringLiteral("link-file"),
                       QStringLiteral("Append to FILE (CSV, readable by its owner only) each "
                                      "copy's original-to-new pairs: patient ID to pseudonym, "
                                      "each UID to its new UID, the date offset. It identifies "
                                      "the patients: it may not lie inside or beside the dropped "
                                      "or output folders."),
                       QStringLiteral("FILE") });
    parser.addOption({ QStringLiteral("shard"),
                       QStringLiteral("Only the files of shard K of N (by a hash of their path "
                                      "below the dropped folder), for one job spread over N "
                                      "machines; each shard writes its own report "
                                      "(<folder>.report.K-of-N.txt)."),
                       QStringLiteral("K/N") });
}

// The options of the cleaning: what the copies keep, and how they are named.
void addCleaningOptions(QCommandLineParser &parser)
{
    parser.addOption({ QStringLiteral("standard"),
                       QStringLiteral("Also apply the standard clean-up (DICOM PS3.15 Basic "
                                      "Application Level Confidentiality Profile) to the whole "
                                      "data set, at every nesting level: names, IDs, dates, "
                                      "UIDs, private elements.") });
    QString optionNames;
    for (const StandardOptions::Info &info : StandardOptions::all())
        optionNames += QStringLiteral("\n  %1: %2 (%3)")
                               .arg(QLatin1String(info.name), QLatin1String(info.title),
                                    QLatin1String(info.code));
    parser.addOption({ QStringLiteral("option"),
                       QStringLiteral("With --standard: apply one of the standard's options "
                                      "(repeatable). An option keeps (retain-...) or cleans "
                                      "(clean-...) what its column of the standard's table "
                                      "names, in place of the profile's entry; modified-dates "
                                      "moves every date back by a per-patient number of days, "
                                      "so intervals and ages stay true:")
                               + optionNames,
                       QStringLiteral("NAME") });
    parser.addOption({ QStringLiteral("strict"),
                       QStringLiteral("A copy that still holds identifying data is not kept: the "
                                      "file fails (\"failed: INPUT: residue PATHS\").  Without "
                                      "it such a copy is written and named on a \"residue: "
                                      "OUTPUT: PATHS\" line.") });
    parser.addOption({ QStringLiteral("ocr"),
                       QStringLiteral("Where OCR looks for text burned into the pixels: likely "
                                      "(default: images whose header or a quick look suggests "
                                      "text), all, or off (the header alone). An image that may "
                                      "show text is residue (7FE0,0010)."),
                       QStringLiteral("MODE"), QStringLiteral("likely") });
    parser.addOption({ QStringLiteral("blank-text"),
                       QStringLiteral("Paint the text boxes OCR finds with the image's darkest "
                                      "value (uncompressed images only; others stay flagged).") });
    parser.addOption({ QStringLiteral("rename"),
                       QStringLiteral("Name the copies from the data, never from the input's "
                                      "names: <pseudonym>/<study>/<series>-<modality>/"
                                      "<instance>.dcm.") });
}

// --jobs: at least 1; more than the machine's useful most are cut to it, with a word.
QString readJobs(const QCommandLineParser &parser, Request &request, QTextStream &err)
{
    if (!parser.isSet(QStringLiteral("jobs")))
        return {};
    bool ok = false;
    request.jobs = parser.value(QStringLiteral("jobs")).toInt(&ok);
    if (!ok || request.jobs < 1)
        return QStringLiteral("--jobs needs a whole number of at least 1.");
    // More workers than that only wait for the same cores, each with its buffers.
    bool capped = false;
    const int jobs = HeadlessRun::workersFor(request.jobs, &capped);
    if (capped)
        err << QCoreApplication::applicationName() << ": --jobs " << request.jobs
            << " is more than " << jobs << " (four per core): using " << jobs << ".\n";
    request.jobs = jobs;
    return {};
}

QString readCleaning(const QCommandLineParser &parser, FileAnonymizer::Options &options)
{
    options.cleaning.standard = parser.isSet(QStringLiteral("standard"));
    options.strict = parser.isSet(QStringLiteral("strict"));
    const QString ocr = parser.value(QStringLiteral("ocr"));
    if (ocr == QLatin1String("all"))
        options.ocr = BurnedInText::OcrMode::All;
    else if (ocr == QLatin1String("off"))
        options.ocr = BurnedInText::OcrMode::Off;
    else if (ocr != QLatin1String("likely"))
        return QStringLiteral("--ocr takes likely, all or off.");
    options.blankText = parser.isSet(QStringLiteral("blank-text"));
    options.rename = parser.isSet(QStringLiteral("rename"));
    StandardOptions::Set &set = options.cleaning.standardOptions;
    for (const QString &name : parser.values(QStringLiteral("option"))) {
        const StandardOptions::Set option = StandardOptions::byName(name);
        if (option == 0)
            return QStringLiteral("No option \"%1\" (see --help for the names).").arg(name);
        set |= option;
    }
    if (set != 0 && !options.cleaning.standard)
        return QStringLiteral("--option applies to the standard clean-up: add --standard.");
    if (const QString conflict = StandardOptions::conflict(set); !conflict.isEmpty())
        return QStringLiteral("The options %1.").arg(conflict);
    return {};
}

// --uid-key or --new-uid-key. `written` tells that a new key file was written.
QString readUidKey(const QCommandLineParser &parser, Request &request, bool &written)
{
    const QString useKey = QStringLiteral("uid-key");
    const QString newKey = QStringLiteral("new-uid-key");
    if (parser.isSet(useKey) && parser.isSet(newKey))
        return QStringLiteral("--uid-key and --new-uid-key exclude each other.");
    QString error;
    if (parser.isSet(newKey)) {
        if (!UidKey::writeNewFile(parser.value(newKey), &error))
            return QStringLiteral("Cannot write the new UID key to %1: %2")
                    .arg(parser.value(newKey), error);
        written = true;
        request.uidKey = UidKey::readFile(parser.value(newKey), &error);
    } else if (parser.isSet(useKey)) {
        request.uidKey = UidKey::readFile(parser.value(useKey), &error);
        if (request.uidKey.isEmpty())
            return QStringLiteral("Cannot use the UID key in %1: %2")
                    .arg(parser.value(useKey), error);
    }
    return {};
}

// The folders exist, and the link file lies where it may.
QString checkPlaces(const Request &request)
{
    if (request.folders.isEmpty())
        return QStringLiteral("No folder given.");
    for (const QString &folder : request.folders) {
        if (!QFileInfo(folder).isDir())
            return QStringLiteral("Not a folder: %1").arg(folder);
    }
    if (!request.linkFile.isEmpty()) {
        const QString refusal = LinkFile::refusal(request.linkFile, request.folders);
        if (!refusal.isEmpty())
            return QStringLiteral("Refusing the link file: %1.").arg(refusal);
    }
    return {};
}

} // namespace

int parse(const QStringList &arguments, Request &request, QTextStream &out, QTextStream &err)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Writes a cleaned copy of every file below each FOLDER into the sibling folder\n"
            "<folder>_depersonification, as the window does when the folders are dropped on it.\n"
            "Exit status: 0 every file done, 1 some file failed, 2 usage error, 130 stopped\n"
            "by Ctrl-C (the files under way are finished first)."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    addJobOptions(parser);
    addCleaningOptions(parser);
    parser.addPositionalArgument(QStringLiteral("FOLDER"), QStringLiteral("Folders to anonymize."),
                                 QStringLiteral("FOLDER..."));

    if (!parser.parse(arguments))
        return usageError(err, parser.errorText());
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        out << parser.helpText();
        return exitOk;
    }
    if (parser.isSet(versionOption)) {
        out << QCoreApplication::applicationName() << ' ' << QCoreApplication::applicationVersion()
            << '\n';
        return exitOk;
    }
    QString refusal = readJobs(parser, request, err);
    if (refusal.isEmpty())
        refusal = readCleaning(parser, request.options);
    if (refusal.isEmpty() && parser.isSet(QStringLiteral("shard"))
        && !parseShard(parser.value(QStringLiteral("shard")), request.shard))
        refusal = QStringLiteral("--shard takes K/N, with 1 <= K <= N.");
    request.linkFile = parser.value(QStringLiteral("link-file"));
    request.folders = parser.positionalArguments();
    bool keyWritten = false;
    if (refusal.isEmpty())
        refusal = readUidKey(parser, request, keyWritten);
    // A new key and no folder: the key was all that was asked for.
    if (refusal.isEmpty() && keyWritten && request.folders.isEmpty())
        return exitOk;
    if (refusal.isEmpty())
        refusal = checkPlaces(request);
    return refusal.isEmpty() ? -1 : usageError(err, refusal);
}

} // namespace CliArguments
