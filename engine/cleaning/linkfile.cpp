#include "engine/cleaning/linkfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The folder a path names, with its links resolved, as far as it exists.
QString canonicalFolder(const QString &path)
{
    QFileInfo info(path);
    QString existing = info.absoluteFilePath();
    QString rest;
    while (!QFileInfo::exists(existing) && existing != QLatin1String("/")) {
        rest = QLatin1Char('/') + QFileInfo(existing).fileName() + rest;
        existing = QFileInfo(existing).absolutePath();
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return QDir::cleanPath((canonical.isEmpty() ? existing : canonical) + rest);
}

bool isWithin(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

const char *kindText(Cleanup::Link::Kind kind)
{
    switch (kind) {
    case Cleanup::Link::Kind::PatientId:
        return "patient-id";
    case Cleanup::Link::Kind::PatientIdIssuer:
        return "patient-id-issuer";
    case Cleanup::Link::Kind::Uid:
        return "uid";
    case Cleanup::Link::Kind::DateOffset:
        return "date-offset-days";
    }
    return "";
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

LinkFile::~LinkFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString LinkFile::refusal(const QString &path, const QStringList &droppedFolders)
{
    const QString file = canonicalFolder(path);
    const QString folder = QFileInfo(file).path();
    if (QFileInfo(file).isDir())
        return QStringLiteral("%1 is a folder").arg(path);
    for (const QString &dropped : droppedFolders) {
        const QString input = canonicalFolder(dropped);
        if (isWithin(file, input))
            return QStringLiteral("%1 lies inside the dropped folder %2").arg(path, dropped);
        if (folder == QFileInfo(input).path())
            return QStringLiteral("%1 lies beside the dropped folder and its copies").arg(path);
    }
    // Output folders are all named after the dropped folders, with this suffix.
    for (QString up = folder; !up.isEmpty() && up != QLatin1String("/");
         up = QFileInfo(up).path()) {
        if (QFileInfo(up).fileName().contains(QLatin1String("_depersonification")))
            return QStringLiteral("%1 lies inside an output folder").arg(path);
    }
    return {};
}

bool LinkFile::open(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) {
        *error = systemError(errno);
        return false;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()
        || ::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        *error = QStringLiteral("not a regular file of this user's that can be made private");
        ::close(fd);
        return false;
    }
    if (st.st_size == 0) {
        static const char header[] = "copy,kind,element,original,new\n";
        if (::write(fd, header, sizeof header - 1) != static_cast<ssize_t>(sizeof header - 1)) {
            *error = systemError(errno);
            ::close(fd);
            return false;
        }
    }
    m_fd = fd;
    return true;
}

QByteArray LinkFile::field(const QByteArray &text)
{
    const bool quote = text.contains(',') || text.contains('"') || text.contains('\n')
            || text.contains('\r') || text.startsWith(' ') || text.endsWith(' ');
    if (!quote)
        return text;
    QByteArray quoted = text;
    quoted.replace('"', "\"\"");
    return '"' + quoted + '"';
}

bool LinkFile::append(const QString &copy, const std::vector<Cleanup::Link> &links, QString *error)
{
    QByteArray rows;
    const QByteArray copyField = field(copy.toUtf8());
    for (const Cleanup::Link &link : links) {
        rows += copyField + ',' + kindText(link.kind) + ','
                + field(QByteArray::fromStdString(link.element)) + ','
                + field(QByteArray::fromStdString(link.original)) + ','
                + field(QByteArray::fromStdString(link.replacement)) + '\n';
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0) {
        *error = QStringLiteral("the link file is not open");
        return false;
    }
    // One write per copy: with O_APPEND its rows stay together, whatever the other workers do.
    qsizetype done = 0;
    while (done < rows.size()) {
        const ssize_t n
                = ::write(m_fd, rows.constData() + done, static_cast<size_t>(rows.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = systemError(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += n;
    }
    return true;
}
