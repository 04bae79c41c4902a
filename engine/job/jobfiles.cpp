#include "engine/job/jobfiles.h"

int JobFiles::addRoot(const QString &input, const QString &output)
{
    m_roots.append({ input, output });
    return int(m_roots.size()) - 1;
}

void JobFiles::append(int root, const QString &relative)
{
    const QByteArray utf8 = relative.toUtf8();
    m_entries.push_back({ quint64(m_names.size()), quint32(utf8.size()), quint32(root) });
    m_names.append(utf8);
}

QString JobFiles::relative(qsizetype i) const
{
    const Entry &entry = m_entries[size_t(i)];
    return QString::fromUtf8(m_names.constData() + entry.offset, qsizetype(entry.size));
}

QString JobFiles::input(qsizetype i) const
{
    return rootInput(root(i)) + QLatin1Char('/') + relative(i);
}

QString JobFiles::output(qsizetype i) const
{
    return rootOutput(root(i)) + QLatin1Char('/') + relative(i);
}

void JobFiles::truncate(qsizetype first)
{
    if (first >= size())
        return;
    m_names.truncate(qsizetype(m_entries[size_t(first)].offset));
    m_entries.resize(size_t(first));
}

void JobFiles::squeeze()
{
    m_names.squeeze();
    m_entries.shrink_to_fit();
}
