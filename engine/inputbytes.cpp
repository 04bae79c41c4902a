#include "engine/inputbytes.h"

namespace {

QString cannotRead(const QFile &file)
{
    QString why = file.errorString();
    if (why.isEmpty())
        return QStringLiteral("cannot read");
    why[0] = why.at(0).toLower();
    return QStringLiteral("cannot read: ") + why;
}

} // namespace

void InputBytes::close()
{
    m_file.close(); // unmaps
    m_whole.clear();
    m_kept.reset();
    m_data = nullptr;
    m_size = 0;
    m_mapped = false;
}

bool InputBytes::open(const QString &path, QString *reason)
{
    const auto failed = [this, reason](const QString &why) {
        if (reason)
            *reason = why;
        m_data = nullptr;
        m_size = 0;
        return false;
    };
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly))
        return failed(cannotRead(m_file));
    m_size = m_file.size();
    if (m_size == 0)
        return true;
    if (m_size <= qint64(readWholeBelow)) {
        m_kept.emplace();
        char *buffer = m_kept->data();
        if (buffer) {
            if (m_file.read(buffer, m_size) != m_size)
                return failed(QStringLiteral("cannot read"));
            m_data = buffer;
            return true;
        }
    }
    if (const uchar *map = m_file.map(0, m_size)) {
        m_data = reinterpret_cast<const char *>(map);
        m_mapped = true;
        return true;
    }
    m_whole = m_file.readAll();
    if (m_whole.size() != m_size)
        return failed(QStringLiteral("cannot read"));
    m_data = m_whole.constData();
    return true;
}
