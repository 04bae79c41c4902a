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
//   explicit, implicit, little, big  how the lines after it are encoded
//
// A value is "text" (\0 \n \\ escaped), 0xHEX, u16:N or u32:N in the current byte order, or
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
        m_lines = lines;
        m_at = 0;
        m_big = m_implicit = false;
        m_error.clear();
        const QByteArray bytes = block(false);
        *error = m_error;
        return bytes;
    }

private:
    QByteArray u16(quint32 v) const
    {
        char b[2];
        m_big ? qToBigEndian(quint16(v), b) : qToLittleEndian(quint16(v), b);
        return QByteArray(b, 2);
    }
    QByteArray u32(quint32 v) const
    {
        char b[4];
        m_big ? qToBigEndian(v, b) : qToLittleEndian(v, b);
        return QByteArray(b, 4);
    }
    void fail(const QString &what)
    {
        if (m_error.isEmpty())
            m_error = QStringLiteral("line %1: %2").arg(m_at).arg(what);
    }

    static QStringList tokens(const QString &line)
    {
        QStringList out;
        QString current;
        bool quoted = false;
        for (const QChar c : line) {
            if (c == QLatin1Char('"'))
                quoted = !quoted;
            if (c.isSpace() && !quoted) {
                if (!current.isEmpty())
                    out.append(current);
                current.clear();
            } else {
                current += c;
            }
        }
        if (!current.isEmpty())
            out.append(current);
        return out;
    }

    QByteArray value(const QString &t)
    {
        static const QRegularExpression repeated(QStringLiteral("^(\\d+)\\*0x([0-9A-Fa-f]{2})$"));
        if (t.size() >= 2 && t.startsWith(QLatin1Char('"')) && t.endsWith(QLatin1Char('"'))) {
            QByteArray out;
            const QByteArray s = t.mid(1, t.size() - 2).toUtf8();
            for (qsizetype i = 0; i < s.size(); ++i) {
                if (s.at(i) != '\\' || i + 1 == s.size()) {
                    out += s.at(i);
                    continue;
                }
                const char e = s.at(++i);
                out += e == '0' ? '\0' : e == 'n' ? '\n' : e;
            }
            return out;
        }
        if (const auto m = repeated.match(t); m.hasMatch())
            return QByteArray(m.captured(1).toInt(), char(m.captured(2).toUInt(nullptr, 16)));
        bool ok = false;
        if (t.startsWith(QLatin1String("0x")) && t.size() % 2 == 0) {
            const QByteArray hex = t.mid(2).toLatin1();
            const QByteArray out = QByteArray::fromHex(hex);
            if (out.size() * 2 == hex.size())
                return out;
        } else if (t.startsWith(QLatin1String("u16:"))) {
            const uint v = t.mid(4).toUInt(&ok, 0);
            if (ok)
                return u16(v);
        } else if (t.startsWith(QLatin1String("u32:"))) {
            const uint v = t.mid(4).toUInt(&ok, 0);
            if (ok)
                return u32(v);
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
            if (t.at(i) == QLatin1String("{")) {
                out += block(true);
            } else if (t.at(i).startsWith(QLatin1String("len="))) {
                const QString n = t.at(i).mid(4);
                bool ok = true;
                *length = n == QLatin1String("undefined") ? 0xFFFFFFFFu : n.toUInt(&ok, 0);
                if (!ok)
                    fail(QStringLiteral("not a length: ") + n);
            } else {
                out += value(t.at(i));
            }
        }
        return out;
    }

    QByteArray marker(quint16 element, quint32 length) const
    {
        return u16(0xFFFE) + u16(element) + u32(length);
    }

    QByteArray element(const QStringList &t)
    {
        static const QRegularExpression tagForm(
                QStringLiteral("^\\(([0-9A-Fa-f]{4}),([0-9A-Fa-f]{4})\\)$"));
        const auto tag = tagForm.match(t.at(0));
        if (!tag.hasMatch()) {
            fail(QStringLiteral("unknown line: ") + t.join(QLatin1Char(' ')));
            return {};
        }
        QByteArray out = u16(tag.captured(1).toUInt(nullptr, 16))
                + u16(tag.captured(2).toUInt(nullptr, 16));
        // A VR is two capital letters; in implicit mode it may stay, for the reader, unused.
        static const QRegularExpression vrForm(QStringLiteral("^[A-Z]{2}$"));
        const bool hasVr = vrForm.match(t.value(1)).hasMatch();
        if (!m_implicit && !hasVr) {
            fail(QStringLiteral("no VR"));
            return {};
        }
        const QByteArray vr = t.value(1).toLatin1();
        qint64 length = -1;
        const QByteArray v = values(t, hasVr ? 2 : 1, &length);
        const quint32 n = length < 0 ? quint32(v.size()) : quint32(length);
        // GDCM gives every VR it does not know a 32-bit length, as for UN.
        static const QByteArray shortVrs("AE AS AT CS DA DS DT FD FL IS LO LT PN SH SL SS ST TM "
                                         "UI UL US");
        if (m_implicit)
            out += u32(n);
        else if (shortVrs.contains(vr))
            out += vr + u16(n);
        else
            out += vr + QByteArray(2, '\0') + u32(n);
        return out + v;
    }

    static QByteArray rawDeflate(const QByteArray &in)
    {
        // qCompress gives a 4-byte size, then a zlib stream: a 2-byte header, the raw deflate
        // data and a 4-byte checksum.
        return qCompress(in, 9).mid(6).chopped(4);
    }

    // Lines up to a closing "}" (when `nested`) or the end.
    QByteArray block(bool nested)
    {
        QByteArray out;
        while (m_at < m_lines.size() && m_error.isEmpty()) {
            const QStringList t = tokens(m_lines.at(m_at++));
            if (t.isEmpty())
                continue;
            const QString &word = t.at(0);
            qint64 length = -1;
            if (word == QLatin1String("}")) {
                if (!nested)
                    fail(QStringLiteral("'}' without '{'"));
                return out;
            } else if (word == QLatin1String("explicit") || word == QLatin1String("implicit")) {
                m_implicit = word == QLatin1String("implicit");
            } else if (word == QLatin1String("little") || word == QLatin1String("big")) {
                m_big = word == QLatin1String("big");
            } else if (word == QLatin1String("meta")) {
                QByteArray syntax = t.size() < 2 ? QByteArray("1.2.840.10008.1.2.1")
                        : t.at(1).startsWith(QLatin1Char('"')) ? value(t.at(1))
                                                               : t.at(1).toLatin1();
                if (syntax.size() % 2)
                    syntax += '\0';
                const bool big = m_big;
                m_big = false;
                const QByteArray body = u16(2) + u16(1) + "OB" + QByteArray(2, '\0') + u32(2)
                        + QByteArray("\0\1", 2) + u16(2) + u16(2) + "UI" + u16(26)
                        + QByteArray("1.2.840.10008.5.1.4.1.1.7\0", 26) + u16(2) + u16(3)
                        + "UI" + u16(8) + QByteArray("1.2.3.4\0", 8) + u16(2) + u16(0x10) + "UI"
                        + u16(quint32(syntax.size())) + syntax;
                out += QByteArray(128, '\0') + "DICM" + u16(2) + u16(0) + "UL" + u16(4)
                        + u32(quint32(body.size())) + body;
                m_big = big;
            } else if (word == QLatin1String("use")) {
                if (!m_fragments.contains(t.value(1))) {
                    fail(QStringLiteral("no fragment ") + t.value(1));
                    continue;
                }
                const QStringList lines = m_lines;
                const int at = m_at;
                const bool big = m_big;
                const bool implicit = m_implicit;
                m_lines = m_fragments.value(t.at(1));
                m_at = 0;
                out += block(false);
                m_lines = lines;
                m_at = at;
                m_big = big;
                m_implicit = implicit;
            } else if (word == QLatin1String("item")) {
                const QByteArray v = values(t, 1, &length);
                out += marker(0xE000, length < 0 ? quint32(v.size()) : quint32(length)) + v;
            } else if (word == QLatin1String("itemend")) {
                out += marker(0xE00D, 0);
            } else if (word == QLatin1String("seqend")) {
                out += marker(0xE0DD, 0);
            } else if (word == QLatin1String("raw")) {
                out += values(t, 1, &length);
            } else if (word == QLatin1String("deflate")) {
                out += rawDeflate(values(t, 1, &length));
            } else if (word == QLatin1String("repeat")) {
                const QByteArray v = values(t, 2, &length);
                out += v.repeated(t.value(1).toInt());
            } else if (word == QLatin1String("drop")) {
                out.chop(t.value(1).toInt());
            } else {
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
    QList<QPair<Case, QStringList>> pending;
    QStringList *body = nullptr;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        if (trimmed.startsWith(QLatin1String("define "))) {
            body = &fragments[trimmed.mid(7).trimmed()];
        } else if (trimmed.startsWith(QLatin1Char('['))) {
            Case c;
            const qsizetype close = trimmed.indexOf(QLatin1Char(']'));
            c.name = trimmed.mid(1, close - 1);
            const QString rest = trimmed.mid(close + 1);
            c.words = rest.section(QLatin1Char('|'), 0, 0).split(QLatin1Char(' '),
                                                                  Qt::SkipEmptyParts);
            c.text = rest.section(QLatin1Char('|'), 1).trimmed();
            pending.append({ c, {} });
            body = &pending.last().second;
        } else if (body) {
            body->append(trimmed);
        }
    }
    QList<Case> cases;
    Assembler assembler(fragments);
    for (auto &[c, lines] : pending) {
        c.bytes = assembler.assemble(lines, &c.error);
        cases.append(c);
    }
    return cases;
}

} // namespace DicomText
