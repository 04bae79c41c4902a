#include "engine/dicomcheck.h"

#include <QFile>

namespace DicomCheck {

Result checkBytes(const char *data, qint64 size)
{
    Q_UNUSED(data);
    Q_UNUSED(size);
    return { true, {} };
}

Result checkFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return { false, QStringLiteral("cannot open") };
    const qint64 size = file.size();
    const uchar *map = file.map(0, size);
    if (!map && size > 0)
        return { false, QStringLiteral("cannot map") };
    return checkBytes(reinterpret_cast<const char *>(map), size);
}

} // namespace DicomCheck
