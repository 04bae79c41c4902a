#include "engine/dicom/elementwalk.h"

#include "engine/dicom/dicomcheck.h"
#include "engine/dicom/dicomfacts.h"

#include <gdcmDict.h>
#include <gdcmDicts.h>
#include <gdcmGlobal.h>
#include <gdcmSequenceOfItems.h>

namespace ElementWalk {

namespace {

// Called for every element of every walk: one append instead of four.
void appendNumber(std::string &key, quint32 number)
{
    const char bytes[4] = { static_cast<char>(number >> 24), static_cast<char>(number >> 16),
                            static_cast<char>(number >> 8), static_cast<char>(number) };
    key.append(bytes, sizeof bytes);
}

quint32 numberAt(std::string_view key, size_t at)
{
    quint32 number = 0;
    for (size_t i = 0; i < 4; ++i)
        number = (number << 8) | static_cast<unsigned char>(key[at + i]);
    return number;
}

bool singleVr(gdcm::VR::VRType vr)
{
    // The dictionary's choices (OB_OW, US_SS, …) are sums of several VRs' bits.
    const auto bits = static_cast<unsigned long long>(vr);
    return bits != 0 && (bits & (bits - 1)) == 0;
}

} // namespace

gdcm::VR::VRType vrOf(const gdcm::DataElement &element, const gdcm::DataSet &owner)
{
    const gdcm::VR::VRType stated = element.GetVR();
    if (stated != gdcm::VR::INVALID && stated != gdcm::VR::UN)
        return stated;
    const gdcm::Tag &tag = element.GetTag();
    const gdcm::Dicts &dicts = gdcm::Global::GetInstance().GetDicts();
    gdcm::VR::VRType known = gdcm::VR::INVALID;
    if (tag.IsPrivate()) {
        if (tag.IsPrivateCreator())
            known = gdcm::VR::LO;
        else {
            const std::string creator = owner.GetPrivateCreator(tag);
            if (!creator.empty())
                known = dicts.GetDictEntry(tag, creator.c_str()).GetVR();
        }
    } else {
        known = dicts.GetPublicDict().GetDictEntry(tag).GetVR();
    }
    return singleVr(known) ? known : gdcm::VR::INVALID;
}

std::string_view bytes(const gdcm::DataElement &element)
{
    const gdcm::ByteValue *value = element.GetByteValue();
    if (!value || !value->GetPointer())
        return {};
    return { value->GetPointer(), value->GetLength() };
}

std::string_view trimmed(std::string_view value)
{
    while (!value.empty() && (value.back() == ' ' || value.back() == '\0'))
        value.remove_suffix(1);
    while (!value.empty() && value.front() == ' ')
        value.remove_prefix(1);
    return value;
}

gdcm::SequenceOfItems *sequence(gdcm::DataElement &element)
{
    return element.IsEmpty() ? nullptr : dynamic_cast<gdcm::SequenceOfItems *>(&element.GetValue());
}

const gdcm::SequenceOfItems *sequence(const gdcm::DataElement &element)
{
    return element.IsEmpty() ? nullptr
                             : dynamic_cast<const gdcm::SequenceOfItems *>(&element.GetValue());
}

gdcm::SmartPointer<gdcm::SequenceOfItems> itemsOf(const gdcm::DataElement &element,
                                                  const gdcm::DataSet &owner)
{
    // Most elements state a VR other than SQ: no dictionary lookup and no cast for them.
    const gdcm::VR::VRType stated = element.GetVR();
    if (stated != gdcm::VR::SQ && stated != gdcm::VR::UN && stated != gdcm::VR::INVALID)
        return nullptr;
    if (const gdcm::SequenceOfItems *items = sequence(element))
        return const_cast<gdcm::SequenceOfItems *>(items);
    const gdcm::ByteValue *value = element.GetByteValue();
    if (!value || vrOf(element, owner) != gdcm::VR::SQ
        || !DicomCheck::checkSequenceValue(value->GetPointer(), value->GetLength()).ok)
        return nullptr;
    try {
        return element.GetValueAsSQ();
    } catch (...) {
        return nullptr;
    }
}

CharacterSet characterSet(const gdcm::DataSet &dataSet, const CharacterSet &around)
{
    const gdcm::Tag specificCharacterSet = DicomFacts::specificCharacterSet;
    if (!dataSet.FindDataElement(specificCharacterSet))
        return around;
    return CharacterSet(trimmed(bytes(dataSet.GetDataElement(specificCharacterSet))));
}

bool namesAnId(const gdcm::Tag &tag)
{
    const gdcm::Dict &dict = gdcm::Global::GetInstance().GetDicts().GetPublicDict();
    const std::string_view keyword = dict.GetDictEntry(tag).GetKeyword();
    return keyword.find("ID") != std::string_view::npos
            || keyword.find("Number") != std::string_view::npos;
}

bool holdsNoText(gdcm::VR::VRType vr)
{
    switch (vr) {
    case gdcm::VR::AT:
    case gdcm::VR::DS:
    case gdcm::VR::FD:
    case gdcm::VR::FL:
    case gdcm::VR::IS:
    case gdcm::VR::OD:
    case gdcm::VR::OF:
    case gdcm::VR::OL:
    case gdcm::VR::OV:
    case gdcm::VR::OW:
    case gdcm::VR::SL:
    case gdcm::VR::SS:
    case gdcm::VR::SV:
    case gdcm::VR::UL:
    case gdcm::VR::US:
    case gdcm::VR::UV:
    case gdcm::VR::SQ:
        return true;
    default:
        return false;
    }
}

QString text(const gdcm::DataElement &element, gdcm::VR::VRType vr, const CharacterSet &charset)
{
    constexpr size_t largest = 64u << 20;
    const std::string_view value = bytes(element);
    if (value.empty() || value.size() > largest || holdsNoText(vr))
        return {};
    if (vr != gdcm::VR::OB && vr != gdcm::VR::UN && vr != gdcm::VR::INVALID)
        return charset.decode(value);
    // Printable runs: ASCII letters, digits, punctuation and any high byte (a character of a
    // larger set), broken by control bytes.
    std::string runs;
    size_t start = 0;
    const auto close = [&](size_t end) {
        if (end - start >= 4) {
            runs.append(value.data() + start, end - start);
            runs.push_back('\n');
        }
    };
    for (size_t i = 0; i < value.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7f) {
            close(i);
            start = i + 1;
        }
    }
    close(value.size());
    return charset.decode(runs);
}

void appendTag(std::string &key, const gdcm::Tag &tag)
{
    appendNumber(key, tag.GetElementTag());
}

void appendItem(std::string &key, quint32 index)
{
    appendNumber(key, index);
}

QString describe(std::string_view key)
{
    // Called for every element a report names, so written without QString::arg.
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(key.size() * 2);
    const auto appendHex = [&text](quint32 word) {
        for (int shift = 12; shift >= 0; shift -= 4)
            text.push_back(hex[(word >> shift) & 0xf]);
    };
    for (size_t at = 0; at + 4 <= key.size(); at += 8) {
        const quint32 tag = numberAt(key, at);
        text.push_back('(');
        appendHex(tag >> 16);
        text.push_back(',');
        appendHex(tag & 0xffff);
        text.push_back(')');
        if (at + 8 <= key.size()) {
            text.push_back('[');
            text += std::to_string(numberAt(key, at + 4));
            text += "]>";
        }
    }
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace ElementWalk
