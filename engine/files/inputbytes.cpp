#include "engine/files/inputbytes.h"

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString cannotRead(QString why)
{
    if (why.isEmpty())
        return QStringLiteral("cannot read");
    why[0] = why.at(0).toLower();
    return QStringLiteral("cannot read: ") + why;
}

#ifdef Q_OS_UNIX
QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// The whole of [0, size) of `fd` into `buffer`; false on a read error or a file that ended
// early.
bool readAll(int fd, char *buffer, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, buffer + done, size_t(size - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}
#endif

} // namespace

InputBytes::~InputBytes()
{
    close();
}

void InputBytes::close()
{
#ifdef Q_OS_UNIX
    if (m_map)
        ::munmap(m_map, size_t(m_size));
    m_map = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
#else
    m_file.close(); // unmaps
#endif
    m_whole.clear();
    m_kept.reset();
    m_data = nullptr;
    m_size = 0;
    m_mapped = false;
}

int InputBytes::handle() const
{
#ifdef Q_OS_UNIX
    return m_fd;
#else
    return m_file.isOpen() ? m_file.handle() : -1;
#endif
}

bool InputBytes::open(const QString &path, QString *reason)
{
    close();
    const auto failed = [this, reason](const QString &why) {
        if (reason)
            *reason = why;
        close();
        return false;
    };
#ifdef Q_OS_UNIX
    const QByteArray native = QFile::encodeName(path);
    do {
        m_fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0)
        return failed(cannotRead(systemError(errno)));
    struct stat status;
    if (::fstat(m_fd, &status) != 0)
        return failed(cannotRead(systemError(errno)));
    if (S_ISDIR(status.st_mode))
        return failed(cannotRead(systemError(EISDIR)));
    m_size = qint64(status.st_size);
#else
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly))
        return failed(cannotRead(m_file.errorString()));
    m_size = m_file.size();
#endif
    if (m_size == 0)
        return true;
    if (m_size <= qint64(readWholeBelow)) {
        m_kept.emplace();
        char *buffer = m_kept->data();
        if (buffer) {
#ifdef Q_OS_UNIX
            if (!readAll(m_fd, buffer, m_size))
                return failed(QStringLiteral("cannot read"));
#else
            if (m_file.read(buffer, m_size) != m_size)
                return failed(QStringLiteral("cannot read"));
#endif
            m_data = buffer;
            return true;
        }
        m_kept.reset();
    }
#ifdef Q_OS_UNIX
    void *map = ::mmap(nullptr, size_t(m_size), PROT_READ, MAP_PRIVATE, m_fd, 0);
    if (map != MAP_FAILED) {
        m_map = map;
        m_data = static_cast<const char *>(map);
        m_mapped = true;
        return true;
    }
#else
    if (const uchar *map = m_file.map(0, m_size)) {
        m_data = reinterpret_cast<const char *>(map);
        m_mapped = true;
        return true;
    }
#endif
    return readWhole() || failed(QStringLiteral("cannot read"));
}

bool InputBytes::readWhole()
{
#ifdef Q_OS_UNIX
    m_whole.resize(m_size);
    if (m_whole.size() != m_size || ::lseek(m_fd, 0, SEEK_SET) != 0
        || !readAll(m_fd, m_whole.data(), m_size))
        return false;
#else
    m_whole = m_file.readAll();
    if (m_whole.size() != m_size)
        return false;
#endif
    m_data = m_whole.constData();
    return true;
}
