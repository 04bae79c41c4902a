#include "engine/dicom/vrvalue.h"

#include <QDate>

#include <cctype>

namespace VrValue {

namespace {

using VR = gdcm::VR;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool allDigits(std::string_view text)
{
    for (const char c : text) {
        if (!isDigit(c))
            return false;
    }
    return !text.empty();
}

int number(std::string_view digits)
{
    int value = 0;
    for (const char c : digits)
        value = value * 10 + (c - '0');
    return value;
}

// Characters, not bytes: the length limits of the character-string VRs count characters, and
// the texts are UTF-8.
size_t characters(std::string_view text)
{
    size_t count = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xc0) != 0x80)
            ++count;
    }
    return count;
}

// Control characters other than ESC never stand in a text value; the long texts also hold
// line ends, form feeds and tabs.
bool cleanCharacters(std::string_view text, bool longText)
{
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f)
            continue;
        if (u == 0x1b)
            continue;
        if (longText && (u == '\r' || u == '\n' || u == '\f' || u == '\t'))
            continue;
        return false;
    }
    return true;
}

bool ascii(std::string_view text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// Spaces only, unlike a read value's padding (ElementWalk::trimmed): a text to be written has
// no padding yet, and a zero byte in it is a character no text VR holds.
std::string_view trimmedSpaces(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

bool isDate(std::string_view text)
{
    return text.size() == 8 && allDigits(text)
            && QDate(number(text.substr(0, 4)), number(text.substr(4, 2)),
                     number(text.substr(6, 2)))
                       .isValid();
}

// HH[MM[SS[.F{1,6}]]]
bool isTime(std::string_view text)
{
    const size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    if (whole.size() < 2 || whole.size() > 6 || whole.size() % 2 != 0 || !allDigits(whole))
        return false;
    if (number(whole.substr(0, 2)) > 23)
        return false;
    if (whole.size() >= 4 && number(whole.substr(2, 2)) > 59)
        return false;
    if (whole.size() == 6 && number(whole.substr(4, 2)) > 60)
        return false;
    if (dot == std::string_view::npos)
        return true;
    const std::string_view fraction = text.substr(dot + 1);
    return whole.size() == 6 && fraction.size() >= 1 && fraction.size() <= 6 && allDigits(fraction);
}

// YYYY[MM[DD[HH[MM[SS[.F{1,6}]]]]]][&ZZXX]
bool isDateTime(std::string_view text)
{
    if (text.size() > 26)
        return false;
    const size_t zone = text.find_first_of("+-");
    if (zone != std::string_view::npos) {
        const std::string_view offset = text.substr(zone + 1);
        if (offset.size() != 4 || !allDigits(offset) || number(offset.substr(0, 2)) > 14
            || number(offset.substr(2, 2)) > 59)
            return false;
        text = text.substr(0, zone);
    }
    const size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    if (whole.size() < 4 || whole.size() > 14 || whole.size() % 2 != 0 || !allDigits(whole))
        return false;
    const int year = number(whole.substr(0, 4));
    const int month = whole.size() >= 6 ? number(whole.substr(4, 2)) : 1;
    const int day = whole.size() >= 8 ? number(whole.substr(6, 2)) : 1;
    if (!QDate(year, month, day).isValid())
        return false;
    if (whole.size() > 8 && !isTime(text.substr(8)))
        return false;
    return dot == std::string_view::npos || whole.size() == 14;
}

bool isDecimal(std::string_view text)
{
    if (text.size() > 16)
        return false;
    text = trimmedSpaces(text);
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        const size_t start = i;
        while (i < text.size() && isDigit(text[i]))
            ++i;
        if (i == start)
            return false;
    }
    return i == text.size();
}

bool isInteger(std::string_view text)
{
    if (text.size() > 12)
        return false;
    text = trimmedSpaces(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (!allDigits(text) || text.size() > 10)
        return false;
    long long value = 0;
    for (const char c : text)
        value = value * 10 + (c - '0');
    return negative ? value <= 2147483648LL : value <= 2147483647LL;
}

bool isUid(std::string_view text)
{
    if (text.size() > 64 || text.empty())
        return false;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view component = text.substr(start, dot - start);
        if (!allDigits(component) || (component.size() > 1 && component.front() == '0'))
            return false;
        start = dot + 1;
    }
    return true;
}

bool isCodeString(std::string_view text)
{
    if (text.size() > 16)
        return false;
    for (const char c : text) {
        if (!(std::isupper(static_cast<unsigned char>(c)) || isDigit(c) || c == ' ' || c == '_'))
            return false;
    }
    return true;
}

bool isPersonName(std::string_view text)
{
    // Up to three component groups (alphabetic, ideographic, phonetic) of at most 64
    // characters each, with at most five components.
    int groups = 0;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('=', start), text.size());
        const std::string_view group = text.substr(start, end - start);
        if (++groups > 3 || characters(group) > 64)
            return false;
        int carets = 0;
        for (const char c : group)
            carets += c == '^';
        if (carets > 4)
            return false;
        start = end + 1;
    }
    return true;
}

} // namespace

bool isText(gdcm::VR::VRType vr)
{
    // False for whatever is not one VR (INVALID, VR_END, the dictionary's choices such as US
    // or SS), as a test of the VRASCII bits would not be.
    return VR::IsASCII(vr);
}

bool fits(gdcm::VR::VRType vr, std::string_view text)
{
    if (text.empty())
        return true;
    if (!isText(vr))
        return false;
    const bool longText = vr == VR::LT || vr == VR::ST || vr == VR::UT;
    if (!cleanCharacters(text, longText))
        return false;
    if (!longText && vr != VR::UC && text.find('\\') != std::string_view::npos)
        return false;
    switch (vr) {
    case VR::AE:
        return text.size() <= 16 && ascii(text) && !trimmedSpaces(text).empty();
    case VR::AS:
        return text.size() == 4 && allDigits(text.substr(0, 3))
                && std::string_view("DWMY").find(text[3]) != std::string_view::npos;
    case VR::CS:
        return isCodeString(text);
    case VR::DA:
        return isDate(text);
    case VR::DS:
        return isDecimal(text);
    case VR::DT:
        return isDateTime(trimmedSpaces(text));
    case VR::IS:
        return isInteger(text);
    case VR::LO:
        return characters(text) <= 64;
    case VR::LT:
        return characters(text) <= 10240;
    case VR::PN:
        return isPersonName(text);
    case VR::SH:
        return characters(text) <= 16;
    case VR::ST:
        return characters(text) <= 1024;
    case VR::TM:
        return text.size() <= 16 && isTime(trimmedSpaces(text));
    case VR::UI:
        return isUid(text);
    case VR::UR:
        return ascii(text) && text.find(' ') == std::string_view::npos;
    case VR::UC:
    case VR::UT:
        return text.size() < 0xfffffffeu;
    default:
        return false;
    }
}

std::string padded(gdcm::VR::VRType vr, std::string_view text)
{
    std::string value(text);
    if (value.size() % 2 != 0)
        value.push_back(isText(vr) && vr != VR::UI ? ' ' : '\0');
    return value;
}

std::string dummy(gdcm::VR::VRType vr)
{
    switch (vr) {
    case VR::AE:
    case VR::CS:
    case VR::LO:
    case VR::LT:
    case VR::PN:
    case VR::SH:
    case VR::ST:
    case VR::UC:
    case VR::UR:
    case VR::UT:
        return "ANONYMIZED";
    case VR::AS:
        return "000Y";
    case VR::DA:
        return "19700101";
    case VR::DT:
        return "19700101000000";
    case VR::TM:
        return "000000";
    case VR::DS:
    case VR::IS:
        return padded(vr, "0");
    case VR::US:
    case VR::SS:
    case VR::FD:
    case VR::SV:
    case VR::UV:
    case VR::UL:
    case VR::SL:
    case VR::FL:
    case VR::AT:
        // One value of zero.
        return std::string(gdcm::VR(vr).GetSize(), '\0');
    default:
        // OB, OW, OF, OD, OL, OV, UN and an unknown VR: eight zero bytes are a whole number of
        // values of every one of them.
        return std::string(8, '\0');
    }
}

} // namespace VrValue
