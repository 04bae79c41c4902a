#include "handlerstub.h"

#include <QVariantMap>

HandlerStub::HandlerStub(QObject *parent) : QObject(parent) { }

QVariantList HandlerStub::values(const QString &key) const
{
    QVariantList found;
    for (const QVariant &message : m_messages) {
        const QVariantMap map = message.toMap();
        if (map.value(QStringLiteral("key")).toString() == key)
            found.append(map.value(QStringLiteral("value")));
    }
    return found;
}

void HandlerStub::receiveFromQml(QString key, QVariant value)
{
    m_messages.append(
            QVariantMap{ { QStringLiteral("key"), key }, { QStringLiteral("value"), value } });
}
