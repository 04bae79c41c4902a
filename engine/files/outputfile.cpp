#include "engine/files/outputfile.h"

#include "engine/files/keptbuffer.h"
#include "engine/files/rangecopy.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>
#include <streambuf>
#include <system_error>

namespace {

std::filesystem::path nativePath(const QString &path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

} // namespace

// The bytes of one copy kept in memory until they are written at once: a buffer each thread
// keeps from file to file, grown as a copy needs it. Lent to one user at a time; a second user
// on the same thread meanwhile gets none (and its copy is written as it comes).
class KeptBytes
{
public:
    KeptBytes()
    {
        if (!lent()) {
            lent() = true;
            m_lent = true;
        }
    }
    ~KeptBytes()
    {
        if (m_lent)
            lent() = false;
    }
    KeptBytes(const KeptBytes &) = delete;
    KeptBytes &operator=(const KeptBytes &) = delete;

    bool available() const { return m_lent; }
    char *data() const { return storage().data.get(); }
    std::size_t capacity() const { return storage().capacity; }

    // Makes room for at least `size` bytes, the first `used` of them kept. False when there is
    // no memory for it (the buffer is then as it was).
    bool reserve(std::size_t size, std::size_t used)
    {
        Storage &kept = storage();
        if (size <= kept.capacity)
            return true;
        std::unique_ptr<char[]> grown(new (std::nothrow) char[size]);
        if (!grown)
            return false;
        if (used > 0)
            std::memcpy(grown.get(), kept.data.get(), used);
        kept.data = std::move(grown);
        kept.capacity = size;
        return true;
    }

private:
    struct Storage
    {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
    };
    static Storage &storage()
    {
        thread_local Storage kept;
        return kept;
    }
    static bool &lent()
    {
        thread_local bool isLent = false;
        return isLent;
    }

    bool m_lent = false;
};

// A write-only stream buffer onto an unbuffered QFile. Small writes are gathered in one
// buffer; a write at least as large as the buffer (pixel data) goes to the file directly,
// without another copy. While it keeps a copy (keep()), every byte stays in memory instead,
// and reaches the file only in writeOut().
class OutputFile::StreamBuffer : public std::streambuf
{
public:
    // The buffer is left uninitialised: it is written before it is read. Each thread keeps
    // one from file to file.
    explicit StreamBuffer(QFile &file) : m_file(file), m_data(m_buffer.data())
    {
        setp(m_data, m_data ? m_data + bufferSize : nullptr);
    }
    StreamBuffer(const StreamBuffer &) = delete;
    StreamBuffer &operator=(const StreamBuffer &) = delete;

    bool hasBuffer() const { return m_data != nullptr; }
    bool failed() const { return m_failed; }
    // The system's word on the failed write (closing the file clears the file's own).
    QString errorString() const { return m_error; }

    // Keeps what is written from now on in memory, up to `limit` bytes. Only before anything
    // was written; without memory for it nothing is kept.
    void keep(qint64 limit)
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

    OutputFile::Bytes kept() const
    {
        if (!m_keeping)
            return {};
        return { pbase(), qint64(pptr() - pbase()) };
    }

    // Writes to the file whatever is still only in memory. Kept bytes stay readable through
    // kept(); nothing may be written after them.
    bool writeOut()
    {
        if (!m_keeping)
            return flushBuffer();
        const qint64 pending = (pptr() - pbase()) - m_keptWritten;
        const bool ok = writeAll(pbase() + m_keptWritten, pending);
        m_keptWritten += pending;
        return ok;
    }

    // Writes what was kept and goes on writing bytes as they come.
    bool stopKeeping()
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

    // `n` bytes were added to the file past this buffer (a copied range).
    void appended(qint64 n) { m_written += n; }

protected:
    int_type overflow(int_type c) override
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

    std::streamsize xsputn(const char *data, std::streamsize n) override
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

    // The bytes kept in memory wait for writeOut(): a flush from GDCM is no reason to write.
    int sync() override
    {
        if (m_keeping)
            return m_failed ? -1 : 0;
        return flushBuffer() ? 0 : -1;
    }

    // Only the current position can be asked for (tellp); nothing is sought.
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override
    {
        if (off != 0 || dir != std::ios_base::cur || !(which & std::ios_base::out))
            return pos_type(off_type(-1));
        return pos_type(m_written + (pptr() - pbase()));
    }

private:
    static constexpr size_t bufferSize = 128 * 1024;

    void put(const char *data, std::streamsize n)
    {
        std::memcpy(pptr(), data, static_cast<size_t>(n));
        pbump(static_cast<int>(n));
    }

    // Room for `n` more kept bytes, the buffer grown within the limit; false beyond it.
    bool grow(std::size_t n)
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

    bool writeAll(const char *data, qint64 n)
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

    bool flushBuffer()
    {
        const qint64 pending = pptr() - pbase();
        const bool ok = writeAll(pbase(), pending);
        setp(m_data, m_data + bufferSize);
        return ok;
    }

    QFile &m_file;
    KeptBuffer<bufferSize> m_buffer;
    char *m_data; // null when no memory was left for the buffer
    qint64 m_written = 0; // bytes in the file
    bool m_failed = false;
    QString m_error;
    // While a copy is kept in memory: its buffer, its limit, and how much of it is written.
    std::unique_ptr<KeptBytes> m_kept;
    std::size_t m_keepLimit = 0;
    bool m_keeping = false;
    qint64 m_keptWritten = 0;
};

OutputFile::OutputFile(const QString &finalPath) : m_finalPath(finalPath) { }

OutputFile::~OutputFile()
{
    if (!m_committed)
        discard();
}

bool OutputFile::open()
{
    const QFileInfo info(m_finalPath);
    // The start of the name only, so that a final name near the file system's limit still
    // leaves room for the temporary one.
    const QString stem = info.absolutePath() + QLatin1String("/.") + info.fileName().left(32)
            + QLatin1Char('.');
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString suffix = QString::number(QRandomGenerator::global()->generate(), 16);
        m_file.setFileName(stem + suffix + QLatin1String(".part"));
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            m_buffer = std::make_unique<StreamBuffer>(m_file);
            if (!m_buffer->hasBuffer()) {
                setError(QStringLiteral("out of memory"));
                m_buffer.reset();
                discard();
                return false;
            }
            m_stream = std::make_unique<std::ostream>(m_buffer.get());
            return true;
        }
        // Only a name already in use is worth another try.
        if (!QFileInfo::exists(m_file.fileName()))
            break;
    }
    setError(m_file.errorString());
    m_file.setFileName(QString());
    return false;
}

std::ostream &OutputFile::stream()
{
    Q_ASSERT(m_stream);
    return *m_stream;
}

void OutputFile::keepWritten(qint64 limit)
{
    if (m_buffer && !m_finished)
        m_buffer->keep(limit);
}

OutputFile::Bytes OutputFile::kept() const
{
    return m_buffer ? m_buffer->kept() : Bytes{};
}

bool OutputFile::appendRange(int from, qint64 offset, qint64 length)
{
    if (!m_stream || m_finished || m_file.fileName().isEmpty()) {
        setError(QStringLiteral("the temporary file is not open"));
        return false;
    }
    m_stream->flush();
    QString why;
    if (!m_buffer->stopKeeping() || !m_stream->good() || m_buffer->failed()) {
        why = m_buffer->errorString();
    } else if (RangeCopy::copy(from, offset, int(m_file.handle()), length, &why)) {
        m_buffer->appended(length);
        return true;
    }
    m_appendFailed = true;
    setError(why);
    return false;
}

bool OutputFile::finish()
{
    if (m_finished)
        return true;
    if (!m_stream || m_file.fileName().isEmpty())
        return false;
    m_stream->flush();
    const bool flushed = m_buffer->writeOut();
    const bool written = flushed && m_stream->good() && !m_buffer->failed() && !m_appendFailed;
    m_file.close();
    if (!written || m_file.error() != QFileDevice::NoError) {
        if (!m_appendFailed)
            setError(m_buffer->failed() ? m_buffer->errorString() : m_file.errorString());
        discard();
        return false;
    }
    m_finished = true;
    return true;
}

bool OutputFile::commit()
{
    if (!finish())
        return false;
    std::error_code error;
    std::filesystem::rename(nativePath(m_file.fileName()), nativePath(m_finalPath), error);
    if (error) {
        setError(QString::fromStdString(error.message()));
        discard();
        return false;
    }
    m_committed = true;
    return true;
}

QString OutputFile::streamErrorString() const
{
    if (!m_buffer || !m_buffer->failed())
        return QString();
    QString error = m_buffer->errorString();
    if (error.isEmpty())
        return QStringLiteral("unknown error");
    error[0] = error.at(0).toLower();
    return error;
}

void OutputFile::setError(const QString &text)
{
    m_error = text.isEmpty() ? QStringLiteral("unknown error") : text;
    m_error[0] = m_error.at(0).toLower();
}

void OutputFile::discard()
{
    if (m_file.fileName().isEmpty())
        return;
    m_file.close();
    m_file.remove();
    m_file.setFileName(QString());
    m_finished = false;
}
