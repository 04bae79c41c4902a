#include "engine/inputbytes.h"

namespace {

// Files up to this size are read rather than mapped: unmapping costs a TLB flush across the
// process's cores, more than GDCM's whole parse of a small file.
constexpr qint64 readWholeBelow = qint64(4) << 20;

QString cannotRead(const QFile &file)
{
    QString why = file.errorString();
    if (why.isEmpty())
        return QStringLiteral("cannot read");
    why[0] = why.at(0).toLower();
    return QStringLiteral("cannot read: ") + why;
}

} // namespace

InputBytes::~InputBytes()
{
    if (m_keptInUse)
        *m_keptInUse = false;
}

void InputBytes::close()
{
    m_file.close(); // unmaps
    m_whole.clear();
    m_own.reset();
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
    if (m_size <= readWholeBelow) {
        thread_local std::unique_ptr<char[]> kept;
        thread_local bool keptInUse = false;
        char *buffer = nullptr;
        if (!keptInUse) {
            if (!kept)
                kept.reset(new (std::nothrow) char[readWholeBelow]);
            if (kept) {
                keptInUse = true;
                m_keptInUse = &keptInUse;
                buffer = kept.get();
            }
        } else {
            m_own.reset(new (std::nothrow) char[static_cast<size_t>(m_size)]);
            buffer = m_own.get();
        }
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
