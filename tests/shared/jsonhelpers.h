#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QSignalSpy>

// A JSON object as the compact text a service sends.
inline QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The JSON objects one argument of a signal carried, emission by emission.
inline QList<QJsonObject> jsonArguments(const QSignalSpy &spy, int argument = 0)
{
    QList<QJsonObject> objects;
    for (const QList<QVariant> &emission : spy)
        objects.append(emission.at(argument).toJsonObject());
    return objects;
}
