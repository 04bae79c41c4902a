#include "engine/job/jobreport.h"

#include "engine/cleaning/tagprofile.h"
#include "engine/files/outputfile.h"
#include "engine/job/sortedspool.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace JobReport {

namespace {

QString plural(int n, const char *one, const char *many)
{
    return QString::number(n) + QLatin1Char(' ') + QLatin1String(n == 1 ? one : many);
}

// "29 written, 1 failed": the written count always, the others when there are any.
QString countsText(const Counts &counts)
{
    QStringList parts;
    if (counts.written > 0 || counts.withResidue == 0)
        parts << QString::number(counts.written) + QLatin1String(" written");
    if (counts.withResidue > 0) {
        QString residue
                = QString::number(counts.withResidue) + QLatin1String(" written with residue");
        if (counts.residueKinds != 0)
            residue += QLatin1String(" (") + residueWords(counts.residueKinds) + QLatin1Char(')');
        parts << residue;
    }
    if (counts.failed > 0)
        parts << QString::number(counts.failed) + QLatin1String(" failed");
    if (counts.skipped > 0)
        parts << QString::number(counts.skipped) + QLatin1String(" skipped");
    return parts.join(QLatin1String(", "));
}

// One line of the report for a text that the user typed: line breaks and other controls
// would break the report's layout.
QString oneLine(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    return text;
}

QString tagText(const QJsonObject &entry)
{
    return QStringLiteral("(%1,%2)")
            .arg(TagProfile::tagNumber(entry.value(QLatin1String("tagU"))), 4, 16, QLatin1Char('0'))
            .arg(TagProfile::tagNumber(entry.value(QLatin1String("tagD"))), 4, 16, QLatin1Char('0'))
            .toUpper();
}

QString statusText(const FileOutcome &outcome)
{
    switch (outcome.status) {
    case FileOutcome::Status::Written:
        return QStringLiteral("written");
    case FileOutcome::Status::WrittenWithResidue:
        return QStringLiteral("written with residue: ")
                + (outcome.residueKinds != 0
                           ? residueWords(outcome.residueKinds) + QLatin1String(": ")
                           : QString())
                + outcome.residue.join(QLatin1String(", "));
    case FileOutcome::Status::Failed:
        return QStringLiteral("failed: ") + outcome.reason;
    case FileOutcome::Status::Skipped:
        return QStringLiteral("skipped: ") + outcome.reason;
    }
    return QString();
}

bool holds(const QString &folder, const QString &path)
{
    return path == folder
            || (path.size() > folder.size() && path.startsWith(folder)
                && path.at(folder.size()) == QLatin1Char('/'));
}

// `path` relative to `folder`: its end where `folder` holds it (the usual case, without the
// cost of a QDir), else as QDir says.
QString below(const QString &folder, const QString &path)
{
    if (path.size() > folder.size() + 1 && holds(folder, path))
        return path.mid(folder.size() + 1);
    return QDir(folder).relativeFilePath(path);
}

// A file's line in the report: its path below the dropped folder (and below the output folder
// where the copy's differs) and its status.
QPair<QString, QString> reportLine(const Folder &folder, const FileOutcome &outcome)
{
    QString relative = outcome.input == folder.folder.input
            ? QStringLiteral(".")
            : below(folder.folder.input, outcome.input);
    // A copy under other names than its input's (names that identified the patient).
    const QString copy = below(folder.folder.output, outcome.output);
    if (outcome.status != FileOutcome::Status::Skipped && relative != QLatin1String(".")
        && copy != relative)
        relative += QStringLiteral(" -> ") + copy;
    QString status = statusText(outcome);
    if (outcome.blankedBoxes > 0)
        status += QStringLiteral(" (%1 text boxes painted over in the image)")
                          .arg(outcome.blankedBoxes);
    return { relative, status };
}

} // namespace

QString residueWords(quint32 kinds)
{
    static const std::pair<quint32, const char *> words[] = {
        { Residue::Names, "names" },
        { Residue::Ids, "IDs" },
        { Residue::Dates, "dates" },
        { Residue::Uids, "UIDs" },
        { Residue::PrivateData, "private data" },
        { Residue::OtherDetails, "other details" },
        { Residue::FileNames, "file names" },
    };
    QStringList parts;
    for (const auto &[kind, word] : words) {
        if (kinds & kind)
            parts << QLatin1String(word);
    }
    if (kinds & Residue::ImageTextOfPatient)
        parts << QStringLiteral("image text (the image may show text that matches the patient)");
    else if (kinds & Residue::ImageText)
        parts << QStringLiteral("image text (the image may show text)");
    return parts.join(QLatin1String(", "));
}

void Counts::add(const FileOutcome &outcome)
{
    if (outcome.status == FileOutcome::Status::WrittenWithResidue)
        residueKinds |= outcome.residueKinds;
    switch (outcome.status) {
    case FileOutcome::Status::Written:
        ++written;
        break;
    case FileOutcome::Status::WrittenWithResidue:
        ++withResidue;
        break;
    case FileOutcome::Status::Failed:
        ++failed;
        break;
    case FileOutcome::Status::Skipped:
        ++skipped;
        break;
    }
}

void Job::addFolders(const QList<JobPlan::OutputFolder> &folders)
{
    for (const JobPlan::OutputFolder &folder : folders) {
        Folder added;
        added.folder = folder;
        m_folders.append(added);
    }
}

void Job::add(const FileOutcome &outcome)
{
    m_counts.add(outcome);
    // The longest output folder that holds the output: one folder's copies may lie inside
    // another's input (a folder dropped together with one of its subfolders).
    Folder *owner = nullptr;
    for (Folder &folder : m_folders) {
        if (holds(folder.folder.output, outcome.output)
            && (!owner || folder.folder.output.size() > owner->folder.output.size()))
            owner = &folder;
    }
    if (!owner)
        return;
    const auto [path, status] = reportLine(*owner, outcome);
    linesOf(*owner).add(path, status);
    owner->reported.insert(outcome.output);
    owner->reportedInputs.insert(outcome.input);
    owner->counts.add(outcome);
}

SortedSpool &Job::linesOf(Folder &folder)
{
    if (!folder.lines)
        folder.lines = std::make_shared<SortedSpool>(
                QFileInfo(folder.folder.output).absolutePath(),
                QFileInfo(reportPath(folder.folder.output)).fileName());
    return *folder.lines;
}

void Job::addNotDone(qsizetype index, const QString &relative)
{
    Folder &folder = m_folders[index];
    linesOf(folder).add(relative, QStringLiteral("not done: the job was stopped before it"));
    ++folder.notDone;
}

void Job::addEarlier(qsizetype index, const QString &relative)
{
    Folder &folder = m_folders[index];
    linesOf(folder).add(relative, QStringLiteral("an earlier job's copy, not in this job"));
    ++folder.earlier;
}

void Job::writeReports(const QDateTime &when, const QString &version, const QJsonObject &profile,
                       const Method &method, bool stopped)
{
    for (Folder &folder : m_folders) {
        if (!folder.lines)
            continue;
        const QString path = reportPath(folder.folder.output, method.shard);
        // The head, then the files by their path below the dropped folder, sorted: the workers
        // report in any order. Written as they are read back from the temporary file.
        OutputFile out(path);
        QString error;
        if (out.open()) {
            std::ostream &stream = out.stream();
            stream << reportHead(folder, when, version, profile, method, stopped).toStdString();
            const bool read = folder.lines->read(
                    [&stream](const QString &file, const QString &status) {
                        stream << QStringLiteral("  %1: %2\n")
                                          .arg(oneLine(file), status)
                                          .toStdString();
                    },
                    &error);
            if (read && out.commit())
                folder.report = path;
            else if (error.isEmpty())
                error = out.errorString();
        } else {
            error = out.errorString();
        }
        if (folder.report.isEmpty())
            folder.reportError = error;
        folder.lines.reset();
    }
}

QString reportPath(const QString &outputFolder, const JobPlan::Shard &shard)
{
    if (shard.whole())
        return JobPlan::reportPath(outputFolder);
    return outputFolder + QStringLiteral(".report.%1-of-%2.txt").arg(shard.index).arg(shard.count);
}

bool isReportName(const QString &path)
{
    static const QRegularExpression name(QStringLiteral("\\.report(\\.[0-9]+-of-[0-9]+)?\\.txt$"));
    return name.match(path).hasMatch();
}

QString summaryText(const Job &job, int stoppedOf, int done)
{
    if (job.folders().isEmpty())
        return QStringLiteral("Nothing to anonymize: no folder was dropped");
    const Counts counts = job.counts();
    QStringList names;
    QStringList empty;
    for (const Folder &folder : job.folders()) {
        // No output folder is made for a folder without files: none is named.
        if (folder.counts.files() == 0) {
            empty << QStringLiteral("no files found in ")
                            + QDir::toNativeSeparators(folder.folder.input);
            continue;
        }
        QString name = QFileInfo(folder.folder.output).fileName();
        if (!folder.folder.failure.isEmpty())
            name = folder.folder.failure;
        else if (folder.folder.existed)
            name += QLatin1String(" (added to an existing folder)");
        names << name;
    }
    if (names.isEmpty() && stoppedOf < 0) {
        QString text = empty.join(QLatin1String(", "));
        if (counts.skipped > 0)
            text += QStringLiteral(" (%1)").arg(
                    plural(counts.skipped, "entry skipped", "entries skipped"));
        return text;
    }
    QString text = stoppedOf >= 0
            ? QStringLiteral("stopped after %1 of %2 files").arg(done).arg(stoppedOf)
            : plural(counts.files(), "file", "files");
    if (counts.files() > 0 || counts.skipped > 0)
        text += QLatin1String(": ") + countsText(counts);
    return text + QStringLiteral(" · ") + (names + empty).join(QLatin1String(", "));
}

QString reportHead(const Folder &folder, const QDateTime &when, const QString &version,
                   const QJsonObject &profile, const Method &method, bool stopped)
{
    QString text;
    text += QStringLiteral("Vexar Anonymizer %1: anonymization report\n").arg(version);
    text += QStringLiteral("Date: %1\n")
                    .arg(when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODate));
    text += QLatin1String(JobPlan::reportInputLabel) + folder.folder.input + QLatin1Char('\n');
    text += QStringLiteral("Output folder: %1%2\n")
                    .arg(folder.folder.output,
                         folder.folder.existed ? QStringLiteral(" (added to an existing folder)")
                                               : QString());
    text += QStringLiteral("Files: %1: %2\n")
                    .arg(folder.counts.files())
                    .arg(countsText(folder.counts));
    if (stopped)
        text += QStringLiteral("Stopped before its end: the files marked \"not done\" were not "
                               "anonymized.\n");

    if (!method.shard.whole())
        text += QStringLiteral("Shard %1 of %2: this report lists the files of this shard only.\n")
                        .arg(method.shard.index)
                        .arg(method.shard.count);
    text += QStringLiteral("\nStandard clean-up (DICOM PS3.15 Basic Confidentiality Profile): %1\n")
                    .arg(method.standard ? QStringLiteral("on") : QStringLiteral("off"));
    if (method.standard) {
        text += QStringLiteral("  Patient ID and name: a keyed pseudonym per patient\n");
        text += QStringLiteral("  Method: %1 (DCM %2)\n")
                        .arg(QLatin1String(StandardOptions::profileTitle),
                             QLatin1String(StandardOptions::profileCode));
        for (const StandardOptions::Info &info : StandardOptions::all()) {
            if (method.options & info.option)
                text += QStringLiteral("  Option: %1 (DCM %2, --option %3)\n")
                                .arg(QLatin1String(info.title), QLatin1String(info.code),
                                     QLatin1String(info.name));
        }
    }
    if (method.rename)
        text += QStringLiteral(
                "Copies named from the data: <pseudonym>/<study>/<series>-<modality>/"
                "<instance>.dcm\n");
    text += QStringLiteral("\nProfile as used (enabled entries and their replacement texts):\n");
    for (auto it = profile.begin(); it != profile.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        if (!entry.value(QLatin1String("enabled")).toBool(false))
            continue;
        text += QStringLiteral("  %1 %2: \"%3\"\n")
                        .arg(tagText(entry), it.key(), oneLine(TagProfile::replacementText(entry)));
    }

    text += QStringLiteral("\nFiles (path below the dropped folder: status):\n");
    return text;
}

bool writeText(const QString &path, const QString &text, QString *error)
{
    OutputFile out(path);
    if (!out.open()) {
        if (error)
            *error = out.errorString();
        return false;
    }
    const QByteArray bytes = text.toUtf8();
    out.stream().write(bytes.constData(), bytes.size());
    if (!out.commit()) {
        if (error)
            *error = out.errorString();
        return false;
    }
    return true;
}

} // namespace JobReport
