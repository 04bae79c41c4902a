#pragma once

#include <QString>

#include <string>
#include <vector>

// The folded text: its words, and all its letters and digits in one run for the search of
// unspaced scripts. Plain ASCII, nearly every value, is folded without Qt's normalisation.
struct Folded
{
    std::vector<std::string> words;
    std::string joined;
    bool unspaced = false; // holds a character of a script without spaces
    size_t wordCount = 0;

    void fold(const QString &text);

    std::vector<std::string> takeWords() const;

    // True for a character of a script written without spaces between words.
    static bool unspacedScript(char32_t c);
};
