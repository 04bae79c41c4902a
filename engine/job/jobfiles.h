#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <vector>

// The files of a job, held compactly: each by the dropped folder it lies in (a "root": the
// folder and its output folder) and its path below it, as UTF-8 back to back in one buffer.
// A job of 100,000 files costs a few megabytes instead of two absolute UTF-16 paths per file.
//
// Built on one thread by the listing; read by any number of threads once built.
class JobFiles
{
public:
    // A dropped folder and its output folder; returns the index that append() takes.
    int addRoot(const QString &input, const QString &output);
    void append(int root, const QString &relative);

    qsizetype size() const { return qsizetype(m_entries.size()); }
    bool isEmpty() const { return m_entries.empty(); }
    int rootCount() const { return int(m_roots.size()); }

    int root(qsizetype i) const { return int(m_entries[size_t(i)].root); }
    // The path below its dropped folder.
    QString relative(qsizetype i) const;
    // "<dropped folder>/<relative>" and "<output folder>/<relative>".
    QString input(qsizetype i) const;
    QString output(qsizetype i) const;
    const QString &rootInput(int root) const { return m_roots.at(root).input; }
    const QString &rootOutput(int root) const { return m_roots.at(root).output; }

    // Drops entries first .. size() - 1; the roots stay.
    void truncate(qsizetype first);
    // Gives back the room kept for growth, once the listing is done.
    void squeeze();
    // Keeps, in order, the entries for which keep(i) holds.
    template <typename Keep> void keepIf(Keep keep)
    {
        JobFiles kept;
        kept.m_roots = m_roots;
        for (qsizetype i = 0; i < size(); ++i) {
            if (keep(i))
                kept.append(root(i), relative(i));
        }
        *this = std::move(kept);
    }

private:
    struct Root
    {
        QString input;
        QString output;
    };
    struct Entry
    {
        quint64 offset;
        quint32 size;
        quint32 root;
    };
    QList<Root> m_roots;
    QByteArray m_names;
    std::vector<Entry> m_entries;
};
