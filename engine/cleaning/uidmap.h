#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <string_view>


// Replaces UIDs consistently: the new UID is made from the original by a keyed hash
// (HMAC-SHA-256), so one original gives the same new UID in every file and every job made with
// the same key, and nobody without the key can find the original again. New UIDs have the
// form "2.25." followed by the decimal value of a 128-bit UUID (version 8, RFC 9562), which
// the standard allows for UIDs made from UUIDs.
//
// Immutable once made; shared by every worker.
class UidMap
{
public:
    explicit UidMap(QByteArray key);

    // The new UID for `original` (trailing spaces and zero bytes are not part of it).
    std::string map(std::string_view original) const;

    const QByteArray &key() const { return m_key; }

private:
    std::string hashed(std::string_view original) const;

    QByteArray m_key;
};

// The secret behind the UID map: 32 random bytes, written as 64 hex digits.
namespace UidKey {

QByteArray generate();

// The key that a text of hex digits holds (spaces and line ends around it are ignored); empty
// when it holds anything else, or fewer than 16 bytes.
QByteArray fromText(const QByteArray &text);

// A key file as --new-uid-key writes it: 64 hex digits and a line end, readable by its owner
// only. Refuses to replace an existing file. False, with `error` set, on any failure.
bool writeNewFile(const QString &path, QString *error);

// Reads a key file; an empty result, with `error` set, when it cannot be read or holds no key
// of at least 16 bytes in hex.
QByteArray readFile(const QString &path, QString *error);

} // namespace UidKey
