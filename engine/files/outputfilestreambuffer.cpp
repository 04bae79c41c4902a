#include "engine/files/outputfilestreambuffer.h"

#include <algorithm>
#include <cstring>

OutputFile::StreamBuffer::StreamBuffer(QFile &file) : m_file(file), m_data(m_buffer.data())
{
    setp(m_data, m_data ? m_data + bufferSize : nullptr);
}

void OutputFile::StreamBuffer::keep(qint64 limit)
{
    if (m_keeping || m_written != 0 || pptr() != pbase() || limit <= 0)
        return;
    m_kept = std::make_unique<KeptBytes>();
    const std::size_t first = std::min<std::size_t>(std::size_t(limit), bufferSize);
    if (!m_kept->available() || !m_kept->reserve(first, 0)) {
        m_kept.reset();
        return;
    }
    m_keepLimit = std::size_t(limit);
    m_keeping = true;
    setp(m_kept->data(), m_kept->data() + std::min(m_kept->capacity(), m_keepLimit));
}

OutputFile::Bytes OutputFile::StreamBuffer::kept() const
{
    if (!m_keeping)
        return {};
    return { pbase(), qint64(pptr() - pbase()) };
}

bool OutputFile::StreamBuffer::writeOut()
{
    if (!m_keeping)
        return flushBuffer();
    const qint64 pending = (pptr() - pbase()) - m_keptWritten;
    const bool ok = writeAll(pbase() + m_keptWritten, pending);
    m_keptWritten += pending;
    return ok;
}

bool OutputFile::StreamBuffer::stopKeeping()
{
    if (!m_keeping)
        return flushBuffer();
    const bool ok = writeOut();
    m_keeping = false;
    m_keptWritten = 0;
    m_kept.reset();
    setp(m_data, m_data + bufferSize);
    return ok;
}

OutputFile::StreamBuffer::int_type OutputFile::StreamBuffer::overflow(int_type c)
{
    if (m_keeping && !grow(1) && !stopKeeping())
        return traits_type::eof();
    if (!m_keeping && pptr() == epptr() && !flushBuffer())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize OutputFile::StreamBuffer::xsputn(const char *data, std::streamsize n)
{
    if (m_keeping) {
        if (grow(std::size_t(n))) {
            put(data, n);
            return n;
        }
        if (!stopKeeping())
            return 0;
    }
    if (n < epptr() - pptr()) {
        put(data, n);
        return n;
    }
    if (!flushBuffer())
        return 0;
    if (n < static_cast<std::streamsize>(bufferSize)) {
        put(data, n);
        return n;
    }
    return writeAll(data, n) ? n : 0;
}

int OutputFile::StreamBuffer::sync()
{
    if (m_keeping)
        return m_failed ? -1 : 0;
    return flushBuffer() ? 0 : -1;
}

OutputFile::StreamBuffer::pos_type OutputFile::StreamBuffer::seekoff(off_type off,
                                                                     std::ios_base::seekdir dir,
                                                                     std::ios_base::openmode which)
{
    if (off != 0 || dir != std::ios_base::cur || !(which & std::ios_base::out))
        return pos_type(off_type(-1));
    return pos_type(m_written + (pptr() - pbase()));
}

void OutputFile::StreamBuffer::put(const char *data, std::streamsize n)
{
    std::memcpy(pptr(), data, static_cast<size_t>(n));
    pbump(static_cast<int>(n));
}

bool OutputFile::StreamBuffer::grow(std::size_t n)
{
    const std::size_t used = std::size_t(pptr() - pbase());
    if (n <= std::size_t(epptr() - pptr()))
        return true;
    if (n > m_keepLimit - used)
        return false;
    const std::size_t size = std::max(used + n, std::min(m_keepLimit, 2 * m_kept->capacity()));
    if (!m_kept->reserve(size, used))
        return false;
    setp(m_kept->data(), m_kept->data() + std::min(m_kept->capacity(), m_keepLimit));
    pbump(static_cast<int>(used));
    return true;
}

bool OutputFile::StreamBuffer::writeAll(const char *data, qint64 n)
{
    if (m_failed)
        return false;
    while (n > 0) {
        const qint64 written = m_file.write(data, n);
        if (written <= 0) {
            m_failed = true;
            m_error = m_file.errorString();
            return false;
        }
        data += written;
        n -= written;
        m_written += written;
    }
    return true;
}

bool OutputFile::StreamBuffer::flushBuffer()
{
    const qint64 pending = pptr() - pbase();
    const bool ok = writeAll(pbase(), pending);
    setp(m_data, m_data + bufferSize);
    return ok;
}
