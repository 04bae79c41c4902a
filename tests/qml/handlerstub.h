#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>

// Stands in for the bridge in the window tests: records every message a window sends
// through receiveFromQml, and lets a test replay the bridge's messages by emitting
// sendToQml (from QML: Handler.sendToQml(key, value)).
class HandlerStub : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HandlerStub)

public:
    explicit HandlerStub(QObject *parent = nullptr);

    // Every message received so far, oldest first, each a map with "key" and "value".
    Q_INVOKABLE QVariantList messages() const { return m_messages; }
    // The values received under one key, oldest first.
    Q_INVOKABLE QVariantList values(const QString &key) const;
    Q_INVOKABLE void clear() { m_messages.clear(); }

signals:
    void sendToQml(QString key, QVariant value);

public slots:
    void receiveFromQml(QString key, QVariant value);

private:
    QVariantList m_messages;
};
