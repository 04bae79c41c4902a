#include "engine/cleaning/identifiermatcher.h"

#include "engine/cleaning/folded.h"

#include <QChar>
#include <QFile>

#include <gdcmDict.h>
#include <gdcmDicts.h>
#include <gdcmGlobal.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace {

using Kind = IdentifierMatcher::Kind;

bool isApostrophe(QChar c)
{
    return c == QLatin1Char('\'') || c == QChar(0x2019);
}

// The text with the apostrophe of every "'s" at a word's end made a space; false when there
// is none.
bool splitPossessives(const QString &text, QString &split)
{
    bool found = false;
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (!isApostrophe(text.at(i)) || text.at(i + 1).toLower() != QLatin1Char('s'))
            continue;
        if (i + 2 < text.size() && text.at(i + 2).isLetterOrNumber())
            continue;
        if (!found)
            split = text;
        split[i] = QLatin1Char(' ');
        found = true;
    }
    return found;
}

size_t letters(const std::vector<std::string> &words)
{
    size_t n = 0;
    for (const std::string &w : words)
        n += w.size();
    return n;
}

bool hasUnspaced(const std::string &word)
{
    const QString text = QString::fromUtf8(word.data(), static_cast<qsizetype>(word.size()));
    for (const char32_t c : text.toUcs4()) {
        if (Folded::unspacedScript(c))
            return true;
    }
    return false;
}

// DICOM's own words, from the keywords of GDCM's dictionary ("PatientName" gives "patient"
// and "name"), and the ordinary words and terms of the resource list.
std::unordered_set<std::string> loadCommonWords()
{
    std::unordered_set<std::string> common;
    const gdcm::Dict &dict = gdcm::Global::GetInstance().GetDicts().GetPublicDict();
    for (auto it = dict.Begin(); it != dict.End(); ++it) {
        const char *keyword = it->second.GetKeyword();
        std::string word;
        for (const char *p = keyword; p && *p; ++p) {
            const char c = *p;
            if (std::isupper(static_cast<unsigned char>(c)) && !word.empty()) {
                if (word.size() >= 2)
                    common.insert(word);
                word.clear();
            }
            if (std::isalpha(static_cast<unsigned char>(c)))
                word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (word.size() >= 2)
            common.insert(word);
    }
    QFile file(QStringLiteral(":/commonwords.txt"));
    if (file.open(QIODevice::ReadOnly)) {
        while (!file.atEnd()) {
            const QByteArray line = file.readLine().trimmed().toLower();
            if (!line.isEmpty() && !line.startsWith('#'))
                common.insert(line.toStdString());
        }
    }
    return common;
}

const char *const monthNames[12][2] = {
    { "january", "jan" },   { "february", "feb" }, { "march", "mar" },    { "april", "apr" },
    { "may", "may" },       { "june", "jun" },     { "july", "jul" },     { "august", "aug" },
    { "september", "sep" }, { "october", "oct" },  { "november", "nov" }, { "december", "dec" },
};

} // namespace

bool IdentifierMatcher::isCommonWord(const std::string &word)
{
    static const std::unordered_set<std::string> common = loadCommonWords();
    return common.count(word) != 0;
}

std::vector<std::string> IdentifierMatcher::words(const QString &text)
{
    // The same values (a patient's name, an institution, a station) come in file after file:
    // each thread keeps the words of the last few thousand it folded.
    thread_local std::unordered_map<QString, std::vector<std::string>> known;
    const auto it = known.find(text);
    if (it != known.end())
        return it->second;
    Folded folded;
    folded.fold(text);
    std::vector<std::string> result = folded.takeWords();
    if (text.size() <= 256) {
        if (known.size() >= 4096)
            known.clear();
        known.emplace(text, result);
    }
    return result;
}

void IdentifierMatcher::addRun(std::vector<std::string> words, Kind kind)
{
    if (words.empty())
        return;
    Known &known = this->known();
    const auto [first, last] = known.runsByFirstWord.equal_range(words.front());
    for (auto it = first; it != last; ++it) {
        if (known.runs[it->second].words == words)
            return;
    }
    known.runsByFirstWord.emplace(words.front(), known.runs.size());
    known.runs.push_back(Run{ std::move(words), kind });
}

IdentifierMatcher::Known &IdentifierMatcher::known()
{
    if (m_known.use_count() > 1)
        m_known = std::make_shared<Known>(*m_known);
    return *m_known;
}

void IdentifierMatcher::addAll(const std::vector<Input> &inputs)
{
    struct Last
    {
        std::vector<Input> inputs;
        std::shared_ptr<Known> known;
    };
    thread_local Last last;
    const bool fresh
            = m_known->runs.empty() && m_known->groups.empty() && m_known->unspaced.empty();
    if (fresh && last.known && last.inputs == inputs) {
        m_known = last.known;
        return;
    }
    for (const Input &input : inputs) {
        switch (input.as) {
        case Input::As::Name:
            addName(input.text);
            break;
        case Input::As::Id:
            addId(input.text);
            break;
        case Input::As::BirthDate:
            addBirthDate(input.text.trimmed().toStdString());
            break;
        case Input::As::Text:
            addText(input.text, Kind::Other);
            break;
        case Input::As::Date:
            addText(input.text, Kind::Date);
            break;
        }
    }
    if (fresh) {
        last.inputs = inputs;
        last.known = m_known;
    }
}

void IdentifierMatcher::addName(const QString &personName)
{
    Known &known = this->known();
    for (const QString &group : personName.split(QLatin1Char('='))) {
        std::vector<std::string> parts;
        for (std::string &word : words(group)) {
            if (hasUnspaced(word)) {
                if (std::find(known.unspaced.begin(), known.unspaced.end(), word)
                    == known.unspaced.end())
                    known.unspaced.push_back(word);
                continue;
            }
            // Initials and numbers say too little alone.
            if (word.size() < 2 || std::isdigit(static_cast<unsigned char>(word.front())))
                continue;
            if (!isCommonWord(word)) {
                addRun({ word }, Kind::Name);
                if (std::find(known.nameWords.begin(), known.nameWords.end(), word)
                    == known.nameWords.end())
                    known.nameWords.push_back(word);
            }
            parts.push_back(std::move(word));
        }
        if (parts.size() >= 2)
            known.groups.push_back(std::move(parts));
    }
}

void IdentifierMatcher::addId(const QString &id)
{
    std::vector<std::string> run = words(id);
    const bool digits = std::any_of(run.begin(), run.end(), [](const std::string &w) {
        return std::isdigit(static_cast<unsigned char>(w.front()));
    });
    if (letters(run) >= 4 || (digits && letters(run) >= 3))
        addRun(std::move(run), Kind::Id);
}

void IdentifierMatcher::addBirthDate(std::string_view date)
{
    if (date.size() < 8)
        return;
    const std::string y(date.substr(0, 4)), m(date.substr(4, 2)), d(date.substr(6, 2));
    if (!std::all_of(date.begin(), date.begin() + 8,
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return;
    const int month = std::stoi(m);
    const std::string m1 = std::to_string(month), d1 = std::to_string(std::stoi(d));
    addRun({ std::string(date.substr(0, 8)) }, Kind::Date);
    for (const std::string &mm : { m, m1 }) {
        for (const std::string &dd : { d, d1 }) {
            addRun({ y, mm, dd }, Kind::Date);
            addRun({ dd, mm, y }, Kind::Date);
            addRun({ mm, dd, y }, Kind::Date);
        }
    }
    if (month < 1 || month > 12)
        return;
    for (const char *name : monthNames[month - 1]) {
        for (const std::string &dd : { d, d1 }) {
            addRun({ dd, name, y }, Kind::Date);
            addRun({ name, dd, y }, Kind::Date);
        }
    }
}

void IdentifierMatcher::addText(const QString &value, Kind kind)
{
    std::vector<std::string> run = words(value);
    if (letters(run) < 4)
        return;
    if (std::all_of(run.begin(), run.end(), [](const std::string &w) {
            return w.size() < 2 || isCommonWord(w)
                    || (std::isdigit(static_cast<unsigned char>(w.front())) && w.size() < 4);
        }))
        return;
    addRun(std::move(run), kind);
}

void IdentifierMatcher::addUid(std::string_view uid)
{
    if (uid.size() < 4)
        return;
    std::string text(uid);
    if (std::find(m_uids.begin(), m_uids.end(), text) == m_uids.end())
        m_uids.push_back(std::move(text));
}

IdentifierMatcher::Kind IdentifierMatcher::find(const QString &text) const
{
    if (m_known->runs.empty() && m_known->groups.empty() && m_known->unspaced.empty())
        return Kind::None;
    // Apostrophes join ("O'Brien" is "obrien", "St Mary's" is "st marys"); a text with a
    // possessive is read once more with its "'s" apart, for "Doe's".
    const Kind kind = findFolded(text);
    QString split;
    if (kind == Kind::None && splitPossessives(text, split))
        return findFolded(split);
    return kind;
}

IdentifierMatcher::Kind IdentifierMatcher::findFolded(const QString &text) const
{
    thread_local Folded folded;
    folded.fold(text);
    const Known &known = *m_known;
    const size_t n = folded.wordCount;
    const std::vector<std::string> &words = folded.words;
    for (size_t i = 0; i < n; ++i) {
        const auto [first, last] = known.runsByFirstWord.equal_range(words[i]);
        for (auto it = first; it != last; ++it) {
            const Run &run = known.runs[it->second];
            if (run.words.size() > n - i)
                continue;
            if (std::equal(run.words.begin() + 1, run.words.end(),
                           words.begin() + static_cast<std::ptrdiff_t>(i) + 1))
                return run.kind;
        }
    }
    // A long name's word with an ending: declined, or run on into the next word.
    for (size_t i = 0; i < n; ++i) {
        const std::string &word = words[i];
        for (const std::string &name : known.nameWords) {
            if (word.size() <= name.size() || word.compare(0, name.size(), name) != 0)
                continue;
            if (name.size() >= 6)
                return Kind::Name;
        }
    }
    for (const std::vector<std::string> &group : known.groups) {
        const bool all = std::all_of(group.begin(), group.end(), [&](const std::string &part) {
            return std::find(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(n), part)
                    != words.begin() + static_cast<std::ptrdiff_t>(n);
        });
        if (all)
            return Kind::Name;
    }
    if (folded.unspaced) {
        for (const std::string &part : known.unspaced) {
            if (folded.joined.find(part) != std::string::npos)
                return Kind::Name;
        }
    }
    return Kind::None;
}

bool IdentifierMatcher::findUid(std::string_view bytes) const
{
    for (const std::string &uid : m_uids) {
        if (bytes.size() >= uid.size() && bytes.find(uid) != std::string_view::npos)
            return true;
    }
    return false;
}
