#pragma once

#include "engine/files/keptbuffer.h"
#include "engine/files/keptbytes.h"
#include "engine/files/outputfile.h"

#include <QFile>
#include <QString>

#include <cstddef>
#include <memory>
#include <streambuf>

// A write-only stream buffer onto an unbuffered QFile. Small writes are gathered in one
// buffer; a write at least as large as the buffer (pixel data) goes to the file directly,
// without another copy. While it keeps a copy (keep()), every byte stays in memory instead,
// and reaches the file only in writeOut().
class OutputFile::StreamBuffer : public std::streambuf
{
public:
    // The buffer is left uninitialised: it is written before it is read. Each thread keeps
    // one from file to file.
    explicit StreamBuffer(QFile &file);
    StreamBuffer(const StreamBuffer &) = delete;
    StreamBuffer &operator=(const StreamBuffer &) = delete;

    bool hasBuffer() const { return m_data != nullptr; }
    bool failed() const { return m_failed; }
    // The system's word on the failed write (closing the file clears the file's own).
    QString errorString() const { return m_error; }

    // Keeps what is written from now on in memory, up to `limit` bytes. Only before anything
    // was written; without memory for it nothing is kept.
    void keep(qint64 limit);

    OutputFile::Bytes kept() const;

    // Writes to the file whatever is still only in memory. Kept bytes stay readable through
    // kept(); nothing may be written after them.
    bool writeOut();

    // Writes what was kept and goes on writing bytes as they come.
    bool stopKeeping();

    // `n` bytes were added to the file past this buffer (a copied range).
    void appended(qint64 n) { m_written += n; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char *data, std::streamsize n) override;
    // The bytes kept in memory wait for writeOut(): a flush from GDCM is no reason to write.
    int sync() override;
    // Only the current position can be asked for (tellp); nothing is sought.
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;

private:
    static constexpr size_t bufferSize = 128 * 1024;

    void put(const char *data, std::streamsize n);
    // Room for `n` more kept bytes, the buffer grown within the limit; false beyond it.
    bool grow(std::size_t n);
    bool writeAll(const char *data, qint64 n);
    bool flushBuffer();

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
