#include "engine/job/sortedspool.h"

#include <QtEndian>

#include <algorithm>
#include <queue>
#include <vector>

namespace {

// A run is a sequence of records: per text its length in bytes (32 bits, little endian), then
// the text in UTF-8.
void appendText(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    char length[4];
    qToLittleEndian<quint32>(quint32(utf8.size()), length);
    out.append(length, 4).append(utf8);
}

} // namespace

// Reads one run back record by record through a small buffer of its own.
class SortedSpool::RunReader
{
public:
    RunReader(QFile &file, const Run &run)
        : m_file(file), m_pos(run.offset), m_end(run.offset + run.length)
    { }

    // The next pair; false at the run's end or when the file cannot be read (failed()).
    bool next(QString &first, QString &second) { return text(first) && text(second); }
    bool failed() const { return m_failed; }

private:
    static constexpr qint64 bufferSize = 16 * 1024;

    bool text(QString &out)
    {
        QByteArray length;
        if (!take(4, length))
            return false;
        QByteArray utf8;
        if (!take(qFromLittleEndian<quint32>(length.constData()), utf8))
            return false;
        out = QString::fromUtf8(utf8);
        return true;
    }

    bool take(qint64 n, QByteArray &out)
    {
        out.clear();
        while (n > 0) {
            if (m_at == m_buffer.size() && !refill())
                return false;
            const qint64 part = qMin(n, qint64(m_buffer.size() - m_at));
            out.append(m_buffer.constData() + m_at, part);
            m_at += part;
            n -= part;
        }
        return true;
    }

    bool refill()
    {
        if (m_pos >= m_end)
            return false;
        const qint64 want = qMin(bufferSize, m_end - m_pos);
        m_buffer.resize(want);
        if (!m_file.seek(m_pos) || m_file.read(m_buffer.data(), want) != want) {
            m_failed = true;
            m_buffer.clear();
            m_at = 0;
            return false;
        }
        m_pos += want;
        m_at = 0;
        return true;
    }

    QFile &m_file;
    qint64 m_pos;
    qint64 m_end;
    QByteArray m_buffer;
    qsizetype m_at = 0;
    bool m_failed = false;
};

SortedSpool::SortedSpool(const QString &folder, const QString &name, qint64 runBytes)
    : m_folder(folder), m_name(name), m_runBytes(runBytes)
{ }

SortedSpool::~SortedSpool() = default;

void SortedSpool::add(const QString &first, const QString &second)
{
    m_held.append({ first, second });
    m_heldBytes += 2 * (first.size() + second.size()) + 64;
    ++m_size;
    if (m_heldBytes >= m_runBytes && !m_fileFailed)
        writeRun();
}

void SortedSpool::writeRun()
{
    if (!m_file) {
        m_file = std::make_unique<QTemporaryFile>(m_folder + QLatin1String("/.") + m_name
                                                  + QLatin1String(".XXXXXX"));
        if (!m_file->open()) {
            m_fileFailed = true;
            m_file.reset();
            return;
        }
    }
    std::sort(m_held.begin(), m_held.end());
    QByteArray bytes;
    bytes.reserve(m_heldBytes);
    for (const auto &[first, second] : std::as_const(m_held)) {
        appendText(bytes, first);
        appendText(bytes, second);
    }
    const qint64 offset = m_runs.isEmpty() ? 0 : m_runs.last().offset + m_runs.last().length;
    if (!m_file->seek(offset) || m_file->write(bytes) != bytes.size()) {
        // What did not fit on the disk stays in memory, as does everything after it.
        m_fileFailed = true;
        return;
    }
    m_runs.append({ offset, bytes.size() });
    m_held = {};
    m_heldBytes = 0;
}

bool SortedSpool::read(const std::function<void(const QString &, const QString &)> &each,
                       QString *error)
{
    std::sort(m_held.begin(), m_held.end());
    if (m_file && !m_file->flush()) {
        if (error)
            *error = m_file->errorString();
        return false;
    }
    // One source per run, and the pairs still held; the smallest head goes first.
    struct Head
    {
        QString first;
        QString second;
        int source; // a run's index, or m_runs.size() for the pairs held
    };
    const auto later = [](const Head &a, const Head &b) {
        return std::tie(a.first, a.second, a.source) > std::tie(b.first, b.second, b.source);
    };
    std::priority_queue<Head, std::vector<Head>, decltype(later)> heads(later);
    std::vector<std::unique_ptr<RunReader>> readers;
    const int held = int(m_runs.size());
    qsizetype nextHeld = 0;
    const auto advance = [&](int source) -> bool {
        Head head{ {}, {}, source };
        if (source == held) {
            if (nextHeld == m_held.size())
                return true;
            head.first = m_held.at(nextHeld).first;
            head.second = m_held.at(nextHeld).second;
            ++nextHeld;
        } else if (!readers[size_t(source)]->next(head.first, head.second)) {
            return !readers[size_t(source)]->failed();
        }
        heads.push(std::move(head));
        return true;
    };
    bool ok = true;
    for (int i = 0; i < held; ++i) {
        readers.push_back(std::make_unique<RunReader>(*m_file, m_runs.at(i)));
        ok = advance(i) && ok;
    }
    ok = advance(held) && ok;
    while (!heads.empty()) {
        Head head = heads.top();
        heads.pop();
        each(head.first, head.second);
        ok = advance(head.source) && ok;
    }
    if (!ok && error)
        *error = QStringLiteral("cannot read back a temporary file: ") + m_file->errorString();
    return ok;
}
