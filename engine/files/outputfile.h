#pragma once

#include <QFile>
#include <QString>

#include <memory>
#include <ostream>

// One output file written safely. The bytes go to a new hidden temporary file in the output
// folder (".<start of the name>.<random>.part", which a later listing of that folder skips) and
// replace the file under the final name only in commit(), after every byte was written. Without a
// successful commit neither the temporary file nor a new file under the final name is left.
//
// A write that fails at any point (stream(), appendRange(), the last flush in finish(), closing
// the file) makes the file uncommittable: finish() and commit() then return false, whatever a
// later reading of the temporary file would show.
//
// The output is opened by us and handed to GDCM as a stream, so a path that cannot be created
// is an ordinary failure here instead of an assertion inside GDCM.
//
// One object per file and thread; not shared.
class OutputFile
{
public:
    explicit OutputFile(const QString &finalPath);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Creates the temporary file (never an existing one). False when it cannot be created.
    bool open();

    // Valid after a successful open(). A failed write sets the stream's badbit.
    std::ostream &stream();

    // From now on, and while they stay within `limit` bytes, everything written to stream() is
    // kept in memory (in a buffer each thread keeps from file to file) and reaches the file in
    // one write in finish(); kept() then shows it, so that a small copy is read again without
    // reading the file. Once more is written, or a range appended, the bytes go to the file as
    // they come and kept() is empty. Call right after open().
    void keepWritten(qint64 limit);

    // Everything written so far, while it is kept in memory (see keepWritten); {nullptr, 0}
    // otherwise. Valid until the next write and, after finish(), until the object goes.
    struct Bytes
    {
        const char *data = nullptr;
        qint64 size = 0;
    };
    Bytes kept() const;

    // Appends `length` bytes of the open file `from`, from `offset` on, behind everything
    // written to stream() so far, copied by the kernel where the system can (RangeCopy), never
    // through a buffer of their size. stream() may be written to afterwards. False, with
    // errorString() set and the file no longer committable, when the stream had failed or the
    // copy fails.
    bool appendRange(int from, qint64 offset, qint64 length);

    // Flushes and closes the temporary file, which can then be read again under
    // temporaryPath() before it is committed. False, with the temporary file removed, when any
    // write failed.
    bool finish();

    // Finishes the file if that was not done, and renames it over the final name (replacing an
    // existing file). False, with the temporary file removed, when any write or the rename
    // failed.
    bool commit();

    // Removes the temporary file: the copy is not to be kept.
    void discard();

    QString temporaryPath() const { return m_file.fileName(); }

    // Why a write into stream() failed, as the system says it ("no space left on device");
    // empty while every write succeeded. GDCM reports such a failure only as its own.
    QString streamErrorString() const;

    // Why open() or commit() failed, as the system says it ("permission denied", "no space
    // left on device"); empty before a failure.
    QString errorString() const { return m_error; }

private:
    class StreamBuffer;

    void setError(const QString &text);

    QString m_finalPath;
    QFile m_file;
    std::unique_ptr<StreamBuffer> m_buffer;
    std::unique_ptr<std::ostream> m_stream;
    bool m_appendFailed = false;
    bool m_finished = false;
    bool m_committed = false;
    QString m_error;
};
