#include "engine/dicom/characterset.h"

#include <QByteArray>
#include <QStringDecoder>

#include <cstring>
#include <map>
#include <memory>

namespace {

struct Term
{
    const char *name; // without its "ISO_IR " or "ISO 2022 IR " prefix
    const char *codec;
};

// DICOM's defined terms and the decoders ICU has for them.
const Term terms[] = {
    { "6", nullptr },        { "100", "ISO-8859-1" },  { "101", "ISO-8859-2" },
    { "109", "ISO-8859-3" }, { "110", "ISO-8859-4" },  { "144", "ISO-8859-5" },
    { "127", "ISO-8859-6" }, { "126", "ISO-8859-7" },  { "138", "ISO-8859-8" },
    { "148", "ISO-8859-9" }, { "203", "ISO-8859-15" }, { "166", "TIS-620" },
    { "13", "Shift_JIS" },   { "192", "UTF-8" },       { "87", "EUC-JP" },
    { "159", "EUC-JP" },     { "149", "EUC-KR" },      { "58", "GB2312" },
};

const char *codecOf(std::string_view term)
{
    for (const char *prefix : { "ISO_IR ", "ISO 2022 IR " }) {
        const size_t n = std::strlen(prefix);
        if (term.substr(0, n) == prefix) {
            term.remove_prefix(n);
            break;
        }
    }
    if (term == "GB18030" || term == "GBK")
        return term == "GBK" ? "GBK" : "GB18030";
    for (const Term &t : terms) {
        if (term == t.name)
            return t.codec;
    }
    return nullptr;
}

// A term without spaces and zero bytes at either end. Unlike a value's padding
// (ElementWalk::trimmed), zero bytes go at the front too: a term is looked up by its name, and
// one with a stray zero byte before it still names its character set.
std::string_view trimmedTerm(std::string_view term)
{
    while (!term.empty() && (term.front() == ' ' || term.front() == '\0'))
        term.remove_prefix(1);
    while (!term.empty() && (term.back() == ' ' || term.back() == '\0'))
        term.remove_suffix(1);
    return term;
}

QString decodeWith(const char *codec, const QByteArray &bytes)
{
    thread_local std::map<std::string, std::unique_ptr<QStringDecoder>> decoders;
    std::unique_ptr<QStringDecoder> &decoder = decoders[codec];
    if (!decoder)
        decoder = std::make_unique<QStringDecoder>(codec, QStringDecoder::Flag::Stateless);
    if (!decoder->isValid())
        return QString::fromLatin1(bytes);
    return decoder->decode(bytes);
}

// Seven-bit text without escape sequences: the same in every set DICOM names (ISO 2022's
// escapes are seven-bit too).
bool isPlainAscii(std::string_view bytes)
{
    for (const char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80 || u == 0x1b)
            return false;
    }
    return true;
}

// Applies an ISO 2022 escape, given by the bytes after ESC: G0 switches between single bytes
// and JIS byte pairs, G1 (the high bytes) to another set. Returns how many of those bytes it
// takes, or 0 for an unknown escape, whose ESC byte is then kept as it is.
size_t applyEscape(std::string_view esc, const char *&g1Codec, bool &twoByteG0, bool &jis0212)
{
    if (esc.substr(0, 2) == "(B" || esc.substr(0, 2) == "(J") {
        twoByteG0 = false;
    } else if (esc.substr(0, 2) == "$B" || esc.substr(0, 2) == "$@") {
        twoByteG0 = true;
        jis0212 = false;
    } else if (esc.substr(0, 3) == "$(D") {
        twoByteG0 = true;
        jis0212 = true;
        return 3;
    } else if (esc.substr(0, 2) == ")I") {
        g1Codec = "Shift_JIS";
    } else if (esc.substr(0, 3) == "$)C") {
        g1Codec = "EUC-KR";
        return 3;
    } else if (esc.substr(0, 3) == "$)A") {
        g1Codec = "GB2312";
        return 3;
    } else if (esc.size() >= 2 && esc[0] == '-') {
        static const std::pair<char, const char *> latin[] = {
            { 'A', "ISO-8859-1" }, { 'B', "ISO-8859-2" },  { 'C', "ISO-8859-3" },
            { 'D', "ISO-8859-4" }, { 'L', "ISO-8859-5" },  { 'G', "ISO-8859-6" },
            { 'F', "ISO-8859-7" }, { 'H', "ISO-8859-8" },  { 'M', "ISO-8859-9" },
            { 'T', "TIS-620" },    { 'b', "ISO-8859-15" },
        };
        for (const auto &[final, codec] : latin) {
            if (esc[1] == final)
                g1Codec = codec;
        }
    } else {
        return 0;
    }
    return 2;
}

} // namespace

CharacterSet::CharacterSet(std::string_view specificCharacterSet)
{
    std::string_view rest = specificCharacterSet;
    bool first = true;
    while (true) {
        const size_t split = std::min(rest.find('\\'), rest.size());
        const std::string_view term = trimmedTerm(rest.substr(0, split));
        if (term.substr(0, 9) == "ISO 2022 ")
            m_extensions = true;
        if (first) {
            m_codec = codecOf(term);
            // The first set of an ISO 2022 list sits in G1 (or, for IR 13, its katakana do).
            if (m_codec && std::strcmp(m_codec, "UTF-8") != 0)
                m_initialG1.codec = m_codec;
            first = false;
        }
        if (split >= rest.size())
            break;
        rest.remove_prefix(split + 1);
        // An empty first term with more terms after it is the default repertoire in G0.
        m_extensions = true;
    }
}

QString CharacterSet::decode(std::string_view bytes) const
{
    if (isPlainAscii(bytes))
        return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    if (m_extensions)
        return decodeExtensions(bytes);
    const QByteArray raw(bytes.data(), static_cast<qsizetype>(bytes.size()));
    if (m_codec)
        return decodeWith(m_codec, raw);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(raw);
    return utf8.hasError() ? QString::fromLatin1(raw) : text;
}

// Walks the bytes run by run: an escape sequence switches G0 (single byte or JIS byte pairs)
// or G1 (the high bytes), and each run goes through the decoder of the set it is in.
QString CharacterSet::decodeExtensions(std::string_view bytes) const
{
    QString text;
    Designation g1 = m_initialG1;
    bool twoByteG0 = false;
    bool jis0212 = false;
    QByteArray run;
    const char *runCodec = nullptr;
    const auto flush = [&]() {
        if (!run.isEmpty())
            text += runCodec ? decodeWith(runCodec, run) : QString::fromLatin1(run);
        run.clear();
    };
    const auto put = [&](const char *codec, const QByteArray &piece) {
        if (codec != runCodec) {
            flush();
            runCodec = codec;
        }
        run += piece;
    };
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == 0x1b) {
            const size_t used = applyEscape(bytes.substr(i + 1, 3), g1.codec, twoByteG0, jis0212);
            if (used > 0) {
                i += used;
                continue;
            }
        }
        if (c >= 0x80) {
            put(g1.codec ? g1.codec : "ISO-8859-1", QByteArray(1, static_cast<char>(c)));
        } else if (twoByteG0 && c >= 0x21 && c <= 0x7e && i + 1 < bytes.size()) {
            // JIS byte pairs in G0 read as EUC-JP: the same code points with the high bit set.
            QByteArray pair;
            if (jis0212)
                pair += '\x8f';
            pair += static_cast<char>(c | 0x80);
            pair += static_cast<char>(static_cast<unsigned char>(bytes[i + 1]) | 0x80);
            put("EUC-JP", pair);
            ++i;
        } else {
            put(nullptr, QByteArray(1, static_cast<char>(c)));
        }
    }
    flush();
    return text;
}
