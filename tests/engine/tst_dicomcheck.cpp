#include "engine/dicomcheck.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <gdcmReader.h>
#include <zlib.h>

#include <limits>
#include <memory>

// Files are made here byte by byte, so each malformation is exactly the one named. What GDCM
// itself would do with a file is asked of `dicomreadprobe`, which reads and writes it the way
// the anonymizer does in a child process: an abort there would have ended our program.
namespace {

const char pydicomFiles[] = "/usr/lib/python3/dist-packages/pydicom/data/test_files";

enum ProbeOutcome { Read = 0, Refused = 1, WriteFailed = 2, HugeAllocation = 3, Crashed = 100 };

int probe(const QString &path)
{
    QProcess p;
    p.start(QStringLiteral(TEST_BIN_DIR "/dicomreadprobe"), { path });
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return Crashed;
    }
    return p.exitStatus() == QProcess::CrashExit ? int(Crashed) : p.exitCode();
}

QByteArray le16(quint16 v)
{
    return QByteArray(1, char(v & 0xFF)) + char(v >> 8);
}

QByteArray le32(quint32 v)
{
    return le16(quint16(v & 0xFFFF)) + le16(quint16(v >> 16));
}

QByteArray be16(quint16 v)
{
    return QByteArray(1, char(v >> 8)) + char(v & 0xFF);
}

QByteArray be32(quint32 v)
{
    return be16(quint16(v >> 16)) + be16(quint16(v & 0xFFFF));
}

// GDCM gives every VR it does not know a 32-bit length, as for UN.
bool longVr(const char *vr)
{
    return !QByteArray("AE AS AT CS DA DS DT FD FL IS LO LT PN SH SL SS ST TM UI UL US")
                    .contains(QByteArray(vr, 2));
}

// One explicit VR element; `length` overrides the value's own length (for lies).
QByteArray el(quint16 g, quint16 e, const char *vr, const QByteArray &value, bool big = false,
              qint64 length = -1)
{
    const quint32 n = length < 0 ? quint32(value.size()) : quint32(length);
    QByteArray out = big ? be16(g) + be16(e) : le16(g) + le16(e);
    out += QByteArray(vr, 2);
    if (longVr(vr))
        out += QByteArray(2, '\0') + (big ? be32(n) : le32(n));
    else
        out += big ? be16(quint16(n)) : le16(quint16(n));
    return out + value;
}

QByteArray implicitEl(quint16 g, quint16 e, const QByteArray &value, qint64 length = -1)
{
    return le16(g) + le16(e) + le32(length < 0 ? quint32(value.size()) : quint32(length)) + value;
}

constexpr quint32 undefinedLength = 0xFFFFFFFF;

QByteArray marker(quint16 e, quint32 length, bool big = false)
{
    return big ? be16(0xFFFE) + be16(e) + be32(length) : le16(0xFFFE) + le16(e) + le32(length);
}

QByteArray item(const QByteArray &body, bool undefined = false, bool big = false)
{
    if (undefined)
        return marker(0xE000, undefinedLength, big) + body + marker(0xE00D, 0, big);
    return marker(0xE000, quint32(body.size()), big) + body;
}

QByteArray sequenceEnd(bool big = false)
{
    return marker(0xE0DD, 0, big);
}

QByteArray meta(const QByteArray &syntax = "1.2.840.10008.1.2.1")
{
    QByteArray uid = syntax;
    if (uid.size() % 2)
        uid += '\0';
    const QByteArray body = el(2, 1, "OB", QByteArray("\0\1", 2))
            + el(2, 2, "UI", QByteArray("1.2.840.10008.5.1.4.1.1.7\0", 26))
            + el(2, 3, "UI", QByteArray("1.2.3.4\0", 8)) + el(2, 0x10, "UI", uid);
    return QByteArray(128, '\0') + "DICM" + el(2, 0, "UL", le32(quint32(body.size()))) + body;
}

QByteArray ids(bool big = false)
{
    return el(8, 0x16, "UI", QByteArray("1.2.840.10008.5.1.4.1.1.7\0", 26), big)
            + el(8, 0x18, "UI", QByteArray("1.2.3.4\0", 8), big)
            + el(0x10, 0x10, "PN", "Doe^John", big) + el(0x10, 0x20, "LO", "ID-7", big);
}

QByteArray undefinedSequence(const QByteArray &itemBody, bool big = false)
{
    return el(0x0040, 0x0275, "SQ", {}, big, undefinedLength) + item(itemBody, true, big)
            + sequenceEnd(big);
}

QByteArray pixels(int bytes, bool big = false)
{
    return el(0x7FE0, 0x0010, "OW", QByteArray(bytes, '\x11'), big);
}

QByteArray nested(int depth)
{
    QByteArray inner = el(0x0040, 0x1001, "SH", "STEP");
    for (int i = 0; i < depth; ++i)
        inner = undefinedSequence(inner);
    return inner;
}

QByteArray encapsulated(const QByteArray &fragmentsAndEnd)
{
    return el(0x7FE0, 0x0010, "OB", {}, false, undefinedLength) + fragmentsAndEnd;
}

// A data set with a defined-length and an undefined-length sequence and pixel data.
QByteArray richExplicit(bool big = false)
{
    const QByteArray itemBody = el(0x0008, 0x1150, "UI", QByteArray("1.2.3\0", 6), big)
            + el(0x0008, 0x1155, "UI", QByteArray("1.2.3.4.5\0", 10), big);
    const QByteArray defined = item(itemBody, false, big) + item(itemBody, false, big);
    return ids(big) + el(0x0008, 0x1140, "SQ", defined, big) + undefinedSequence(itemBody, big)
            + el(0x0028, 0x0010, "US", big ? be16(8) : le16(8), big) + pixels(128, big);
}

QByteArray rawDeflate(const QByteArray &in)
{
    z_stream zs{};
    deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&zs, uLong(in.size()))), '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.constData()));
    zs.avail_in = uInt(in.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(int(zs.total_out));
    deflateEnd(&zs);
    return out;
}

QByteArray implicitRich()
{
    const QByteArray itemBody = implicitEl(0x0008, 0x1150, QByteArray("1.2.3\0", 6));
    return implicitEl(8, 0x16, QByteArray("1.2.840.10008.5.1.4.1.1.7\0", 26))
            + implicitEl(8, 0x18, QByteArray("1.2.3.4\0", 8)) + implicitEl(0x10, 0x10, "Doe^John")
            + implicitEl(0x0008, 0x1140, item(itemBody)) // defined length: GDCM keeps the bytes
            + implicitEl(0x0040, 0x0275, {}, undefinedLength) + item(itemBody, true) + sequenceEnd()
            + implicitEl(0x7FE0, 0x0010, QByteArray(64, '\x22'));
}

// Checks exactly `size` bytes held in a buffer of that size, so that a sanitizer build sees
// any read past the end.
DicomCheck::Result checkExact(const QByteArray &bytes)
{
    std::unique_ptr<char[]> copy(new char[size_t(qMax(1, int(bytes.size())))]);
    memcpy(copy.get(), bytes.constData(), size_t(bytes.size()));
    return DicomCheck::checkBytes(copy.get(), bytes.size());
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class TestDicomCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void goodEncodings_data();
    void goodEncodings();
    void malformed_data();
    void malformed();
    void reasons_data();
    void reasons();
    void pydicomCorpus_data();
    void pydicomCorpus();
    void truncations_data();
    void truncations();
    void mutationsStayInBoundsAndSafe();
    void fastOnLargeFiles();

private:
    QTemporaryDir m_dir;
};

void TestDicomCheck::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(QFile::exists(QStringLiteral(TEST_BIN_DIR "/dicomreadprobe")),
             "dicomreadprobe is built beside the tests");
}

// Every encoding GDCM reads must pass, and GDCM must indeed read each of these files.
void TestDicomCheck::goodEncodings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addRow("explicit little endian") << meta() + richExplicit();
    QTest::addRow("explicit big endian") << meta("1.2.840.10008.1.2.2") + richExplicit(true);
    QTest::addRow("implicit little endian") << meta("1.2.840.10008.1.2") + implicitRich();
    QTest::addRow("deflated") << meta("1.2.840.10008.1.2.1.99") + rawDeflate(richExplicit());
    QTest::addRow("no meta, explicit") << richExplicit();
    QTest::addRow("no meta, implicit") << implicitRich();
    QTest::addRow("preamble, no meta") << QByteArray(128, '\0') + "DICM" + richExplicit();
    QTest::addRow("encapsulated, empty offset table") << meta("1.2.840.10008.1.2.4.50") + ids()
                    + encapsulated(marker(0xE000, 0) + marker(0xE000, 4) + "\xFF\xD8\xFF\xD9"
                                   + sequenceEnd());
    QTest::addRow("encapsulated, offset table and two fragments") << meta("1.2.840.10008.1.2.5")
                    + ids()
                    + encapsulated(marker(0xE000, 8) + le32(0) + le32(12) + marker(0xE000, 4)
                                   + "abcd" + marker(0xE000, 2) + "ef" + sequenceEnd());
    QTest::addRow("UN of undefined length holds implicit items") << meta() + ids()
                    + el(0x0009, 0x1010, "UN", {}, false, undefinedLength)
                    + item(implicitEl(0x0009, 0x1011, "ABCD"), true) + sequenceEnd();
    QTest::addRow("UN of undefined length in big endian") << meta("1.2.840.10008.1.2.2") + ids(true)
                    + el(0x0009, 0x1010, "UN", {}, true, undefinedLength)
                    + item(be16(0x0009) + be16(0x1011) + be32(4) + "ABCD", true, true)
                    + sequenceEnd(true) + el(0x0010, 0x0030, "DA", "19700101", true);
    QTest::addRow("undefined item closed by the sequence delimiter") << meta() + ids()
                    + el(0x0040, 0x0275, "SQ", {}, false, undefinedLength)
                    + marker(0xE000, undefinedLength) + el(0x0040, 0x1001, "SH", "STEP")
                    + sequenceEnd();
    QTest::addRow("empty sequences and items") << meta() + ids() + el(0x0008, 0x1140, "SQ", {})
                    + el(0x0008, 0x1150, "SQ", item({})) + undefinedSequence({});
    QTest::addRow("60 nested sequences") << meta() + ids() + nested(60);
    QTest::addRow("unknown printable VR") << meta() + ids() + el(0x0009, 0x1010, "ZZ", "abcd");
    QTest::addRow("odd value length") << meta() + ids() + el(0x0010, 0x1000, "LO", "odd");
    QTest::addRow("odd value length in an undefined-length item")
            << meta() + ids() + undefinedSequence(el(0x0040, 0x1001, "SH", "ODD"));
    QTest::addRow("transfer syntax padded with a space")
            << meta("1.2.840.10008.1.2.1 ") + richExplicit();
}

void TestDicomCheck::goodEncodings()
{
    QFETCH(QByteArray, bytes);
    const DicomCheck::Result r = checkExact(bytes);
    QVERIFY2(r.ok, qPrintable(r.reason));
    QVERIFY(r.reason.isEmpty());
    const QString path = m_dir.filePath(QStringLiteral("good.dcm"));
    QVERIFY(writeFile(path, bytes));
    QCOMPARE(DicomCheck::checkFile(path).ok, true);
    QCOMPARE(probe(path), int(Read));
}

// Each of these is refused. `gdcm` says what GDCM does with the file when handed it anyway
// (checked in a child process), which is why the check exists.
void TestDicomCheck::malformed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("gdcm");
    const QByteArray m = meta();
    const QByteArray jpeg = meta("1.2.840.10008.1.2.4.50");
    const QByteArray step = el(0x0040, 0x1001, "SH", "STEP");

    QTest::addRow("zero-length file") << QByteArray() << int(Refused);
    QTest::addRow("preamble and DICM only") << QByteArray(128, '\0') + "DICM" << int(Crashed);
    QTest::addRow("meta group only") << m << int(Crashed);
    QTest::addRow("sequence without delimiters")
            << m + ids() + el(0x0040, 0x0275, "SQ", {}, false, undefinedLength)
                    + marker(0xE000, undefinedLength) + step
            << int(Crashed);
    QTest::addRow("sequence without sequence delimiter")
            << m + ids() + el(0x0040, 0x0275, "SQ", {}, false, undefinedLength) + item(step, true)
            << int(Refused);
    QTest::addRow("pixel data typed as an undefined sequence") << m + ids()
                    + el(0x7FE0, 0x0010, "SQ", {}, false, undefinedLength) + item(step, true)
                    + sequenceEnd() << int(Crashed);
    QTest::addRow("pixel data typed as a sequence")
            << m + ids() + el(0x7FE0, 0x0010, "SQ", item(step)) << int(Crashed);
    QTest::addRow("item longer than its sequence") << m + ids()
                    + el(0x0040, 0x0275, "SQ", item(step), false, item(step).size() - 4)
                    + pixels(64) << int(Refused);
    QTest::addRow("length 0xFFFFFFF0 on an ordinary element")
            << m + ids() + el(0x0040, 0xA160, "UT", "abcd", false, 0xFFFFFFF0)
            << int(HugeAllocation);
    QTest::addRow("huge fragment length") << jpeg + ids()
                    + encapsulated(marker(0xE000, 0) + marker(0xE000, 0xFFFFFFF0) + "\xFF\xD8")
                                          << int(HugeAllocation);
    QTest::addRow("implicit encapsulated pixel data without offset table")
            << meta("1.2.840.10008.1.2") + implicitEl(8, 0x16, "1.2 ")
                    + implicitEl(0x7FE0, 0x0010, {}, undefinedLength) + sequenceEnd()
            << int(Crashed);
    QTest::addRow("fragments without sequence delimiter") << jpeg + ids()
                    + encapsulated(marker(0xE000, 0) + marker(0xE000, 4) + "\xFF\xD8\xFF\xD9")
                                                          << int(Read);
    QTest::addRow("undefined length on OB outside pixel data") << m + ids()
                    + el(0x0009, 0x1010, "OB", {}, false, undefinedLength) + item("abcd")
                    + sequenceEnd() << int(Crashed);
    QTest::addRow("element header cut after its tag")
            << m + ids() + le16(0x0010) + le16(0x0030) << int(Crashed);
    QTest::addRow("pixel data cut short") << m + ids() + pixels(4096).left(400) << int(Read);
    QTest::addRow("200 nested sequences") << m + ids() + nested(200) << int(Read);
    QTest::addRow("unknown transfer syntax") << meta("1.2.3.4.5") + richExplicit() << int(Refused);
    QTest::addRow("implicit element under an explicit syntax")
            << meta("1.2.840.10008.1.2.4.50") + implicitRich() << int(HugeAllocation);
    QTest::addRow("deflated stream cut short")
            << meta("1.2.840.10008.1.2.1.99") + rawDeflate(richExplicit()).chopped(20)
            << int(Crashed);
    QTest::addRow("odd value length inside an item of a defined-length sequence")
            << m + ids() + el(0x0040, 0x0275, "SQ", item(el(0x0040, 0x1001, "SH", "ODD"), true))
            << int(Crashed);
    QTest::addRow("odd value length inside an implicit item without meta group")
            << implicitEl(8, 0x16, QByteArray("1.2.840.10008.5.1.4.1.1.7\0", 26))
                    + implicitEl(0x0040, 0x0275, {}, undefinedLength)
                    + item(implicitEl(0x0040, 0x1001, "ODD"), true) + sequenceEnd()
            << int(Crashed);
    QTest::addRow("(00FF,4AA5) inside an item")
            << m + ids() + undefinedSequence(el(0x00FF, 0x4AA5, "LO", "abcd")) << int(Crashed);
    QTest::addRow("(00FF,4AA5) swallows the elements after it")
            << m + ids() + el(0x00FF, 0x4AA5, "LO", "abcd") + el(0x0020, 0x0010, "SH", "STUDY1")
            << int(Read);
    QTest::addRow("odd item length") << meta("1.2.840.10008.1.2") + implicitEl(8, 0x16, "1.2 ")
                    + implicitEl(0x0040, 0x0275, {}, undefinedLength)
                    + item(implicitEl(0x0040, 0x1001, "ODD"))
                    + sequenceEnd() << int(Crashed);
    QTest::addRow("UN sequence inside an item of defined length") << m + ids()
                    + el(0x0040, 0x0275, "SQ",
                         item(el(0x0009, 0x1010, "UN", {}, false, undefinedLength)
                              + item(implicitEl(0x0009, 0x1011, "ABCD"), true) + sequenceEnd()))
                                                                  << int(Crashed);
    QTest::addRow("UN sequence on a private creator")
            << m + ids() + el(0x0009, 0x0010, "UN", {}, false, undefinedLength)
                    + item(implicitEl(0x0009, 0x1011, "ABCD"), true) + sequenceEnd()
            << int(Crashed);
    // GDCM reads it, but writes the stray element first, where the copy's reader takes it for
    // the meta group: here naming implicit VR for an explicit data set.
    QTest::addRow("meta group element inside the data set")
            << ids() + el(2, 0x10, "UI", QByteArray("1.2.840.10008.1.2\0", 18)) << int(Read);
    // Without a meta group the copy's syntax is guessed from its first element, which GDCM's
    // tag order changes: this copy would start with (0000,1000) and not read again.
    QTest::addRow("no meta group, elements out of order")
            << implicitEl(0x0009, 0x0010, {}) + implicitEl(0x0000, 0x1000, {}) << int(Read);
    QTest::addRow("text file") << QByteArray("just some text, not an image\n") << int(Refused);
}

void TestDicomCheck::malformed()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, gdcm);
    const DicomCheck::Result r = checkExact(bytes);
    QVERIFY(!r.ok);
    QVERIFY(!r.reason.isEmpty());
    const QString path = m_dir.filePath(QStringLiteral("bad.dcm"));
    QVERIFY(writeFile(path, bytes));
    QCOMPARE(DicomCheck::checkFile(path).ok, false);
    QCOMPARE(probe(path), gdcm);
}

// The reason a user reads: what is wrong in words, and where for a damaged file.
void TestDicomCheck::reasons_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason"); // a regular expression over the whole reason
    const QByteArray m = meta();
    QTest::addRow("text file") << QByteArray("Doe^John, born 1970-01-01\n") << "not a DICOM file";
    QTest::addRow("a few bytes") << QByteArray("abc") << "not a DICOM file";
    QTest::addRow("empty") << QByteArray() << "empty file";
    QTest::addRow("cut in a value") << m + ids() + pixels(4096).left(400)
                                    << "truncated: value length beyond its container at byte \\d+";
    QTest::addRow("cut in an element header")
            << m + ids() + pixels(4096).left(3) << "truncated: element header at byte \\d+";
    QTest::addRow("cut after the meta group")
            << m << "truncated: no data set after the meta group at byte \\d+";
    QTest::addRow("damaged, not cut")
            << m + ids() + el(0x0009, 0x1010, "OB", {}, false, undefinedLength)
            << "undefined length on a non-sequence at byte \\d+";
}

void TestDicomCheck::reasons()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    const DicomCheck::Result r = checkExact(bytes);
    QVERIFY(!r.ok);
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(reason))
                     .match(r.reason)
                     .hasMatch(),
             qPrintable(r.reason));
}

// pydicom's public test files: every file GDCM reads and writes must pass, except the ones
// refused on purpose below; every file GDCM aborts on (or allocates for) must be refused.
void TestDicomCheck::pydicomCorpus_data()
{
    QTest::addColumn<QString>("path");
    if (!QDir(QString::fromLatin1(pydicomFiles)).exists())
        QSKIP("pydicom's test files are not installed (python3-pydicom)");
    QDirIterator it(QString::fromLatin1(pydicomFiles), QDir::Files, QDirIterator::Subdirectories);
    QStringList paths;
    while (it.hasNext())
        paths << it.next();
    paths.sort();
    QVERIFY(paths.size() > 90);
    for (const QString &p : std::as_const(paths))
        QTest::addRow("%s", qPrintable(p.mid(int(strlen(pydicomFiles)) + 1))) << p;
}

void TestDicomCheck::pydicomCorpus()
{
    QFETCH(QString, path);
    // GDCM reads these, but only by padding cut-off pixel data with zeros (the copy would be
    // silently damaged) or after allocating a length it misread (1.3 GB) on its way to
    // re-reading an implicit data set that its header calls explicit.
    static const QStringList refusedOnPurpose
            = { QStringLiteral("MR_truncated.dcm"), QStringLiteral("SC_rgb_jpeg.dcm") };
    const DicomCheck::Result r = DicomCheck::checkFile(path);
    const int gdcm = probe(path);
    if (refusedOnPurpose.contains(QFileInfo(path).fileName())) {
        QVERIFY(!r.ok);
        return;
    }
    if (gdcm == Read)
        QVERIFY2(r.ok, qPrintable(r.reason));
    else if (gdcm == Crashed || gdcm == HugeAllocation)
        QVERIFY2(!r.ok, "GDCM aborts on this file");
}

// A copy cut off anywhere (an interrupted copy) is refused, unless the cut falls between two
// top-level elements, where nothing shows; GDCM then reads the shorter file safely.
void TestDicomCheck::truncations_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addRow("explicit little endian") << meta() + richExplicit();
    QTest::addRow("explicit big endian") << meta("1.2.840.10008.1.2.2") + richExplicit(true);
    QTest::addRow("implicit") << meta("1.2.840.10008.1.2") + implicitRich();
    QTest::addRow("deflated") << meta("1.2.840.10008.1.2.1.99") + rawDeflate(richExplicit());
    QTest::addRow("encapsulated") << meta("1.2.840.10008.1.2.5") + ids()
                    + encapsulated(marker(0xE000, 0) + marker(0xE000, 300) + QByteArray(300, 'x')
                                   + sequenceEnd());
    for (const char *name : { "rtplan.dcm", "CT_small.dcm", "image_dfl.dcm", "JPEG2000.dcm" }) {
        QFile f(QString::fromLatin1(pydicomFiles) + '/' + QLatin1String(name));
        if (f.open(QIODevice::ReadOnly))
            QTest::addRow("%s", name) << f.readAll();
    }
}

void TestDicomCheck::truncations()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(checkExact(bytes).ok);
    int accepted = 0;
    int cuts = 0;
    for (int cut = 1; cut < bytes.size(); cut += 97) {
        ++cuts;
        const QByteArray part = bytes.left(cut);
        if (!checkExact(part).ok)
            continue;
        ++accepted;
        const QString path = m_dir.filePath(QStringLiteral("cut.dcm"));
        QVERIFY(writeFile(path, part));
        const int gdcm = probe(path);
        QVERIFY2(gdcm == Read || gdcm == Refused,
                 qPrintable(QStringLiteral("cut at %1: GDCM gives %2").arg(cut).arg(gdcm)));
    }
    QVERIFY2(accepted * 4 < cuts, "nearly every cut is seen");
}

// Random damage to small files: the check never reads outside its buffer (a sanitizer build
// proves it), and a damaged file it lets through never makes GDCM abort or over-allocate.
void TestDicomCheck::mutationsStayInBoundsAndSafe()
{
    const QList<QByteArray> bases = { meta() + richExplicit(),
                                      meta("1.2.840.10008.1.2.2") + richExplicit(true),
                                      meta("1.2.840.10008.1.2") + implicitRich(),
                                      implicitRich(),
                                      meta("1.2.840.10008.1.2.1.99") + rawDeflate(richExplicit()),
                                      meta("1.2.840.10008.1.2.4.50") + ids()
                                              + encapsulated(marker(0xE000, 0) + marker(0xE000, 4)
                                                             + "\xFF\xD8\xFF\xD9" + sequenceEnd()),
                                      meta() + ids() + nested(8) };
    static const quint32 lengths[] = { 0, 2, 8, 0xFFFFFFFF, 0xFFFFFFF0, 0x7FFFFFFF };
    static const char *const words[]
            = { "SQ", "UN", "OB", "\xFE\xFF", "\x00\xE0", "\xDD\xE0", "\x0D\xE0", "\xE0\x7F" };
    QRandomGenerator rng(20261206);
    QList<QByteArray> acceptedDamaged;
    for (int i = 0; i < 4000; ++i) {
        QByteArray b = bases.at(int(rng.bounded(bases.size())));
        const QByteArray original = b;
        const int edits = 1 + int(rng.bounded(3));
        for (int k = 0; k < edits && !b.isEmpty(); ++k) {
            const int at = int(rng.bounded(b.size()));
            switch (rng.bounded(7)) {
            case 0:
                b[at] = char(rng.bounded(256));
                break;
            case 1:
                b.truncate(at);
                break;
            case 2:
                if (at + 4 <= b.size())
                    b.replace(at, 4, le32(lengths[rng.bounded(6)]));
                break;
            case 3:
                if (at + 2 <= b.size())
                    b.replace(at, 2, QByteArray(words[rng.bounded(8)], 2));
                break;
            case 4:
                // A length (or tag) off by a little: the likeliest damage to slip through.
                if (at + 2 <= b.size()) {
                    static const int deltas[] = { -8, -4, -2, -1, 1, 2, 4, 8 };
                    const quint16 v = qFromLittleEndian<quint16>(b.constData() + at);
                    qToLittleEndian(quint16(v + deltas[rng.bounded(8)]), b.data() + at);
                }
                break;
            case 5:
                b.insert(at, b.mid(int(rng.bounded(b.size())), 8 + int(rng.bounded(56))));
                break;
            default:
                b.remove(at, 1 + int(rng.bounded(8)));
            }
        }
        if (checkExact(b).ok && b != original)
            acceptedDamaged << b;
    }
    // GDCM runs in a child process per file: a sample keeps the test within seconds.
    const int step = qMax(1, int(acceptedDamaged.size() / 40));
    for (int i = 0; i < acceptedDamaged.size(); i += step) {
        const QString path = m_dir.filePath(QStringLiteral("mutant.dcm"));
        QVERIFY(writeFile(path, acceptedDamaged.at(i)));
        const int gdcm = probe(path);
        QVERIFY2(gdcm != Crashed && gdcm != HugeAllocation,
                 qPrintable(QStringLiteral("mutant %1 gives %2, kept as %3")
                                    .arg(i)
                                    .arg(gdcm)
                                    .arg(QString::fromLatin1(acceptedDamaged.at(i).toHex()))));
    }
}

// The check runs once per file before GDCM's read; it must cost a small part of that read.
void TestDicomCheck::fastOnLargeFiles()
{
    // A 50 MB multi-frame file, and 8 MB made of nothing but small elements (the walk's worst
    // case per byte).
    QByteArray big = meta() + ids() + pixels(50 << 20);
    QByteArray small = meta() + ids();
    small.reserve((8 << 20) + 64 * 1024);
    QByteArray privateElement = el(0x0011, 0x1010, "LO", "abcdefgh");
    for (quint16 group = 0x0011; small.size() < (8 << 20); group += 2) {
        for (quint16 e = 0x1000; e < 0x10FF; ++e) {
            qToLittleEndian(group, privateElement.data());
            qToLittleEndian(e, privateElement.data() + 2);
            small += privateElement;
        }
    }
    const QString bigPath = m_dir.filePath(QStringLiteral("big.dcm"));
    QVERIFY(writeFile(bigPath, big));

    QElapsedTimer t;
    t.start();
    QVERIFY(DicomCheck::checkFile(bigPath).ok);
    const qint64 checkBigNs = t.nsecsElapsed();
    qint64 checkSmallNs = std::numeric_limits<qint64>::max();
    for (int run = 0; run < 3; ++run) {
        t.restart();
        QVERIFY(DicomCheck::checkBytes(small.constData(), small.size()).ok);
        checkSmallNs = qMin(checkSmallNs, t.nsecsElapsed());
    }
    t.restart();
    {
        gdcm::Reader reader;
        reader.SetFileName(bigPath.toStdString().c_str());
        QVERIFY(reader.Read());
    }
    const qint64 gdcmBigNs = t.nsecsElapsed();
    qInfo("check: 50 MB pixel file %.3f ms; small elements %.2f ms per MB; GDCM reads the "
          "50 MB file in %.1f ms",
          checkBigNs / 1e6, checkSmallNs / 1e6 / (small.size() / 1048576.0), gdcmBigNs / 1e6);
    QVERIFY(checkBigNs * 20 < gdcmBigNs);
    QVERIFY(checkSmallNs / (small.size() >> 20) < 5 * 1000 * 1000); // under 5 ms per MB
}

QTEST_GUILESS_MAIN(TestDicomCheck)
#include "tst_dicomcheck.moc"
