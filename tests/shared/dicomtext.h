#pragma once

// DICOM files written as text, so that each malformed or crafted file is data a reader can
// follow byte by byte. A case file holds cases and fragments:
//
//   # a comment line
//   [name] word word... | text     a case; its words and text are for the test that reads it
//   define name                    a fragment, inserted into a case by `use name`
//
// and below each, one element or marker a line:
//
//   (gggg,eeee) VR value... [len=N]  an element (in implicit mode the VR may be left out, and
//                                    is not written); len=N or len=undefined states a length,
//                                    true or not
//   (gggg,eeee) VR {  ...  }         an element whose value is the block, its length counted
//   item [value...] [len=N], item {  an item; `itemend` and `seqend` are the delimiters
//   deflate { ... }, repeat N { ... }, raw value..., drop N (the last N bytes so far)
//   meta [syntax]                    the preamble and a meta group naming that syntax
//   explicit, implicit, big          how the lines after it are encoded
//
// A value is "text" (with \0 and \n), 0xHEX, u16:N or u32:N in the current byte order, or
// N*0xHH (N bytes of HH). Each case starts in explicit VR little endian.

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QtEndian>

namespace DicomText {

struct Case
{
    QString name;
    QStringList words; // after the name, up to '|'
    QString text; // after '|', trimmed
    QByteArray bytes;
    QString error; // set when the case does not assemble
};

class Assembler
{
public:
    explicit Assembler(const QHash<QString, QStringList> &fragments) : m_fragments(fragments) { }

    QByteArray assemble(const QStringList &lines, QString *error)
    {
        m_big = m_implicit = false;
        m_error.clear();
        const QByteArray bytes = lines.isEmpty() ? QByteArray() : run(lines);
        *error = m_error;
        return bytes;
    }

private:
    QByteArray number(quint32 v, int size) const
    {
        char b[4];
        if (size == 2)
            m_big ? qToBigEndian(quint16(v), b) : qToLittleEndian(quint16(v), b);
        else
            m_big ? qToBigEndian(v, b) : qToLittleEndian(v, b);
        return QByteArray(b, size);
    }

    void fail(const QString &what)
    {
        if (m_error.isEmpty())
            m_error = QStringLiteral("line %1: %2").arg(m_at).arg(what);
    }

    QByteArray value(const QString &t)
    {
        static const QRegularExpression form(
                QStringLiteral("^(?:\"(.*)\"|0x((?:[0-9A-Fa-f]{2})*)|u(16|32):(\\w+)|(\\d+)\\*0x(["
                               "0-9A-Fa-f]{2}))$"));
        const QRegularExpressionMatch m = form.match(t);
        bool ok = true;
        if (m.hasCaptured(1)) {
            QByteArray text = m.captured(1).toUtf8();
            return text.replace("\\n", "\n").replace("\\0", QByteArray(1, '\0'));
        } else if (m.hasCaptured(2)) {
            return QByteArray::fromHex(m.captured(2).toLatin1());
        } else if (m.hasCaptured(3)) {
            const QByteArray out = number(m.captured(4).toUInt(&ok, 0), m.captured(3).toInt() / 8);
            if (ok)
                return out;
        } else if (m.hasCaptured(5)) {
            return QByteArray(m.captured(5).toInt(), char(m.captured(6).toUInt(nullptr, 16)));
        }
        fail(QStringLiteral("not a value: ") + t);
        return {};
    }

    // The values of a line from token `from` on, and the length it states (-1: the value's).
    QByteArray values(const QStringList &t, int from, qint64 *length)
    {
        QByteArray out;
        *length = -1;
        for (int i = from; i < t.size(); ++i) {
            bool ok = true;
            if (t.at(i) == "{")
                out += block();
            else if (t.at(i) == "len=undefined")
                *length = 0xFFFFFFFFu;
            else if (t.at(i).startsWith("len="))
                *length = t.at(i).mid(4).toUInt(&ok, 0);
            else
                out += value(t.at(i));
            if (!ok)
                fail(QStringLiteral("not a length: ") + t.at(i));
        }
        return out;
    }

    QByteArray element(const QStringList &t)
    {
        static const QRegularExpression tagForm(
                QStringLiteral("^\\(([0-9A-Fa-f]{4}),([0-9A-Fa-f]{4})\\)$"));
        static const QRegularExpression vrForm(QStringLiteral("^[A-Z]{2}$"));
        const QRegularExpressionMatch tag = tagForm.match(t.at(0));
        const bool hasVr = vrForm.match(t.value(1)).hasMatch();
        if (!tag.hasMatch() || (!m_implicit && !hasVr)) {
            fail(QStringLiteral("not an element: ") + t.join(' '));
            return {};
        }
        qint64 length = -1;
        const QByteArray v = values(t, hasVr ? 2 : 1, &length);
        const quint32 n = length < 0 ? quint32(v.size()) : quint32(length);
        QByteArray out = number(tag.captured(1).toUInt(nullptr, 16), 2)
                + number(tag.captured(2).toUInt(nullptr, 16), 2);
        // GDCM gives every VR it does not know a 32-bit length, as for UN.
        static const QStringList shortVrs
                = QStringLiteral("AE AS AT CS DA DS DT FD FL IS LO LT PN SH SL SS ST TM UI UL US")
                          .split(' ');
        if (m_implicit)
            out += number(n, 4);
        else if (shortVrs.contains(t.at(1)))
            out += t.at(1).toLatin1() + number(n, 2);
        else
            out += t.at(1).toLatin1() + QByteArray(2, '\0') + number(n, 4);
        return out + v;
    }

    QByteArray meta(QByteArray syntax)
    {
        if (syntax.size() % 2)
            syntax += '\0';
        const bool big = m_big;
        m_big = false;
        const QByteArray body
                = run({ "(0002,0001) OB 0x0001", "(0002,0002) UI \"1.2.840.10008.5.1.4.1.1.7\\0\"",
                        "(0002,0003) UI \"1.2.3.4\\0\"" })
                + number(0x0002, 2) + number(0x0010, 2) + "UI" + number(quint32(syntax.size()), 2)
                + syntax;
        const QByteArray out = QByteArray(128, '\0') + "DICM" + number(0x0002, 2) + number(0, 2)
                + "UL" + number(4, 2) + number(quint32(body.size()), 4) + body;
        m_big = big;
        return out;
    }

    // The lines `lines`, in the current mode.
    QByteArray run(const QStringList &lines)
    {
        const QStringList saved = m_lines;
        const int at = m_at;
        m_lines = lines;
        m_at = 0;
        QByteArray out = block(false);
        m_lines = saved;
        m_at = at;
        return out;
    }

    // Lines up to a closing "}" (when `nested`) or the end.
    QByteArray block(bool nested = true)
    {
        QByteArray out;
        static const QRegularExpression token(QStringLiteral("\"[^\"]*\"|\\S+"));
        while (m_at < m_lines.size() && m_error.isEmpty()) {
            QStringList t;
            for (auto it = token.globalMatch(m_lines.at(m_at++)); it.hasNext();)
                t.append(it.next().captured());
            const QString word = t.value(0);
            qint64 length = -1;
            if (word == "}") {
                if (!nested)
                    fail(QStringLiteral("'}' without '{'"));
                return out;
            } else if (word == "explicit" || word == "implicit") {
                m_implicit = word == "implicit";
            } else if (word == "big") {
                m_big = true;
            } else if (word == "meta") {
                const QString syntax = t.value(1, QStringLiteral("1.2.840.10008.1.2.1"));
                out += meta(syntax.startsWith('"') ? value(syntax) : syntax.toLatin1());
            } else if (word == "use") {
                const bool big = m_big;
                const bool implicit = m_implicit;
                if (!m_fragments.contains(t.value(1)))
                    fail(QStringLiteral("no fragment ") + t.value(1));
                out += run(m_fragments.value(t.value(1)));
                m_big = big;
                m_implicit = implicit;
            } else if (word == "item") {
                const QByteArray v = values(t, 1, &length);
                out += number(0xFFFE, 2) + number(0xE000, 2)
                        + number(length < 0 ? quint32(v.size()) : quint32(length), 4) + v;
            } else if (word == "itemend" || word == "seqend") {
                out += number(0xFFFE, 2) + number(word == "itemend" ? 0xE00D : 0xE0DD, 2)
                        + number(0, 4);
            } else if (word == "raw") {
                out += values(t, 1, &length);
            } else if (word == "deflate") {
                // qCompress gives a 4-byte size, then a zlib stream: a 2-byte header, the raw
                // deflate data and a 4-byte checksum.
                out += qCompress(values(t, 1, &length), 9).mid(6).chopped(4);
            } else if (word == "repeat") {
                out += values(t, 2, &length).repeated(t.value(1).toInt());
            } else if (word == "drop") {
                out.chop(t.value(1).toInt());
            } else if (!word.isEmpty()) {
                out += element(t);
            }
        }
        if (nested)
            fail(QStringLiteral("'{' without '}'"));
        return out;
    }

    const QHash<QString, QStringList> m_fragments;
    QStringList m_lines;
    int m_at = 0;
    bool m_big = false;
    bool m_implicit = false;
    QString m_error;
};

// Every case of a case file, in order, each assembled; a file that cannot be read gives none.
inline QList<Case> readCases(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QHash<QString, QStringList> fragments;
    QList<QPair<Case, QStringList>> cases;
    QStringList *body = nullptr;
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n')) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#')) {
            continue;
        } else if (trimmed.startsWith("define ")) {
            body = &fragments[trimmed.mid(7).trimmed()];
        } else if (trimmed.startsWith('[')) {
            Case c;
            c.name = trimmed.mid(1, trimmed.indexOf(']') - 1);
            const QString rest = trimmed.mid(trimmed.indexOf(']') + 1);
            c.words = rest.section('|', 0, 0).split(' ', Qt::SkipEmptyParts);
            c.text = rest.section('|', 1).trimmed();
            cases.append({ c, {} });
            body = &cases.last().second;
        } else if (body) {
            body->append(trimmed);
        }
    }
    QList<Case> out;
    Assembler assembler(fragments);
    for (auto &[c, lines] : cases) {
        c.bytes = assembler.assemble(lines, &c.error);
        out.append(c);
    }
    return out;
}

} // namespace DicomText
