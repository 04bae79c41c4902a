#pragma once

#include <QString>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// What identifies the people of one file, and the search for it in any text: built from the
// file's own values before the cleaning, then asked about every value of the copy (and the
// names of its file and folders). Texts are compared folded: Unicode NFKC, case-folded,
// apostrophes dropped, split into words at every other character that is not a letter or a
// digit and where letters meet digits ("MRN642341" is "mrn 642341"). So "Doe, John",
// "john doe" and "DOE^JOHN^^^" all read as the same words.
//
// - A person name gives each of its words of two or more letters (of every component group,
//   alphabetic, ideographic and phonetic), each found alone as a whole word (also before a
//   possessive's "'s") and, from six letters on, at the start of a longer word
//   ("Wojciechowskiego"); a word that is a
//   DICOM term or an ordinary word ("HEAD", "LEFT", "CT") is found only together with the
//   other words of its group. Words in scripts written without spaces (Han, kana, Hangul, Thai)
//   are found inside longer runs.
// - An ID is found as its run of words inside a longer text ("MRN 123456 left knee").
// - The birth date is found in its common written forms: 19370412, 1937-04-12, 12.04.1937,
//   12/04/1937, 04/12/1937, "12 April 1937", "April 12, 1937" (and with one-digit days and
//   months, and the short month names).
// - Other identifying values (addresses, institutions, stations, dates) are found as their run
//   of words, unless every word is an ordinary one.
// - UIDs are found byte for byte.
//
// Built on one thread, then read-only: safe to share.
class IdentifierMatcher
{
public:
    enum class Kind : unsigned char { None, Name, Id, Date, Uid, Other };

    void addName(const QString &personName);
    void addId(const QString &id);
    void addBirthDate(std::string_view date); // YYYYMMDD
    void addText(const QString &value, Kind kind = Kind::Other);
    void addUid(std::string_view uid);

    // One value to add, as a file's walk gathers them: `as` names the add function above.
    struct Input
    {
        enum class As : unsigned char { Name, Id, BirthDate, Text, Date } as;
        QString text;
        bool operator==(const Input &other) const { return as == other.as && text == other.text; }
    };
    // Adds every input in order, as the add functions would one by one. The files of one
    // series give the same inputs over and over: each thread keeps what it built from the
    // last inputs it was given and shares it when the next are the same.
    void addAll(const std::vector<Input> &inputs);

    // The kind of the first identifier found in the text; Kind::None when there is none.
    Kind find(const QString &text) const;
    // UIDs only, in raw bytes.
    bool findUid(std::string_view bytes) const;

    bool isEmpty() const
    {
        return m_known->runs.empty() && m_known->groups.empty() && m_uids.empty();
    }

    // The folded words of a text, as the matcher compares them (for tests and tools).
    static std::vector<std::string> words(const QString &text);
    // True for DICOM terms and ordinary words, which do not identify anybody alone.
    static bool isCommonWord(const std::string &word);

private:
    struct Run
    {
        std::vector<std::string> words;
        Kind kind = Kind::None;
    };
    // What the texts added gave; shared between matchers built from the same inputs, copied
    // before a matcher that shares it adds to it.
    struct Known
    {
        std::vector<Run> runs;
        std::unordered_multimap<std::string, size_t> runsByFirstWord;
        std::vector<std::vector<std::string>> groups; // all words of one name group
        std::vector<std::string> nameWords; // the words of names found alone
        std::vector<std::string> unspaced; // words of scripts without spaces, folded UTF-8
    };
    Known &known();
    void addRun(std::vector<std::string> words, Kind kind);
    Kind findFolded(const QString &text) const;

    std::shared_ptr<Known> m_known = std::make_shared<Known>();
    std::vector<std::string> m_uids;
};
