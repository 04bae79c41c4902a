#include "engine/dicom/characterset.h"
#include "engine/cleaning/identifiermatcher.h"

#include <QTest>

// The matcher a file builds from its own values, and the decoding of those values: what it
// finds however the patient is written, and the ordinary texts it leaves alone.
class TestIdentifierMatcher : public QObject
{
    Q_OBJECT

private slots:
    void finds_data();
    void finds();
    void builtOnceForTheSameInputs();
    void decodes_data();
    void decodes();
};

using Kind = IdentifierMatcher::Kind;
Q_DECLARE_METATYPE(Kind)

namespace {

// The patient of every row: a name with an ideographic and a phonetic group, an ID, a birth
// date, an institution.
IdentifierMatcher patient()
{
    IdentifierMatcher matcher;
    matcher.addName(QStringLiteral("Doe^John^^^"));
    matcher.addName(QString::fromUtf8("Yamada^Tarou=山田^太郎=やまだ^たろう"));
    matcher.addName(QStringLiteral("Head^Left")); // two DICOM terms: only together
    matcher.addName(QString::fromUtf8("Müller^Zoë"));
    matcher.addId(QStringLiteral("123456"));
    matcher.addId(QStringLiteral("MRN642341"));
    matcher.addBirthDate("19370412");
    matcher.addText(QStringLiteral("St. Mary's Hospital"));
    matcher.addText(QStringLiteral("CT HEAD")); // ordinary words only: never searched
    matcher.addUid("1.2.826.0.1.3680043.99.7");
    return matcher;
}

// The same patient as a file's walk gives it, all at once.
std::vector<IdentifierMatcher::Input> patientInputs()
{
    using As = IdentifierMatcher::Input::As;
    return { { As::Name, QStringLiteral("Doe^John^^^") },
             { As::Name, QString::fromUtf8("Yamada^Tarou=山田^太郎=やまだ^たろう") },
             { As::Name, QStringLiteral("Head^Left") },
             { As::Name, QString::fromUtf8("Müller^Zoë") },
             { As::Id, QStringLiteral("123456") },
             { As::Id, QStringLiteral("MRN642341") },
             { As::BirthDate, QStringLiteral("19370412 ") },
             { As::Text, QStringLiteral("St. Mary's Hospital") },
             { As::Text, QStringLiteral("CT HEAD") } };
}

IdentifierMatcher patientAtOnce()
{
    IdentifierMatcher matcher;
    matcher.addAll(patientInputs());
    matcher.addUid("1.2.826.0.1.3680043.99.7");
    return matcher;
}

} // namespace

void TestIdentifierMatcher::finds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Kind>("kind");
    const auto row = [](const char *name, const char *text, Kind kind) {
        QTest::addRow("%s", name) << QString::fromUtf8(text) << kind;
    };
    row("name as written", "DOE^JOHN", Kind::Name);
    row("given name first", "John Doe", Kind::Name);
    row("comma, lower case", "doe, john", Kind::Name);
    row("surname alone in a sentence", "seen by Dr Doe today", Kind::Name);
    row("inside a file name", "DOE_JOHN_1.dcm", Kind::Name);
    row("possessive", "Doe's scan", Kind::Name);
    row("a long name with an ending", "Frau Müllerová", Kind::Name);
    row("a short name with an ending", "does not", Kind::None);
    row("decomposed accents", "Mu\xcc\x88ller", Kind::Name);
    row("upper case accents", "MÜLLER ZOË", Kind::Name);
    row("ideographic group joined", "山田太郎様", Kind::Name);
    row("phonetic group alone", "やまだ", Kind::Name);
    row("full-width letters", "ＤＯＥ", Kind::Name);
    row("DICOM terms of a name together", "left head", Kind::Name);
    row("one DICOM term alone", "HEAD", Kind::None);
    row("ID inside a longer text", "MRN 123456 left knee", Kind::Id);
    row("ID split where letters meet digits", "mrn-642341", Kind::Id);
    row("ID inside a word", "MRN642341X", Kind::Id);
    row("birth date as stored", "19370412", Kind::Date);
    row("birth date with dashes", "1937-04-12", Kind::Date);
    row("birth date with dots", "12.04.1937", Kind::Date);
    row("birth date, day first", "12/04/1937", Kind::Date);
    row("birth date, month first", "04/12/1937", Kind::Date);
    row("birth date, one digit", "12.4.1937", Kind::Date);
    row("birth date in words", "born 12 April 1937", Kind::Date);
    row("birth date, month name first", "April 12, 1937", Kind::Date);
    row("short month name", "12 Apr 1937", Kind::Date);
    row("another date", "1937-04-13", Kind::None);
    row("institution respelled", "ST MARYS HOSPITAL", Kind::Other);
    row("ordinary words", "CT head without contrast", Kind::None);
    row("an ID's digits in a longer number", "1234567", Kind::None);
    row("a name inside a longer word", "Doesburg", Kind::None);
    row("empty", "", Kind::None);
    // Qt's normalisation takes time that grows with the cube of a run of combining marks.
    QTest::addRow("a name beside thousands of combining marks")
            << QStringLiteral("Doe ") + QString(5000, QChar(0x0301)) << Kind::Name;
}

void TestIdentifierMatcher::finds()
{
    QFETCH(QString, text);
    QFETCH(Kind, kind);
    static const IdentifierMatcher matcher = patient();
    QCOMPARE(matcher.find(text), kind);
    // Built at once, the first time and again from what the thread kept: the same answers.
    static const IdentifierMatcher first = patientAtOnce();
    static const IdentifierMatcher again = patientAtOnce();
    QCOMPARE(first.find(text), kind);
    QCOMPARE(again.find(text), kind);
}

// What a thread keeps from the last inputs is shared only with a matcher of the same inputs,
// and a matcher that shares it and adds more changes no other.
void TestIdentifierMatcher::builtOnceForTheSameInputs()
{
    using As = IdentifierMatcher::Input::As;
    const IdentifierMatcher first = patientAtOnce();
    IdentifierMatcher second = patientAtOnce();
    second.addName(QStringLiteral("Roe^Richard"));
    QCOMPARE(second.find(QStringLiteral("Richard Roe")), Kind::Name);
    QCOMPARE(first.find(QStringLiteral("Richard Roe")), Kind::None);
    QCOMPARE(patientAtOnce().find(QStringLiteral("Richard Roe")), Kind::None);

    // One input more, one less, or one of another kind: built anew.
    std::vector<IdentifierMatcher::Input> more = patientInputs();
    more.push_back({ As::Text, QStringLiteral("Station Nord 7") });
    std::vector<IdentifierMatcher::Input> fewer = patientInputs();
    fewer.erase(fewer.begin());
    std::vector<IdentifierMatcher::Input> otherKind = patientInputs();
    otherKind.front().as = As::Text;
    IdentifierMatcher withMore;
    withMore.addAll(more);
    QCOMPARE(withMore.find(QStringLiteral("station nord 7")), Kind::Other);
    IdentifierMatcher withFewer;
    withFewer.addAll(fewer);
    QCOMPARE(withFewer.find(QStringLiteral("John")), Kind::None);
    QCOMPARE(withFewer.find(QStringLiteral("station nord 7")), Kind::None);
    IdentifierMatcher withOtherKind;
    withOtherKind.addAll(otherKind);
    QCOMPARE(withOtherKind.find(QStringLiteral("Doe")), Kind::None);
    QCOMPARE(withOtherKind.find(QStringLiteral("doe john")), Kind::Other);
    // A matcher that already holds words adds to them; it never takes another's.
    IdentifierMatcher holding;
    holding.addName(QStringLiteral("Roe^Richard"));
    holding.addAll(patientInputs());
    QCOMPARE(holding.find(QStringLiteral("Richard")), Kind::Name);
    QCOMPARE(holding.find(QStringLiteral("John")), Kind::Name);
    QCOMPARE(patientAtOnce().find(QStringLiteral("Richard")), Kind::None);
}

void TestIdentifierMatcher::decodes_data()
{
    QTest::addColumn<QByteArray>("charset");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    const auto row = [](const char *name, const char *charset, const QByteArray &bytes,
                        const char *text) {
        QTest::addRow("%s", name) << QByteArray(charset) << bytes << QString::fromUtf8(text);
    };
    row("default repertoire", "", "Doe^John", "Doe^John");
    row("undeclared UTF-8", "", "M\xc3\xbcller", "Müller");
    row("undeclared Latin-1", "", "M\xfcller", "Müller");
    row("Latin-1", "ISO_IR 100", "M\xfcller^Zo\xeb", "Müller^Zoë");
    row("Latin-2", "ISO_IR 101", "Nov\xe1k^\xa9t\xecp\xe1n", "Novák^Štěpán");
    row("Cyrillic", "ISO_IR 144", "\xbb\xd5\xdd\xd8\xdd", "Ленин");
    row("Greek", "ISO_IR 126", "\xc4\xe9\xef\xed\xf5\xf3\xe9\xef\xf2", "Διονυσιος");
    row("UTF-8", "ISO_IR 192",
        "Wang^XiaoDong=\xe7\x8e\x8b^\xe5\xb0\x8f\xe6\x9d\xb1=", "Wang^XiaoDong=王^小東=");
    row("ISO 2022 Japanese", "ISO 2022 IR 6\\ISO 2022 IR 87",
        "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B=\x1b$B$d$^$@\x1b(B^\x1b$B$?$m$&\x1b(B",
        "Yamada^Tarou=山田^太郎=やまだ^たろう");
    row("ISO 2022 half-width katakana", "ISO 2022 IR 13\\ISO 2022 IR 87",
        "\xd4\xcf\xc0\xde^\xc0\xdb\xb3", "ﾔﾏﾀﾞ^ﾀﾛｳ");
    row("ISO 2022 Korean", "\\ISO 2022 IR 149",
        "Hong^Gildong=\x1b$)C\xfb\xf3^\x1b$)C\xd1\xce\xd4\xd7", "Hong^Gildong=洪^吉洞");
}

void TestIdentifierMatcher::decodes()
{
    QFETCH(QByteArray, charset);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    const CharacterSet set(std::string_view(charset.constData(), size_t(charset.size())));
    QCOMPARE(set.decode(std::string_view(bytes.constData(), size_t(bytes.size()))), text);
}

QTEST_GUILESS_MAIN(TestIdentifierMatcher)
#include "tst_identifiermatcher.moc"
