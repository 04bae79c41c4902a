#include "engine/job/jobplan.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <QUrl>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace JobPlan {

namespace {

struct Folder
{
    QString path; // absolute, cleaned, no trailing separator
    QString output;
};

QString outputCandidate(const QFileInfo &folder, const QString &name)
{
    return folder.absolutePath() + QLatin1Char('/') + name + QLatin1String(outputSuffix);
}

// Folder names as a case-insensitive file system compares them: there CT_depersonification
// and ct_depersonification are one folder.
QString nameKey(const QString &path)
{
    return path.toCaseFolded();
}

// An output folder that an earlier job made for another dropped folder: its report says so.
// Adding to it would mix two inputs' copies under one report, which the next job replaces.
bool madeForAnother(const QString &output, const QString &folder)
{
    const QString reported = reportedInput(output);
    if (reported.isEmpty() || reported == folder)
        return false;
    const QString canonical = QFileInfo(reported).canonicalFilePath();
    return canonical.isEmpty() || canonical != QFileInfo(folder).canonicalFilePath();
}

// The first free output folder for `folder`. `taken` holds the name keys of the output folders
// given out so far in this job and of the dropped folders themselves.
QString freeOutputFolder(const QString &folder, const QSet<QString> &taken)
{
    const auto isFree = [&](const QString &candidate) {
        return !taken.contains(nameKey(candidate)) && !madeForAnother(candidate, folder);
    };
    const QFileInfo info(folder);
    const QString base = outputCandidate(info, info.fileName().section(QLatin1Char('.'), 0, 0));
    if (isFree(base))
        return base;
    const QString whole = outputCandidate(info, info.fileName());
    if (isFree(whole))
        return whole;
    for (int n = 2;; ++n) {
        const QString numbered = whole + QLatin1Char('_') + QString::number(n);
        if (isFree(numbered))
            return numbered;
    }
}

// The system's text for errno, as the rest of our reasons: "permission denied".
QString systemReason(int error)
{
    QString text = QString::fromLocal8Bit(std::strerror(error));
    if (!text.isEmpty())
        text[0] = text.at(0).toLower();
    return text;
}

bool canList(const QFileInfo &folder)
{
    return folder.isReadable() && folder.isExecutable();
}

// Why an entry that is neither a file nor a folder (nor a link to one) is left out.
QString notAFileReason(const QFileInfo &info)
{
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(info.filePath()).constData(), &st) != 0)
        return QStringLiteral("a link to nothing");
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("a FIFO, not a file");
    if (S_ISSOCK(st.st_mode))
        return QStringLiteral("a socket, not a file");
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return QStringLiteral("a device, not a file");
#endif
    if (info.isSymLink() && !info.exists())
        return QStringLiteral("a link to nothing");
    return QStringLiteral("not a regular file");
}

FileOutcome settledEntry(const QString &input, const QString &output, FileOutcome::Status status,
                         const QString &reason)
{
    FileOutcome outcome;
    outcome.status = status;
    outcome.input = input;
    outcome.output = output;
    outcome.reason = reason;
    return outcome;
}

const QString cannotList = QStringLiteral("cannot read: permission denied");

// Lists one dropped folder into `lists` as root `root`, folder by folder, without following
// links to folders.
void listFolder(const Folder &folder, int root, FileLists &lists)
{
    if (!canList(QFileInfo(folder.path))) {
        lists.settled.append(
                settledEntry(folder.path, folder.output, FileOutcome::Status::Failed, cannotList));
        return;
    }
    // Paths below the folder, from the folder itself: never a text search for the folder's
    // path, which may recur further down the tree.
    QStringList pending{ QString() };
    while (!pending.isEmpty()) {
        const QString below = pending.takeLast();
        const QString dir = below.isEmpty() ? folder.path : folder.path + QLatin1Char('/') + below;
        QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        while (it.hasNext()) {
            const QString entry = it.next();
            const QFileInfo info = it.fileInfo();
            const QString relative
                    = below.isEmpty() ? it.fileName() : below + QLatin1Char('/') + it.fileName();
            const QString output = folder.output + QLatin1Char('/') + relative;
            const auto skip = [&](const QString &reason) {
                lists.settled.append(
                        settledEntry(entry, output, FileOutcome::Status::Skipped, reason));
            };
            if (info.isHidden()) {
                skip(info.isDir() ? QStringLiteral("a hidden folder")
                                  : QStringLiteral("a hidden file"));
            } else if (info.isDir()) {
                if (info.isSymLink())
                    skip(QStringLiteral("a link to a folder, not followed"));
                else if (canList(info))
                    pending.append(relative);
                else
                    lists.settled.append(
                            settledEntry(entry, output, FileOutcome::Status::Failed, cannotList));
            } else if (!info.isFile()) {
                skip(notAFileReason(info));
            } else if (it.fileName().compare(QLatin1String("dicomdir"), Qt::CaseInsensitive) == 0) {
                skip(QStringLiteral("a DICOMDIR, left out by design"));
            } else {
                lists.files.append(root, relative);
            }
        }
    }
}

} // namespace

QString reportPath(const QString &outputFolder)
{
    return outputFolder + QLatin1String(".report.txt");
}

QString reportedInput(const QString &outputFolder)
{
    QFile report(reportPath(outputFolder));
    if (!report.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    // The name is among the first lines; a report is never read whole for it.
    for (int line = 0; line < 8 && !report.atEnd(); ++line) {
        const QString text = QString::fromUtf8(report.readLine(64 * 1024)).chopped(1);
        if (text.startsWith(QLatin1String(reportInputLabel)))
            return text.mid(int(std::strlen(reportInputLabel)));
    }
    return {};
}

QString cannotCreate(const QString &outputFolder)
{
#ifdef Q_OS_UNIX
    QFileInfo info(outputFolder);
    if (info.exists() || info.isSymLink())
        return {};
    // The nearest folder that exists is where the first new one would be made.
    QString parent = info.absolutePath();
    while (!QFileInfo::exists(parent) && !QDir(parent).isRoot())
        parent = QFileInfo(parent).absolutePath();
    if (::access(QFile::encodeName(parent).constData(), W_OK | X_OK) == 0)
        return {};
    return QStringLiteral("cannot create %1: %2").arg(outputFolder, systemReason(errno));
#else
    Q_UNUSED(outputFolder);
    return {};
#endif
}

void forEachFileBelow(const QString &folder, const std::function<void(const QString &)> &each)
{
    const QDir root(folder);
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        each(root.relativeFilePath(it.next()));
}

int maxWorkers()
{
    return 4 * QThread::idealThreadCount();
}

QString folderOfPiece(const QString &piece)
{
    // A list joined with CR LF leaves a CR at the end of each piece.
    const QString url = piece.endsWith(QLatin1Char('\r')) ? piece.chopped(1) : piece;
    if (url.isEmpty())
        return {};
    return usableFolder(QUrl(url, QUrl::TolerantMode).toLocalFile());
}

QStringList foldersOfPieces(const QStringList &pieces)
{
    QStringList folders;
    for (const QString &piece : pieces) {
        const QString folder = folderOfPiece(piece);
        if (!folder.isEmpty())
            folders.append(folder);
    }
    return folders;
}

QString usableFolder(const QString &path)
{
    if (path.isEmpty())
        return {};
    const QFileInfo info(path);
    if (!info.isDir())
        return {};
    const QString absolute = QDir::cleanPath(info.absoluteFilePath());
    if (QDir(absolute).isRoot())
        return {};
    return absolute;
}

FileLists listFolders(const QStringList &folderPaths)
{
    QList<Folder> folders;
    QSet<QString> seen; // canonical paths: a folder named twice (or through a link) once
    QSet<QString> taken;
    for (const QString &folderPath : folderPaths) {
        const QString path = usableFolder(folderPath);
        if (path.isEmpty())
            continue;
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (seen.contains(canonical))
            continue;
        seen.insert(canonical);
        folders.append({ path, QString() });
        taken.insert(nameKey(path));
    }
    for (Folder &folder : folders) {
        folder.output = freeOutputFolder(folder.path, taken);
        taken.insert(nameKey(folder.output));
    }

    FileLists lists;
    for (const Folder &folder : folders) {
        const QDir output(folder.output);
        const QString failure = cannotCreate(folder.output);
        lists.folders.append({ folder.path, folder.output,
                               output.exists()
                                       && !output.isEmpty(QDir::AllEntries | QDir::Hidden
                                                          | QDir::System | QDir::NoDotAndDotDot),
                               failure });
        const qsizetype first = lists.files.size();
        listFolder(folder, lists.files.addRoot(folder.path, folder.output), lists);
        if (failure.isEmpty())
            continue;
        // No worker could write them: each fails at once with the folder's reason, instead of
        // every file failing on its own with a reason that hides the cause.
        for (qsizetype i = first; i < lists.files.size(); ++i)
            lists.settled.append(settledEntry(lists.files.input(i), lists.files.output(i),
                                              FileOutcome::Status::Failed, failure));
        lists.files.truncate(first);
    }
    lists.files.squeeze();
    return lists;
}

QList<Block> splitBlocks(qsizetype n, int workers)
{
    const int w = workers < 1 ? 1 : workers;
    QList<Block> blocks(w);
    for (qsizetype i = 0; i < n; ++i) {
        const auto k = static_cast<qsizetype>(double(w) * double(i) / double(n));
        if (blocks[k].count == 0)
            blocks[k].first = i;
        ++blocks[k].count;
    }
    return blocks;
}

int shardOf(const QString &pathBelow, int count)
{
    if (count <= 1)
        return 1;
    const QByteArray digest
            = QCryptographicHash::hash(pathBelow.toUtf8(), QCryptographicHash::Sha256);
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | static_cast<unsigned char>(digest.at(i));
    return static_cast<int>(value % static_cast<quint64>(count)) + 1;
}

void keepShard(FileLists &lists, const Shard &shard)
{
    if (shard.whole())
        return;
    // A skipped entry's path below the dropped folder: its output's, below the longest output
    // folder that holds it.
    const auto shardOfOutput = [&lists, &shard](const QString &output) {
        qsizetype longest = -1;
        for (const OutputFolder &folder : std::as_const(lists.folders)) {
            const QString &root = folder.output;
            if (output.size() > root.size() && output.startsWith(root)
                && output.at(root.size()) == QLatin1Char('/') && root.size() > longest)
                longest = root.size();
        }
        return shardOf(longest < 0 ? output : output.mid(longest + 1), shard.count);
    };
    lists.files.keepIf([&lists, &shard](qsizetype i) {
        return shardOf(lists.files.relative(i), shard.count) == shard.index;
    });
    lists.files.squeeze();
    lists.settled.removeIf([&](const FileOutcome &outcome) {
        return outcome.status == FileOutcome::Status::Skipped
                && shardOfOutput(outcome.output) != shard.index;
    });
}

} // namespace JobPlan
