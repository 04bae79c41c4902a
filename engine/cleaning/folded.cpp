#include "engine/cleaning/folded.h"

#include <QChar>
#include <QList>

namespace {

enum class CharClass { Separator, Letter, Digit };

CharClass classOf(char32_t c)
{
    if (c < 0x80) {
        if (c >= '0' && c <= '9')
            return CharClass::Digit;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            return CharClass::Letter;
        return CharClass::Separator;
    }
    if (QChar::isDigit(c))
        return CharClass::Digit;
    return QChar::isLetterOrNumber(c) || QChar::category(c) == QChar::Mark_NonSpacing
            ? CharClass::Letter
            : CharClass::Separator;
}

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

// Qt's normalisation reorders and composes combining marks in time that grows with the
// cube of their run: a value of a few thousand marks took minutes. It is fed short
// pieces, cut before a character that starts a new cluster, and no more than a few
// marks on one character (no name needs more).
template <typename Take> void foldInPieces(const QString &text, const Take &take)
{
    constexpr qsizetype piece = 256;
    constexpr int marksKept = 8;
    std::u32string chunk;
    int marks = 0;
    const auto flush = [&]() {
        const QString normal = QString::fromUcs4(chunk.data(), qsizetype(chunk.size()))
                                       .normalized(QString::NormalizationForm_KC)
                                       .toCaseFolded();
        for (const char32_t c : normal.toUcs4())
            take(c);
        chunk.clear();
    };
    for (const char32_t c : text.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        const bool mark = category == QChar::Mark_NonSpacing
                || category == QChar::Mark_SpacingCombining || category == QChar::Mark_Enclosing;
        marks = mark ? marks + 1 : 0;
        if (marks > marksKept)
            continue;
        if (!mark && qsizetype(chunk.size()) >= piece)
            flush();
        chunk.push_back(c);
    }
    flush();
}

} // namespace

bool Folded::unspacedScript(char32_t c)
{
    switch (QChar::script(c)) {
    case QChar::Script_Han:
    case QChar::Script_Hiragana:
    case QChar::Script_Katakana:
    case QChar::Script_Hangul:
    case QChar::Script_Thai:
        return true;
    default:
        return false;
    }
}

void Folded::fold(const QString &text)
{
    wordCount = 0;
    joined.clear();
    unspaced = false;
    bool ascii = true;
    for (const QChar c : text) {
        if (c.unicode() >= 0x80) {
            ascii = false;
            break;
        }
    }
    CharClass last = CharClass::Separator;
    const auto take = [&](char32_t c) {
        if (c == '\'' || c == 0x2019)
            return; // "O'Brien" and "OBrien" are one name
        const CharClass now = classOf(c);
        if (now == CharClass::Separator) {
            last = now;
            return;
        }
        if (now != last || wordCount == 0) {
            if (wordCount == words.size())
                words.emplace_back();
            words[wordCount++].clear();
        }
        last = now;
        appendUtf8(words[wordCount - 1], c);
        appendUtf8(joined, c);
        if (c >= 0x80 && unspacedScript(c))
            unspaced = true;
    };
    if (ascii) {
        for (const QChar c : text)
            take(static_cast<char32_t>(QChar::toLower(c.unicode())));
        return;
    }
    foldInPieces(text, take);
}

std::vector<std::string> Folded::takeWords() const
{
    return std::vector<std::string>(words.begin(),
                                    words.begin() + static_cast<std::ptrdiff_t>(wordCount));
}
