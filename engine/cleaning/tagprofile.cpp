#include "engine/cleaning/tagprofile.h"

#include <QFile>
#include <QJsonDocument>

namespace TagProfile {

QJsonObject load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

std::optional<NameValue> splitNameValue(const QString &value)
{
    const qsizetype colon = value.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return std::nullopt;
    return NameValue{ value.left(colon), value.mid(colon + 1) };
}

bool setEnabled(QJsonObject &profile, const QString &value)
{
    const auto parts = splitNameValue(value);
    if (!parts)
        return false;
    QJsonObject entry = profile.value(parts->name).toObject();
    entry.insert(QStringLiteral("enabled"), parts->rest.toInt(nullptr, 10) != 0);
    profile.insert(parts->name, entry);
    return true;
}

bool setUserText(QJsonObject &profile, const QString &value)
{
    const auto parts = splitNameValue(value);
    if (!parts)
        return false;
    QJsonObject entry = profile.value(parts->name).toObject();
    entry.insert(QStringLiteral("user_replace"), parts->rest);
    profile.insert(parts->name, entry);
    return true;
}

QJsonObject shownTags(const QJsonObject &profile)
{
    QJsonObject shown;
    for (auto it = profile.begin(); it != profile.end(); ++it) {
        if (it.value().toObject().value(QLatin1String("visible")).toBool(false))
            shown.insert(it.key(), it.value());
    }
    return shown;
}

quint16 tagNumber(const QJsonValue &text)
{
    bool ok = false;
    const qulonglong number = text.toString().toULongLong(&ok, 16);
    return ok ? static_cast<quint16>(number & 0xFFFFu) : 0;
}

QString replacementText(const QJsonObject &entry)
{
    const QString user = entry.value(QLatin1String("user_replace")).toString();
    if (!user.isEmpty())
        return user;
    return entry.value(QLatin1String("replace")).toString();
}

} // namespace TagProfile
