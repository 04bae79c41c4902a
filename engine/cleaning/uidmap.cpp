#include "engine/cleaning/uidmap.h"

#include <QFile>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <array>
#include <cctype>
#include <unordered_map>

namespace {

constexpr int keyBytes = 32;
constexpr int minimumKeyBytes = 16;

// The decimal digits of a 128-bit big-endian number, by long division.
std::string decimal(std::array<unsigned char, 16> number)
{
    std::string digits;
    bool zero = false;
    while (!zero) {
        unsigned remainder = 0;
        zero = true;
        for (unsigned char &byte : number) {
            const unsigned value = remainder * 256 + byte;
            byte = static_cast<unsigned char>(value / 10);
            remainder = value % 10;
            zero = zero && byte == 0;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + remainder));
    }
    return digits;
}

// A UID without its trailing padding. Unlike ElementWalk::trimmed, a leading space stays: it
// is part of what every earlier job hashed for such a value, and the same original must keep
// giving the same new UID.
std::string_view withoutTrailingPadding(std::string_view uid)
{
    while (!uid.empty() && (uid.back() == ' ' || uid.back() == '\0'))
        uid.remove_suffix(1);
    return uid;
}

} // namespace

UidMap::UidMap(QByteArray key) : m_key(std::move(key)) { }

std::string UidMap::map(std::string_view original) const
{
    original = withoutTrailingPadding(original);
    // Study, series and frame of reference UIDs come again in file after file: each thread
    // keeps the last few thousand it made, for the key it made them with.
    struct Made
    {
        QByteArray key;
        std::unordered_map<std::string, std::string> uids;
    };
    thread_local Made made;
    if (made.key != m_key) {
        made.key = m_key;
        made.uids.clear();
    }
    std::string text(original);
    const auto known = made.uids.find(text);
    if (known != made.uids.end())
        return known->second;
    if (made.uids.size() >= 4096)
        made.uids.clear();
    std::string &uid = made.uids[std::move(text)];
    uid = hashed(original);
    return uid;
}

std::string UidMap::hashed(std::string_view original) const
{
    const QByteArray digest = QMessageAuthenticationCode::hash(
            QByteArray::fromRawData(original.data(), static_cast<qsizetype>(original.size())),
            m_key, QCryptographicHash::Sha256);
    std::array<unsigned char, 16> uuid{};
    for (size_t i = 0; i < uuid.size(); ++i)
        uuid[i] = static_cast<unsigned char>(digest.at(static_cast<qsizetype>(i)));
    uuid[6] = static_cast<unsigned char>((uuid[6] & 0x0f) | 0x80); // version 8
    uuid[8] = static_cast<unsigned char>((uuid[8] & 0x3f) | 0x80); // RFC 4122 variant
    return "2.25." + decimal(uuid);
}

namespace UidKey {

QByteArray generate()
{
    QByteArray key(keyBytes, '\0');
    QRandomGenerator::system()->generate(key.begin(), key.end());
    return key;
}

QByteArray fromText(const QByteArray &text)
{
    const QByteArray hex = text.trimmed();
    for (const char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
    }
    if (hex.size() % 2 != 0)
        return {};
    const QByteArray key = QByteArray::fromHex(hex);
    return key.size() >= minimumKeyBytes ? key : QByteArray();
}

bool writeNewFile(const QString &path, QString *error)
{
    QFile file(path);
    // Readable by its owner only from the moment it exists.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = file.errorString();
        return false;
    }
    const QByteArray text = generate().toHex() + '\n';
    if (file.write(text) != text.size() || !file.flush()) {
        *error = file.errorString();
        file.close();
        file.remove();
        return false;
    }
    return true;
}

QByteArray readFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return {};
    }
    const QByteArray key = fromText(file.read(4096));
    if (key.isEmpty())
        *error = QStringLiteral("no key of at least %1 hex digits in it").arg(minimumKeyBytes * 2);
    return key;
}

} // namespace UidKey
