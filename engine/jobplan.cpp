#include "engine/jobplan.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>
#include <QUrl>

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

// The first free output folder for `folder`. `taken` holds the name keys of the output folders
// given out so far in this job and of the dropped folders themselves.
QString freeOutputFolder(const QString &folder, const QSet<QString> &taken)
{
    const QFileInfo info(folder);
    const QString base = outputCandidate(info, info.fileName().section(QLatin1Char('.'), 0, 0));
    if (!taken.contains(nameKey(base)))
        return base;
    const QString whole = outputCandidate(info, info.fileName());
    if (!taken.contains(nameKey(whole)))
        return whole;
    for (int n = 2;; ++n) {
        const QString numbered = whole + QLatin1Char('_') + QString::number(n);
        if (!taken.contains(nameKey(numbered)))
            return numbered;
    }
}

} // namespace

QString folderOfPiece(const QString &piece)
{
    // A list joined with CR LF leaves a CR at the end of each piece.
    const QString url = piece.endsWith(QLatin1Char('\r')) ? piece.chopped(1) : piece;
    if (url.isEmpty())
        return {};
    const QString local = QUrl(url, QUrl::TolerantMode).toLocalFile();
    if (local.isEmpty())
        return {};
    const QFileInfo info(local);
    if (!info.isDir())
        return {};
    const QString path = QDir::cleanPath(info.absoluteFilePath());
    if (QDir(path).isRoot())
        return {};
    return path;
}

FileLists listFolders(const QStringList &pieces)
{
    QList<Folder> folders;
    QSet<QString> seen; // canonical paths: a folder named twice (or through a link) once
    QSet<QString> taken;
    for (const QString &piece : pieces) {
        const QString path = folderOfPiece(piece);
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
        const QString prefix = folder.path + QLatin1Char('/');
        QDirIterator it(folder.path, { QStringLiteral("*") },
                        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString entry = it.next();
            if (it.fileInfo().isDir()) {
                // A folder that cannot be listed would drop its files without a word: it
                // becomes an entry of its own, which fails like an unreadable file.
                if (it.fileInfo().isSymLink()
                    || (it.fileInfo().isReadable() && it.fileInfo().isExecutable()))
                    continue;
            } else if (it.fileName().compare(QLatin1String("dicomdir"), Qt::CaseInsensitive) == 0) {
                continue;
            }
            // The path below the folder, from the folder itself: never a text search for
            // the folder's path, which may recur further down the tree.
            const QString below = entry.startsWith(prefix)
                    ? entry.mid(prefix.size())
                    : QDir(folder.path).relativeFilePath(entry);
            lists.inputs.append(entry);
            lists.outputs.append(folder.output + QLatin1Char('/') + below);
        }
    }
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

} // namespace JobPlan
