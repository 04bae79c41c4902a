#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QTemporaryFile>

#include <functional>
#include <memory>

// Pairs of texts gathered in any order and read back sorted (by the first text, then the
// second), in memory bounded whatever their number: once the pairs held reach a bound they are
// sorted and written as one run to a temporary file in a given folder, and the runs are merged
// as they are read back. Where that file cannot be made or written, the pairs stay in memory
// instead; nothing is lost. The temporary file goes with the object (where the system allows,
// it never has a name, so it goes even with a process that ends abruptly).
//
// One thread at a time; not copyable.
class SortedSpool
{
public:
    // `folder`: where the temporary file goes (".<name>.XXXXXX" in it). `runBytes`: about how
    // much of the texts (as UTF-16) is held before a run is written.
    SortedSpool(const QString &folder, const QString &name, qint64 runBytes = qint64(2) << 20);
    ~SortedSpool();
    SortedSpool(const SortedSpool &) = delete;
    SortedSpool &operator=(const SortedSpool &) = delete;

    void add(const QString &first, const QString &second);
    qint64 size() const { return m_size; }
    // Runs written to the temporary file so far.
    int runs() const { return int(m_runs.size()); }

    // Calls `each` for every pair, in order. False, with `error` set, when a run cannot be read
    // back from the temporary file (`each` has then seen only part of the pairs).
    bool read(const std::function<void(const QString &, const QString &)> &each,
              QString *error = nullptr);

private:
    struct Run
    {
        qint64 offset = 0;
        qint64 length = 0;
    };
    class RunReader;

    void writeRun();

    QString m_folder;
    QString m_name;
    qint64 m_runBytes;
    std::unique_ptr<QTemporaryFile> m_file; // made with the first run
    bool m_fileFailed = false; // the file could not be made or written: all stays in memory
    QList<Run> m_runs;
    QList<QPair<QString, QString>> m_held;
    qint64 m_heldBytes = 0;
    qint64 m_size = 0;
};
