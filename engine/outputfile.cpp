#include "engine/outputfile.h"

#include "engine/keptbuffer.h"
#include "engine/rangecopy.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <cstring>
#include <filesystem>
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

// A write-only stream buffer onto an unbuffered QFile. Small writes are gathered in one
// buffer; a write at least as large as the buffer (pixel data) goes to the file directly,
// without another copy.
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

protected:
    int_type overflow(int_type c) override
    {
        if (!flushBuffer())
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }

    std::streamsize xsputn(const char *data, std::streamsize n) override
    {
        if (n < epptr() - pptr()) {
            std::memcpy(pptr(), data, static_cast<size_t>(n));
            pbump(static_cast<int>(n));
            return n;
        }
        if (!flushBuffer())
            return 0;
        if (n < static_cast<std::streamsize>(bufferSize)) {
            std::memcpy(pptr(), data, static_cast<size_t>(n));
            pbump(static_cast<int>(n));
            return n;
        }
        return writeAll(data, n) ? n : 0;
    }

    int sync() override { return flushBuffer() ? 0 : -1; }

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
    qint64 m_written = 0;
    bool m_failed = false;
    QString m_error;
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

bool OutputFile::appendRange(const QString &path, qint64 offset, qint64 length)
{
    if (!m_stream || m_finished || m_file.fileName().isEmpty()) {
        setError(QStringLiteral("the temporary file is not open"));
        return false;
    }
    m_stream->flush();
    QString why;
    if (!m_stream->good() || m_buffer->failed()) {
        why = m_buffer->errorString();
    } else {
        QFile input(path);
        if (!input.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            why = input.errorString();
        else if (RangeCopy::copy(int(input.handle()), offset, int(m_file.handle()), length, &why))
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
    const bool written = m_stream->good() && !m_buffer->failed() && !m_appendFailed;
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
