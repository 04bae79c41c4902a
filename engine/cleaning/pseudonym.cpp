#include "engine/cleaning/pseudonym.h"

#include "engine/cleaning/uidmap.h"
#include "engine/dicom/elementwalk.h"

#include <QByteArray>
#include <QDate>
#include <QMessageAuthenticationCode>
#include <QString>

#include <cctype>
#include <cstdio>

namespace Pseudonym {

namespace {

using ElementWalk::trimmed;

QByteArray keyedHash(const std::string &message, const UidMap &key)
{
    return QMessageAuthenticationCode::hash(
            QByteArray::fromRawData(message.data(), static_cast<qsizetype>(message.size())),
            key.key(), QCryptographicHash::Sha256);
}

// The first 5 * `length` bits of `digest` in RFC 4648's base-32 alphabet.
std::string base32(const QByteArray &digest, int length)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string text;
    quint32 buffer = 0;
    int bits = 0;
    qsizetype next = 0;
    while (static_cast<int>(text.size()) < length) {
        if (bits < 5) {
            buffer = (buffer << 8) | static_cast<unsigned char>(digest.at(next++));
            bits += 8;
        }
        text += alphabet[(buffer >> (bits - 5)) & 0x1f];
        bits -= 5;
    }
    return text;
}

bool allDigits(std::string_view text)
{
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// One DA value ("YYYYMMDD", or the old "YYYY.MM.DD") moved back; empty when unreadable.
std::string shiftDa(std::string_view value, int days)
{
    std::string digits;
    if (value.size() == 10 && value[4] == '.' && value[7] == '.')
        digits = std::string(value.substr(0, 4)) + std::string(value.substr(5, 2))
                + std::string(value.substr(8, 2));
    else
        digits = std::string(value);
    if (digits.size() != 8 || !allDigits(digits))
        return {};
    const auto number = [&digits](size_t at, size_t length) {
        int n = 0;
        for (size_t i = at; i < at + length; ++i)
            n = n * 10 + (digits[i] - '0');
        return n;
    };
    const QDate date(number(0, 4), number(4, 2), number(6, 2));
    if (!date.isValid() || date.year() < 1)
        return {};
    const QDate moved = date.addDays(-days);
    if (moved.year() < 1)
        return {};
    char text[9];
    std::snprintf(text, sizeof text, "%04d%02d%02d", moved.year(), moved.month(), moved.day());
    return text;
}

// One DT value moved back: its date digits (4, 6 or 8 of them) as a date, the rest kept.
std::string shiftDt(std::string_view value, int days)
{
    size_t dateDigits = 0;
    while (dateDigits < value.size() && dateDigits < 8
           && std::isdigit(static_cast<unsigned char>(value[dateDigits])))
        ++dateDigits;
    if (dateDigits != 4 && dateDigits != 6 && dateDigits != 8)
        return {};
    // A partial value counts from the first day of its year or month.
    std::string full(value.substr(0, dateDigits));
    while (full.size() < 8)
        full += full.size() == 4 || full.size() == 6 ? "01" : "";
    const std::string moved = shiftDa(full, days);
    if (moved.empty())
        return {};
    return moved.substr(0, dateDigits) + std::string(value.substr(dateDigits));
}

} // namespace

std::string Patient::identity() const
{
    const std::string_view theId = trimmed(id);
    if (!theId.empty())
        return "id:" + std::string(trimmed(issuer)) + '\\' + std::string(theId);
    // Names differ in case and in trailing empty components between systems.
    std::string folded(trimmed(name));
    while (!folded.empty() && (folded.back() == '^' || folded.back() == ' '))
        folded.pop_back();
    folded = QString::fromUtf8(folded.data(), static_cast<qsizetype>(folded.size()))
                     .toCaseFolded()
                     .toStdString();
    return "name:" + folded + '\\' + std::string(trimmed(birthDate));
}

std::string of(const Patient &patient, const UidMap &key)
{
    return "VX-" + base32(keyedHash("patient:" + patient.identity(), key), 10);
}

int dateOffsetDays(const Patient &patient, const UidMap &key)
{
    const QByteArray digest = keyedHash("date-offset:" + patient.identity(), key);
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(digest.at(i));
    return 365 + static_cast<int>(value % (3652 - 365 + 1));
}

std::string shiftDate(std::string_view value, bool dateTime, int days)
{
    std::string shifted;
    size_t start = 0;
    while (true) {
        const size_t end = value.find('\\', start);
        const std::string_view one = trimmed(value.substr(start, end - start));
        if (!one.empty()) {
            const std::string moved = dateTime ? shiftDt(one, days) : shiftDa(one, days);
            if (moved.empty())
                return {};
            shifted += moved;
        }
        if (end == std::string_view::npos)
            break;
        shifted += '\\';
        start = end + 1;
    }
    return shifted;
}

std::string shortName(std::string_view uid, const UidMap &key)
{
    return base32(keyedHash("name-of-uid:" + std::string(trimmed(uid)), key), 10);
}

} // namespace Pseudonym
