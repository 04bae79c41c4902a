#pragma once

#include <QString>

#include <string>
#include <string_view>
#include <vector>

// The text of a value as the data set's Specific Character Set (0008,0005) encodes it: the
// single-byte sets (ISO_IR 100 to 203, 13, 166), UTF-8 (ISO_IR 192), GB18030 and GBK, and the
// ISO 2022 code extensions with their escape sequences (IR 6, 13, 87, 159, 149, 58 and the
// Latin, Cyrillic, Greek, Arabic, Hebrew and Thai sets). Decoders come from Qt's ICU. Without a
// character set (the default repertoire) bytes are read as UTF-8 where they are valid UTF-8,
// else as Latin-1, since many files write either without saying so. Safe on any thread; the
// decoders are kept per thread.
class CharacterSet
{
public:
    CharacterSet() = default;
    // The element's value, with its defined terms separated by backslashes.
    explicit CharacterSet(std::string_view specificCharacterSet);

    // Bytes that the set cannot decode come out as U+FFFD; never fails.
    QString decode(std::string_view bytes) const;

private:
    struct Designation
    {
        const char *codec = nullptr; // for the high bytes (G1), or the whole set without 2022
        bool twoByteG0 = false; // JIS X 0208 / 0212 in G0: byte pairs 0x21-0x7E
        bool jis0212 = false;
    };
    QString decodeExtensions(std::string_view bytes) const;

    const char *m_codec = nullptr; // null: the default repertoire
    bool m_extensions = false;
    Designation m_initialG1;
};
