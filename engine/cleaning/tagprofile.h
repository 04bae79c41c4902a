#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// The tag profile: one JSON object of entries ("tagU", "tagD", "enabled", "visible", "mode",
// "replace", "user_replace") keyed by the entry's name. QJsonObject keeps its keys in
// ascending code-unit order, and every walk over the profile follows that order.
//
// These are pure functions on the object; the bridge owns the profile and guards it.
namespace TagProfile {

// Reads a profile file (the default one is ":/tags.json"). A file that cannot be opened or
// parsed gives an empty profile.
QJsonObject load(const QString &path = QStringLiteral(":/tags.json"));

// A "name:rest" message value split at its first ':' only, so that a replacement text may
// itself hold colons. A value without ':' has no name and gives nothing.
struct NameValue
{
    QString name;
    QString rest;
};
std::optional<NameValue> splitNameValue(const QString &value);

// "changeGUI": sets the entry's "enabled" to (rest parsed as a base-10 integer) != 0; a rest
// that is not a number reads as 0. Returns false, changing nothing, without ':'.
bool setEnabled(QJsonObject &profile, const QString &value);

// "changeTagText": sets the entry's "user_replace" to the whole rest. Returns false,
// changing nothing, without ':'. An unknown name creates an entry holding only that field.
bool setUserText(QJsonObject &profile, const QString &value);

// Every entry whose "visible" is the boolean true, whole, under its own name.
QJsonObject shownTags(const QJsonObject &profile);

// A group or element number: base 16, optional "0x", cut to 16 bits; missing or bad reads 0.
quint16 tagNumber(const QJsonValue &text);

// The text a worker writes: a non-empty "user_replace", else "replace", else empty.
QString replacementText(const QJsonObject &entry);

} // namespace TagProfile
