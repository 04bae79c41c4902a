#include "engine/files/rangecopy.h"

#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <memory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sendfile.h>
#endif

namespace RangeCopy {

namespace {

// Kernel copies are asked for at most this much at a time, so that every call returns in a
// bounded time and a short count is never mistaken for the whole.
constexpr qint64 chunkSize = qint64(1) << 30;
constexpr size_t bufferSize = 1u << 20;

bool setError(QString *error, int code)
{
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(code));
    return false;
}

#ifdef Q_OS_LINUX
// Errors that say the system cannot copy between these two files this way, before it wrote
// anything; another way may still work.
bool unsupported(int code)
{
    return code == ENOSYS || code == EXDEV || code == EINVAL || code == EOPNOTSUPP
            || code == ENOTSUP || code == EBADF || code == ETXTBSY;
}
#endif

#ifdef Q_OS_UNIX
// One read of up to `size` bytes at `offset` through `buffer`, written whole to `to`: the bytes
// copied, or -1 with `code` set. A write that fails after part of the read went out fails the
// copy: no other method can take over from there.
qint64 copyThroughBuffer(int from, qint64 offset, int to, qint64 size, char *buffer, int &code)
{
    const ssize_t got = ::pread(from, buffer, size_t(size), off_t(offset));
    if (got < 0) {
        code = errno;
        return -1;
    }
    qint64 done = 0;
    while (done < got) {
        const ssize_t put = ::write(to, buffer + done, size_t(got - done));
        if (put < 0) {
            if (errno == EINTR)
                continue;
            code = errno;
            return -1;
        }
        done += put;
    }
    return done;
}
#endif

} // namespace

bool copy(int from, qint64 offset, int to, qint64 length, QString *error, Method first)
{
    if (offset < 0 || length < 0)
        return setError(error, EINVAL);
    Method method = first;
    std::unique_ptr<char[]> buffer;
    while (length > 0) {
        const qint64 chunk = qMin(length, chunkSize);
        qint64 done = -1;
        int code = 0;
#ifdef Q_OS_LINUX
        if (method == Method::CopyFileRange) {
            off64_t in = offset;
            done = ::copy_file_range(from, &in, to, nullptr, size_t(chunk), 0);
            code = errno;
            if (done < 0 && unsupported(code)) {
                method = Method::Sendfile;
                continue;
            }
        } else if (method == Method::Sendfile) {
            off_t in = offset;
            done = ::sendfile(to, from, &in, size_t(chunk));
            code = errno;
            if (done < 0 && unsupported(code)) {
                method = Method::Buffered;
                continue;
            }
        } else
#endif
#ifdef Q_OS_UNIX
        {
            if (!buffer)
                buffer.reset(new char[bufferSize]);
            done = copyThroughBuffer(from, offset, to, qMin<qint64>(chunk, bufferSize),
                                     buffer.get(), code);
            if (done < 0 && code != EINTR)
                return setError(error, code);
        }
#else
        Q_UNUSED(from);
        Q_UNUSED(to);
        Q_UNUSED(method);
        return setError(error, ENOSYS);
#endif
        if (done < 0) {
            if (code == EINTR)
                continue;
            return setError(error, code);
        }
        if (done == 0) {
            if (error)
                *error = QStringLiteral("the input ended before its pixel data");
            return false;
        }
        offset += done;
        length -= done;
    }
    return true;
}

} // namespace RangeCopy
