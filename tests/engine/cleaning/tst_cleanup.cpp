#include "engine/job/fileanonymizer.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/cleaning/uidmap.h"
#include "engine/dicom/vrvalue.h"

#include "shared/dicomfiles.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <gdcmReader.h>
#include <gdcmTrace.h>
#include <gdcmWriter.h>

#include <algorithm>
#include <memory>

// The cleaning of one file: values valid for their VR, consistent UIDs, the standard clean-up
// and the residue check. Every check is on the copy read back from disk.
class TestCleanup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void valuesFitTheirVr_data();
    void valuesFitTheirVr();
    void uidsMapConsistently();
    void profileWritesValidValues_data();
    void profileWritesValidValues();
    void residue_data();
    void residue();
    void oneElement_data();
    void oneElement();
    void nestingHiddenInBytes_data();
    void nestingHiddenInBytes();

private:
    FileOutcome anonymize(const QString &input, bool standard, bool strict = false,
                          const QJsonObject &profile = TagProfile::load());
    QString path(const QString &relative) const { return m_dir->filePath(relative); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<const UidMap> m_uids = std::make_shared<const UidMap>(QByteArray(32, 'k'));
};

namespace {

const gdcm::Tag frameOfReference(0x0020, 0x0052);
const gdcm::Tag studyUidTag(0x0020, 0x000d);

// The copy's path for an input directly inside the folder "in".
QString outputOf(const QString &input)
{
    return input.section('/', 0, -3) + "/in_depersonification/" + input.section('/', -1);
}

// An element in implicit VR little endian: tag, 4-byte length, value.
QByteArray implicitElement(quint16 group, quint16 element, const QByteArray &value)
{
    QByteArray bytes;
    for (const quint32 word : { quint32(group) | quint32(element) << 16, quint32(value.size()) })
        bytes.append(reinterpret_cast<const char *>(&word), 4); // the test machines are little endian
    return bytes + value;
}

} // namespace

void TestCleanup::initTestCase()
{
    gdcm::Trace::WarningOff();
    gdcm::Trace::ErrorOff();
}

void TestCleanup::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

FileOutcome TestCleanup::anonymize(const QString &input, bool standard, bool strict,
                                   const QJsonObject &profile)
{
    FileAnonymizer::Folders folders;
    const FileAnonymizer::Options options{ { standard, 0, m_uids }, strict };
    return FileAnonymizer::anonymizeFile(input, (outputOf(input)),
                                         FileAnonymizer::compileProfile(profile), options, folders);
}

void TestCleanup::valuesFitTheirVr_data()
{
    QTest::addColumn<int>("vr");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("fits");
    using VR = gdcm::VR;
    QTest::addRow("dashes in a name") << int(VR::PN) << QByteArray("----") << true;
    QTest::addRow("dashes in a long string") << int(VR::LO) << QByteArray("----") << true;
    QTest::addRow("dashes in a code") << int(VR::CS) << QByteArray("----") << false;
    QTest::addRow("dashes in an age") << int(VR::AS) << QByteArray("----") << false;
    QTest::addRow("dashes in a decimal") << int(VR::DS) << QByteArray("----") << false;
    QTest::addRow("dashes in an integer") << int(VR::IS) << QByteArray("----") << false;
    QTest::addRow("dashes in a date") << int(VR::DA) << QByteArray("----") << false;
    QTest::addRow("dashes in a UID") << int(VR::UI) << QByteArray("----") << false;
    QTest::addRow("text in a binary VR") << int(VR::UL) << QByteArray("----") << false;
    QTest::addRow("picked date") << int(VR::DA) << QByteArray("19700101") << true;
    QTest::addRow("no such day") << int(VR::DA) << QByteArray("20230230") << false;
    QTest::addRow("date as a date-time") << int(VR::DT) << QByteArray("19700101") << true;
    QTest::addRow("date is no time") << int(VR::TM) << QByteArray("19700101") << false;
    QTest::addRow("short string too long") << int(VR::SH) << QByteArray(17, 'a') << false;
    QTest::addRow("name of 64 characters in UTF-8")
            << int(VR::PN) << QString(64, QChar(0xfc)).toUtf8() << true;
    QTest::addRow("backslash makes two values") << int(VR::LO) << QByteArray("a\\b") << false;
    QTest::addRow("code") << int(VR::CS) << QByteArray("ANON_1") << true;
    QTest::addRow("age") << int(VR::AS) << QByteArray("045Y") << true;
    QTest::addRow("decimal") << int(VR::DS) << QByteArray("-1.5e3") << true;
}

void TestCleanup::valuesFitTheirVr()
{
    QFETCH(int, vr);
    QFETCH(QByteArray, text);
    QFETCH(bool, fits);
    QCOMPARE(VrValue::fits(static_cast<gdcm::VR::VRType>(vr), text.toStdString()), fits);
}

void TestCleanup::uidsMapConsistently()
{
    const std::string uid = "1.2.826.0.1.3680043.99.7";
    const std::string mapped = UidMap(QByteArray(32, 'k')).map(uid);
    QVERIFY(mapped.rfind("2.25.", 0) == 0);
    QVERIFY(VrValue::fits(gdcm::VR::UI, mapped));
    QCOMPARE(UidMap(QByteArray(32, 'k')).map(uid + '\0'), mapped);
    QVERIFY(UidMap(QByteArray(32, 'j')).map(uid) != mapped);
    QVERIFY(UidMap(QByteArray(32, 'k')).map("1.2.826.0.1.3680043.99.8") != mapped);

    // Across files: the study and the reference to it stay together.
    TestDicom::Options options;
    options.planted = true;
    options.studyUid = "1.2.826.0.1.3680043.99.1";
    QVERIFY(TestDicom::write(path("in/a.dcm"), options));
    QVERIFY(TestDicom::write(path("in/b.dcm"), options));
    QCOMPARE(anonymize(path("in/a.dcm"), true).status, FileOutcome::Status::Written);
    QCOMPARE(anonymize(path("in/b.dcm"), false).status, FileOutcome::Status::WrittenWithResidue);
    const auto a = TestDicom::read((outputOf(path("in/a.dcm"))));
    const auto b = TestDicom::read((outputOf(path("in/b.dcm"))));
    QVERIFY(a && b);
    const QByteArray study = TestDicom::valueOf(*a, studyUidTag);
    QCOMPARE(study,
             QByteArray::fromStdString(
                     VrValue::padded(gdcm::VR::UI, m_uids->map(options.studyUid))));
    const gdcm::DataSet &reference = a->GetDataSet()
                                             .GetDataElement(gdcm::Tag(0x0008, 0x1115))
                                             .GetValueAsSQ()
                                             ->GetItem(1)
                                             .GetNestedDataSet();
    QCOMPARE(TestDicom::valueIn(reference, gdcm::Tag(0x0008, 0x1155)), study);
    // The profile maps the frame of reference alike with or without the standard clean-up.
    QCOMPARE(TestDicom::valueOf(*a, frameOfReference), TestDicom::valueOf(*b, frameOfReference));
    QVERIFY(TestDicom::valueOf(*a, frameOfReference).startsWith("2.25."));
}

void TestCleanup::profileWritesValidValues_data()
{
    QTest::addColumn<QString>("edit"); // "name:text" for "changeTagText", or empty
    QTest::addColumn<quint16>("group");
    QTest::addColumn<quint16>("element");
    QTest::addColumn<QByteArray>("expected"); // null: the element is left out
    QTest::addRow("code gets no dashes")
            << "" << quint16(0x0010) << quint16(0x0040) << QByteArray("");
    QTest::addRow("age gets no dashes")
            << "" << quint16(0x0010) << quint16(0x1010) << QByteArray("");
    QTest::addRow("decimal gets no dashes")
            << "" << quint16(0x0010) << quint16(0x1030) << QByteArray("");
    QTest::addRow("name keeps its text")
            << "" << quint16(0x0010) << quint16(0x0010) << QByteArray("----");
    QTest::addRow("picked date stays")
            << "BirthDate:20000229" << quint16(0x0010) << quint16(0x0030) << QByteArray("20000229");
    QTest::addRow("typed non-date")
            << "StudyDate:soon" << quint16(0x0008) << quint16(0x0020) << QByteArray("");
    QTest::addRow("text too long for SH") << "StationName:A very long station name"
                                          << quint16(0x0008) << quint16(0x1010) << QByteArray("");
    QTest::addRow("named group length left out")
            << "" << quint16(0x0018) << quint16(0x0000) << QByteArray();
    QTest::addRow("stale group length of a changed group left out")
            << "" << quint16(0x0010) << quint16(0x0000) << QByteArray();
}

void TestCleanup::profileWritesValidValues()
{
    QFETCH(QString, edit);
    QFETCH(quint16, group);
    QFETCH(quint16, element);
    QFETCH(QByteArray, expected);
    TestDicom::Options options;
    options.planted = true;
    QVERIFY(TestDicom::write(path("in/a.dcm"), options));
    QJsonObject profile = TagProfile::load();
    if (!edit.isEmpty())
        QVERIFY(TagProfile::setUserText(profile, edit));
    QVERIFY(anonymize(path("in/a.dcm"), false, false, profile).status
            != FileOutcome::Status::Failed);
    const auto out = TestDicom::read((outputOf(path("in/a.dcm"))));
    QVERIFY(out);
    const gdcm::Tag tag(group, element);
    QCOMPARE(out->GetDataSet().FindDataElement(tag), !expected.isNull());
    if (!expected.isNull())
        QCOMPARE(TestDicom::valueOf(*out, tag), expected);
}

void TestCleanup::residue_data()
{
    QTest::addColumn<int>("syntax");
    QTest::addColumn<bool>("standard");
    QTest::addColumn<QStringList>("expected");
    const int explicitVr = gdcm::TransferSyntax::ExplicitVRLittleEndian;
    const int implicitVr = gdcm::TransferSyntax::ImplicitVRLittleEndian;
    const int bigEndian = gdcm::TransferSyntax::ExplicitVRBigEndian;
    // The profile leaves the UIDs, the operator, the reference with the patient's name in
    // it, the private element (its creator the profile overwrites) and the unlisted element
    // holding the patient's ID.
    const QStringList profileOnly = {
        "(0002,0003)",
        "(0008,0018)",
        "(0008,1070)",
        "(0008,1115)[0]>(0008,1155)",
        "(0008,1115)[0]>(0010,0010)",
        "(0011,1001)",
        "(0020,000D)",
        "(0020,000E)",
        "(0040,0275)",
        "(0040,0275)[0]>(0008,0020)",
        "(0040,0275)[0]>(0010,0010)",
        "(0054,0400)",
    };
    QTest::addRow("profile, explicit VR") << explicitVr << false << profileOnly;
    QTest::addRow("profile, implicit VR") << implicitVr << false << profileOnly;
    QTest::addRow("profile, big endian") << bigEndian << false << profileOnly;
    // The patient's ID in an element the table does not name is found and cleaned too: every
    // planted value is gone from every byte of the copy.
    QTest::addRow("standard, explicit VR") << explicitVr << true << QStringList();
    QTest::addRow("standard, implicit VR") << implicitVr << true << QStringList();
    QTest::addRow("standard, big endian") << bigEndian << true << QStringList();
}

void TestCleanup::residue()
{
    QFETCH(int, syntax);
    QFETCH(bool, standard);
    QFETCH(QStringList, expected);
    TestDicom::Options options;
    options.planted = true;
    options.syntax = static_cast<gdcm::TransferSyntax::TSType>(syntax);
    QVERIFY(TestDicom::write(path("in/a.dcm"), options));
    const QByteArray before = TestDicom::sha256(path("in/a.dcm"));
    const QString output = (outputOf(path("in/a.dcm")));

    const FileOutcome kept = anonymize(path("in/a.dcm"), standard);
    QCOMPARE(kept.residue.join(" "), expected.join(" "));
    QCOMPARE(kept.status,
             expected.isEmpty() ? FileOutcome::Status::Written
                                : FileOutcome::Status::WrittenWithResidue);
    const auto in = TestDicom::read(path("in/a.dcm"));
    const auto out = TestDicom::read(output);
    QVERIFY(in && out);
    // The meta group names the instance the copy holds.
    QCOMPARE(TestDicom::metaValueOf(*out, gdcm::Tag(0x0002, 0x0003)),
             TestDicom::valueOf(*out, gdcm::Tag(0x0008, 0x0018)));
    const QByteArray bytes = TestDicom::readAll(output);
    const QList<QByteArray> planted = {
        "Roe^Jane",
        TestDicom::plantedOperator,
        TestDicom::plantedSoftware,
        "St Example Hospital",
        "19610203",
        "20230415",
        "EXAMPLE CORP",
        TestDicom::valueOf(*in, studyUidTag),
        TestDicom::valueOf(*in, gdcm::Tag(0x0008, 0x0018)),
        TestDicom::valueOf(*in, gdcm::Tag(0x0020, 0x000e)),
        TestDicom::metaValueOf(*in, gdcm::Tag(0x0002, 0x0012)),
    };
    for (const QByteArray &value : planted)
        QVERIFY2(!standard || !bytes.contains(value), value.constData());

    // Strict: the same copy fails, and nothing is left under its name.
    QVERIFY(QFile::remove(output));
    const FileOutcome refused = anonymize(path("in/a.dcm"), standard, true);
    if (expected.isEmpty()) {
        QCOMPARE(refused.status, FileOutcome::Status::Written);
    } else {
        QCOMPARE(refused.status, FileOutcome::Status::Failed);
        QCOMPARE(refused.reason, "residue " + expected.join(' '));
        QCOMPARE(TestDicom::treeOf(path("in_depersonification")), QStringList());
    }
    QCOMPARE(TestDicom::sha256(path("in/a.dcm")), before);
}

// One element added to the planted file, where the patient is "Roe^Jane", ID "ID-0042", born
// 19610203: what the copy holds there, and whether the residue check names it.
void TestCleanup::oneElement_data()
{
    QTest::addColumn<quint32>("sequence"); // 0: at the top level; else in its first item
    QTest::addColumn<quint32>("tag");
    QTest::addColumn<int>("vr");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("standard");
    QTest::addColumn<QString>("copy"); // "kept", "replaced", "empty" or "removed"
    QTest::addColumn<bool>("residue");
    using VR = gdcm::VR;
    const quint32 region = 0x00082218; // anatomic region sequence: the table leaves it alone
    const quint32 meaning = 0x00080104;
    const auto text = [&](const char *name, const char *value, bool residue) {
        QTest::addRow("%s", name) << region << meaning << int(VR::LO) << QByteArray(value) << false
                                  << "kept" << residue;
    };
    // However the patient is written, the matcher finds it.
    text("name in another order", "Jane Roe", true);
    text("name with a comma, lower case", "roe, jane", true);
    text("surname alone", "seen by ROE", true);
    text("ID inside a longer text", "MRN ID-0042 left knee", true);
    text("birth date with dashes", "born 1961-02-03", true);
    text("birth date with dots", "03.02.1961", true);
    text("birth date in words", "3 February 1961", true);
    text("birth date, month first", "Feb 3, 1961", true);
    text("ordinary words", "Left knee, lateral", false);
    text("another date", "1961-02-04", false);
    QTest::addRow("standard: a name it finds is replaced")
            << region << meaning << int(VR::LO) << QByteArray("Jane Roe") << true << "replaced"
            << false;
    QTest::addRow("standard: other text is kept")
            << region << meaning << int(VR::LO) << QByteArray("Left knee") << true << "kept"
            << false;
    // A person's name the cleaning did not write is residue, whoever it names, initials too.
    QTest::addRow("a name outside the table") << 0u << 0x00142006u << int(VR::PN)
                                              << QByteArray("Smith^Bob") << false << "kept" << true;
    QTest::addRow("initials outside the table")
            << 0u << 0x00142006u << int(VR::PN) << QByteArray("J^B") << false << "kept" << true;
    QTest::addRow("standard: a name outside the table")
            << 0u << 0x00142006u << int(VR::PN) << QByteArray("Smith^Bob") << true << "replaced"
            << false;
    // A private element the profile writes still goes with the standard clean-up.
    QTest::addRow("profile's private element, plain")
            << 0u << 0x0019109du << int(VR::LO) << QByteArray("x") << false << "replaced" << false;
    QTest::addRow("standard: profile's private element")
            << 0u << 0x0019109du << int(VR::LO) << QByteArray("x") << true << "removed" << false;
    QTest::addRow("trailing padding holding the name")
            << 0u << 0xfffcfffcu << int(VR::OB) << QByteArray("Roe^Jane") << false << "kept"
            << true;
    QTest::addRow("standard: trailing padding")
            << 0u << 0xfffcfffcu << int(VR::OB) << QByteArray("Roe^Jane") << true << "removed"
            << false;
    QTest::addRow("standard: a command element")
            << 0u << 0x00000902u << int(VR::LO) << QByteArray("a message") << true << "removed"
            << false;
    QTest::addRow("standard: the overlay group goes with its data")
            << 0u << 0x60000022u << int(VR::LO) << QByteArray("an overlay") << true << "removed"
            << false;
    // A code of a site's own scheme (the concept name sequence gets one): its meaning is free
    // text, and may name anybody.
    QTest::addRow("standard: local code's meaning replaced")
            << 0x0040a043u << meaning << int(VR::LO) << QByteArray("Left knee") << true
            << "replaced" << false;
    QTest::addRow("standard: D sequence's codes replaced")
            << 0x00401101u << 0x00080100u << int(VR::SH) << QByteArray("X123") << true << "replaced"
            << false;
    QTest::addRow("standard: D sequence's group length removed")
            << 0x00401101u << 0x00080000u << int(VR::UL) << QByteArray("\x04\0\0\0", 4) << true
            << "removed" << false;
    QTest::addRow("standard: nested removal keeps the element")
            << 0x0040a370u << 0x00401001u << int(VR::SH) << QByteArray("RP77") << true << "empty"
            << false;
    QTest::addRow("sending AE title")
            << 0u << 0x00020017u << int(VR::AE) << QByteArray("ROE_WS") << false << "kept" << true;
    QTest::addRow("standard: meta group written afresh")
            << 0u << 0x00020017u << int(VR::AE) << QByteArray("ROE_WS") << true << "removed"
            << false;
}

void TestCleanup::oneElement()
{
    QFETCH(quint32, sequence);
    QFETCH(quint32, tag);
    QFETCH(int, vr);
    QFETCH(QByteArray, value);
    QFETCH(bool, standard);
    QFETCH(QString, copy);
    QFETCH(bool, residue);
    TestDicom::Options options;
    options.planted = true;
    const QString input = path("in/a.dcm");
    QVERIFY(TestDicom::write(input, options));
    {
        gdcm::Reader reader;
        reader.SetFileName(input.toStdString().c_str());
        QVERIFY(reader.Read());
        gdcm::File &file = reader.GetFile();
        const gdcm::Tag added(tag >> 16, tag & 0xffff);
        const auto element
                = TestDicom::element(added, static_cast<gdcm::VR::VRType>(vr), value.toStdString());
        if (added.GetGroup() == 0x0002)
            file.GetHeader().Insert(element);
        else if (sequence == 0x0040a043)
            file.GetDataSet().Insert(TestDicom::sequence(
                    gdcm::Tag(0x0040, 0xa043),
                    { element,
                      TestDicom::element(gdcm::Tag(0x0008, 0x0102), gdcm::VR::SH, "99LOCAL ") }));
        else if (sequence != 0)
            file.GetDataSet().Insert(
                    TestDicom::sequence(gdcm::Tag(sequence >> 16, sequence & 0xffff), { element }));
        else
            file.GetDataSet().Insert(element);
        if (added.GetGroup() == 0x0019)
            file.GetDataSet().Insert(
                    TestDicom::element(gdcm::Tag(0x0019, 0x0010), gdcm::VR::LO, "GEMS_ACQU_01"));
        if (added.GetGroup() == 0x6000) {
            file.GetDataSet().Insert(
                    TestDicom::element(gdcm::Tag(0x6000, 0x3000), gdcm::VR::OW, "\x01\x02"));
            file.GetDataSet().Insert(
                    TestDicom::element(gdcm::Tag(0x6000, 0x0040), gdcm::VR::CS, "G "));
        }
        gdcm::Writer writer;
        writer.SetFile(file);
        writer.CheckFileMetaInformationOff();
        writer.SetFileName(input.toStdString().c_str());
        QVERIFY(writer.Write());
    }
    const FileOutcome outcome = anonymize(input, standard);
    QVERIFY(outcome.status != FileOutcome::Status::Failed);
    const auto out = TestDicom::read(outputOf(input));
    QVERIFY(out);

    const gdcm::Tag where(tag >> 16, tag & 0xffff);
    QString described = TestDicom::tagText(where);
    const gdcm::DataSet *owner
            = where.GetGroup() == 0x0002 ? &out->GetHeader() : &out->GetDataSet();
    if (sequence != 0) {
        const gdcm::Tag sq(sequence >> 16, sequence & 0xffff);
        described = TestDicom::tagText(sq) + "[0]>" + described;
        QVERIFY(owner->FindDataElement(sq));
        const auto items = owner->GetDataElement(sq).GetValueAsSQ();
        QVERIFY(items && items->GetNumberOfItems() == 1);
        owner = &items->GetItem(1).GetNestedDataSet();
    }
    QVERIFY2(outcome.residue.contains(described) == residue,
             qPrintable(described + " in " + outcome.residue.join(' ')));
    if (copy == QLatin1String("removed")) {
        QVERIFY(!owner->FindDataElement(where));
        return;
    }
    QVERIFY(owner->FindDataElement(where));
    QByteArray now = TestDicom::valueIn(*owner, where);
    while (now.endsWith('\0') || now.endsWith(' '))
        now.chop(1);
    if (copy == QLatin1String("kept"))
        QCOMPARE(now, value);
    else if (copy == QLatin1String("empty"))
        QCOMPARE(now, QByteArray());
    else
        QVERIFY2(!now.isEmpty() && now != value, now.constData());
}

void TestCleanup::nestingHiddenInBytes_data()
{
    QTest::addColumn<int>("depth"); // sequences around the hidden name
    QTest::addColumn<bool>("standard");
    for (const int depth : { 10, 64, 65, 200 }) {
        for (const bool standard : { false, true })
            QTest::addRow("%d deep, %s", depth, standard ? "standard" : "profile")
                    << depth << standard;
    }
}

// Sequences nested inside a value of bytes (VR UN, read as implicit VR) pass the structural
// check, which does not look into values. Within the depth limit the name at the bottom is
// cleaned or reported like any other; beyond it nothing could be read, and the file fails
// instead of being written with the name unreported (or taking GDCM minutes to write).
void TestCleanup::nestingHiddenInBytes()
{
    QFETCH(int, depth);
    QFETCH(bool, standard);
    const gdcm::Tag hiding(0x0054, 0x0016); // a sequence the table walks into
    QByteArray nested = implicitElement(0x0010, 0x0010, "Doe^Deepest ");
    for (int i = 0; i < depth; ++i)
        nested = implicitElement(hiding.GetGroup(), hiding.GetElement(),
                                 implicitElement(0xfffe, 0xe000, nested));
    QVERIFY(TestDicom::write(path("in/a.dcm")));
    gdcm::Reader reader;
    reader.SetFileName(path("in/a.dcm").toLocal8Bit().constData());
    QVERIFY(reader.Read());
    gdcm::DataElement hidden(hiding);
    hidden.SetVR(gdcm::VR::UN);
    const QByteArray value = nested.mid(8);
    hidden.SetByteValue(value.constData(), static_cast<uint32_t>(value.size()));
    reader.GetFile().GetDataSet().Replace(hidden);
    gdcm::Writer writer;
    writer.SetFileName(path("in/a.dcm").toLocal8Bit().constData());
    writer.SetFile(reader.GetFile());
    QVERIFY(writer.Write());

    const FileOutcome outcome = anonymize(path("in/a.dcm"), standard);
    const QString output = outputOf(path("in/a.dcm"));
    if (depth > 64) {
        QCOMPARE(outcome.status, FileOutcome::Status::Failed);
        QVERIFY2(outcome.reason.contains("nested too deeply"), qPrintable(outcome.reason));
        QVERIFY(!QFileInfo::exists(output));
        return;
    }
    QVERIFY2(outcome.status != FileOutcome::Status::Failed, qPrintable(outcome.reason));
    const bool kept = TestDicom::readAll(output).contains("Doe^Deepest");
    const bool reported = std::any_of(outcome.residue.begin(), outcome.residue.end(),
                                      [](const QString &path) {
                                          return path.endsWith(">(0010,0010)");
                                      });
    QVERIFY(!kept || reported);
    QVERIFY(!standard || !kept);
}

QTEST_GUILESS_MAIN(TestCleanup)
#include "tst_cleanup.moc"
