#include "engine/files/outputfile.h"

#include "engine/files/outputfilestreambuffer.h"
#include "engine/files/rangecopy.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <filesystem>
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
