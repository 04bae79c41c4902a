#include "engine/cleaning/cleanup.h"
#include "engine/cleaning/confidentialityprofile.h"
#include "engine/job/jobplan.h"
#include "engine/cleaning/linkfile.h"
#include "engine/cleaning/pseudonym.h"
#include "engine/cleaning/residuecheck.h"
#include "engine/cleaning/standardoptions.h"
#include "engine/cleaning/uidmap.h"

#include "shared/dicomfiles.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gdcmDict.h>
#include <gdcmDicts.h>
#include <gdcmFile.h>
#include <gdcmGlobal.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmTrace.h>

#include <map>
#include <optional>

// Copies researchers can use: pseudonyms that keep patients apart, dates moved by one offset
// per patient, the standard's options column by column, the link file, shards.
class TestResearchCopies : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { gdcm::Trace::WarningOff(); }
    void optionSwitchesItsColumnOnly_data();
    void optionSwitchesItsColumnOnly();
    void safePrivateKeepsKnownNumbersOnly();
    void keptTextIsToldEvenNested();
    void pseudonyms();
    void shiftDate_data();
    void shiftDate();
    void modifiedDatesKeepIntervalsAtEveryLevel();
    void linkFileRefusal_data();
    void linkFileRefusal();
    void linkFileIsPrivateAndQuoted();
    void shardsPartitionTheFiles();
};

namespace {

using Values = std::map<gdcm::Tag, std::optional<std::string>>; // absent: nullopt

std::shared_ptr<const UidMap> key()
{
    static const auto uids = std::make_shared<const UidMap>(QByteArray(32, 'k'));
    return uids;
}

// A letters-only word unique to the tag, which no matcher finds in another element's value.
std::string wordOf(const gdcm::Tag &tag, bool upper)
{
    std::string word = upper ? "ZQ" : "zq";
    for (int shift = 28; shift >= 0; shift -= 4)
        word += static_cast<char>((upper ? 'A' : 'a') + ((tag.GetElementTag() >> shift) & 0xf));
    return word;
}

// A value valid for the VR that no dummy equals; nothing for VRs left out of the test.
std::optional<std::string> valueFor(const gdcm::Tag &tag, gdcm::VR::VRType vr)
{
    switch (vr) {
    case gdcm::VR::AE:
    case gdcm::VR::CS:
        return wordOf(tag, true);
    case gdcm::VR::LO:
    case gdcm::VR::SH:
    case gdcm::VR::LT:
    case gdcm::VR::ST:
    case gdcm::VR::UT:
    case gdcm::VR::UC:
        return wordOf(tag, false);
    case gdcm::VR::DA:
        return std::string("20190315");
    case gdcm::VR::DT:
        return std::string("20190315101112");
    case gdcm::VR::TM:
        return std::string("101112");
    case gdcm::VR::UI:
        return "1.2.826.0.1.3680043.10.999." + std::to_string(tag.GetElementTag());
    case gdcm::VR::AS:
        return std::string("042Y");
    case gdcm::VR::IS:
        return std::string("17");
    case gdcm::VR::DS:
        return std::string("7.5 ");
    default:
        return std::nullopt;
    }
}

// One element per attribute the standard's table names by its exact tag (apart from names,
// sequences, binary values and the elements the clean-up writes itself), with a value of
// its own.
gdcm::File tableFile()
{
    gdcm::File file;
    QFile table(QStringLiteral(":/confidentiality.tsv"));
    if (!table.open(QIODevice::ReadOnly))
        return file;
    const gdcm::Dict &dict = gdcm::Global::GetInstance().GetDicts().GetPublicDict();
    while (!table.atEnd()) {
        const QByteArray line = table.readLine();
        const QByteArray hex = line.left(8);
        bool ok = false;
        const quint32 number = hex.toUInt(&ok, 16);
        if (line.startsWith('#') || !ok)
            continue;
        const gdcm::Tag tag(static_cast<uint16_t>(number >> 16), static_cast<uint16_t>(number));
        if (tag.GetGroup() == 0x0002 || (tag.GetGroup() == 0x0010 && tag.GetElement() <= 0x0020)
            || tag.GetGroup() == 0x0012 || tag == gdcm::Tag(0x0028, 0x0303))
            continue;
        const gdcm::VR::VRType vr = dict.GetDictEntry(tag).GetVR();
        if (const std::optional<std::string> value = valueFor(tag, vr))
            file.GetDataSet().Insert(TestDicom::element(tag, vr, *value));
    }
    return file;
}

Values valuesOf(const gdcm::File &file, const gdcm::File &original)
{
    Values values;
    for (const gdcm::DataElement &element : original.GetDataSet().GetDES()) {
        const gdcm::Tag &tag = element.GetTag();
        if (!file.GetDataSet().FindDataElement(tag)) {
            values[tag] = std::nullopt;
            continue;
        }
        const gdcm::ByteValue *bytes = file.GetDataSet().GetDataElement(tag).GetByteValue();
        values[tag] = bytes ? std::string(bytes->GetPointer(), bytes->GetLength()) : std::string();
    }
    return values;
}

Values cleaned(StandardOptions::Set options, Cleanup::Record &record)
{
    const gdcm::File original = tableFile();
    gdcm::File file = original;
    Cleanup::clean(file, {}, Cleanup::Options{ true, options, key() }, record);
    return valuesOf(file, original);
}

std::string padded(std::string text)
{
    if (text.size() % 2 != 0)
        text += ' ';
    return text;
}

} // namespace

void TestResearchCopies::optionSwitchesItsColumnOnly_data()
{
    QTest::addColumn<quint32>("option");
    for (const StandardOptions::Info &info : StandardOptions::all())
        QTest::addRow("%s", info.name) << quint32(info.option);
}

// Against the clean-up without options, an option changes exactly the attributes its column
// of the table gives a code: K keeps the value, C keeps a value in which nothing identifies,
// and Modified Dates moves every date (wherever it stands) and keeps times.
void TestResearchCopies::optionSwitchesItsColumnOnly()
{
    QFETCH(quint32, option);
    const gdcm::File original = tableFile();
    QVERIFY(original.GetDataSet().Size() > 300);
    Cleanup::Record basicRecord;
    const Values basic = cleaned(0, basicRecord);
    Cleanup::Record record;
    const Values withOption = cleaned(option, record);
    const int column = StandardOptions::column(StandardOptions::Option(option));
    const gdcm::Dict &dict = gdcm::Global::GetInstance().GetDicts().GetPublicDict();
    const DicomFacts::IodType unknown = DicomFacts::IodType::Unknown;
    int inColumn = 0;
    for (const gdcm::DataElement &element : original.GetDataSet().GetDES()) {
        const gdcm::Tag &tag = element.GetTag();
        const std::string value(element.GetByteValue()->GetPointer(),
                                element.GetByteValue()->GetLength());
        const gdcm::VR::VRType vr = dict.GetDictEntry(tag).GetVR();
        const ConfidentialityProfile::Action byColumn
                = ConfidentialityProfile::action(tag.GetGroup(), tag.GetElement(), unknown, option);
        const bool named
                = byColumn != ConfidentialityProfile::action(tag.GetGroup(), tag.GetElement());
        const QByteArray where = TestDicom::tagText(tag).toUtf8();
        std::optional<std::string> expected = basic.at(tag);
        if (option == StandardOptions::ModifiedDates && (vr == gdcm::VR::DA || vr == gdcm::VR::DT)
            && (named || expected)) {
            expected = padded(
                    Pseudonym::shiftDate(value, vr == gdcm::VR::DT, record.dateOffsetDays));
        } else if (named) {
            expected = value; // K, C of a harmless value, or a time Modified Dates keeps
        }
        inColumn += named ? 1 : 0;
        QVERIFY2(withOption.at(tag) == expected,
                 (where + " " + QByteArray::fromStdString(withOption.at(tag).value_or("(absent)"))
                  + " instead of " + QByteArray::fromStdString(expected.value_or("(absent)")))
                         .constData());
    }
    // Safe private elements are judged apart (they have no tags of their own in the table).
    QVERIFY2(inColumn > 0 || option == StandardOptions::RetainSafePrivate,
             "the column names none of the attributes");
    Q_UNUSED(column);
}

// Retain Safe Private keeps a maker's element that GDCM's dictionary knows as a number, with
// its creator; a private text, or an element nobody knows, still goes.
void TestResearchCopies::safePrivateKeepsKnownNumbersOnly()
{
    using VR = gdcm::VR;
    for (const bool safe : { false, true }) {
        gdcm::File file;
        gdcm::DataSet &ds = file.GetDataSet();
        ds.Insert(TestDicom::element(gdcm::Tag(0x0019, 0x0010), VR::LO, "SIEMENS MR HEADER "));
        ds.Insert(TestDicom::element(gdcm::Tag(0x0019, 0x100c), VR::IS, "1000"));
        ds.Insert(TestDicom::element(gdcm::Tag(0x0019, 0x10f7), VR::LO, "Roe^Jane"));
        ds.Insert(TestDicom::element(gdcm::Tag(0x0021, 0x0010), VR::LO, "NOBODY KNOWS"));
        ds.Insert(TestDicom::element(gdcm::Tag(0x0021, 0x1001), VR::IS, "7 "));
        ds.Insert(TestDicom::element(TestDicom::studyDate, VR::DA, "20230415"));
        Cleanup::Record record;
        Cleanup::clean(file, {},
                       Cleanup::Options{
                               true,
                               safe ? StandardOptions::Set(StandardOptions::RetainSafePrivate) : 0,
                               key() },
                       record);
        QCOMPARE(ds.FindDataElement(gdcm::Tag(0x0019, 0x0010)), safe);
        QCOMPARE(TestDicom::valueOf(file, gdcm::Tag(0x0019, 0x100c)),
                 safe ? QByteArray("1000") : QByteArray());
        QVERIFY(!ds.FindDataElement(gdcm::Tag(0x0019, 0x10f7)));
        QVERIFY(!ds.FindDataElement(gdcm::Tag(0x0021, 0x0010)));
        QVERIFY(!ds.FindDataElement(gdcm::Tag(0x0021, 0x1001)));
        // What the option keeps on purpose is still told.
        QVERIFY(record.names(0x0019, 0x100c));
        QCOMPARE(record.keptByOption(0x0019, 0x100c), safe);
    }
}

// A text an option keeps after cleaning may hold a name no matcher knows (another person's):
// it is named on the residue line, also deep in a report's content tree whose sequence the
// cleaning walked. Without the option the text is a dummy and nothing is told.
void TestResearchCopies::keptTextIsToldEvenNested()
{
    using VR = gdcm::VR;
    for (const bool clean : { false, true }) {
        gdcm::File file;
        gdcm::DataSet &ds = file.GetDataSet();
        ds.Insert(TestDicom::element(TestDicom::patientName, VR::PN, "Roe^Jane"));
        ds.Insert(TestDicom::element(gdcm::Tag(0x0008, 0x1030), VR::LO, "Seen by Dr Smith"));
        ds.Insert(TestDicom::sequence(
                gdcm::Tag(0x0040, 0xa730),
                { TestDicom::element(gdcm::Tag(0x0040, 0xa040), VR::CS, "TEXT"),
                  TestDicom::sequence(gdcm::Tag(0x0040, 0xa730),
                                      { TestDicom::element(gdcm::Tag(0x0040, 0xa160), VR::UT,
                                                           "Call Dr Smith on 555 0100") }) }));
        Cleanup::Record record;
        const StandardOptions::Set options = clean
                ? StandardOptions::Set(StandardOptions::CleanDescriptors
                                       | StandardOptions::CleanStructuredContent)
                : 0;
        Cleanup::clean(file, {}, Cleanup::Options{ true, options, key() }, record);
        const QStringList residue = ResidueCheck::find(file, record).paths;
        QCOMPARE(residue.contains("(0008,1030)"), clean);
        QCOMPARE(residue.contains("(0040,A730)[0]>(0040,A730)[0]>(0040,A160)"), clean);
        QCOMPARE(TestDicom::valueOf(file, gdcm::Tag(0x0008, 0x1030)).trimmed()
                         == "Seen by Dr Smith",
                 clean);
    }
}

void TestResearchCopies::pseudonyms()
{
    const Pseudonym::Patient a{ "", "ID-0042", "Roe^Jane", "19610203" };
    Pseudonym::Patient sameA = a;
    sameA.id = "ID-0042  ";
    sameA.name = "ROE^JANE^^"; // another spelling of the same name does not matter with an ID
    const Pseudonym::Patient otherIssuer{ "HOSPITAL B", "ID-0042", "Roe^Jane", "19610203" };
    const Pseudonym::Patient noId{ "", "", "Roe^Jane", "19610203" };
    const Pseudonym::Patient noIdOtherSpelling{ "", "", "ROE^JANE^", "19610203 " };
    const Pseudonym::Patient noIdOtherBirth{ "", "", "Roe^Jane", "19620203" };

    const std::string pa = Pseudonym::of(a, *key());
    QVERIFY2(QRegularExpression(QStringLiteral("^VX-[A-Z2-7]{10}$"))
                     .match(QString::fromStdString(pa))
                     .hasMatch(),
             pa.c_str());
    QCOMPARE(Pseudonym::of(sameA, *key()), pa);
    QVERIFY(Pseudonym::of(otherIssuer, *key()) != pa);
    QVERIFY(Pseudonym::of(noId, *key()) != pa);
    QCOMPARE(Pseudonym::of(noIdOtherSpelling, *key()), Pseudonym::of(noId, *key()));
    QVERIFY(Pseudonym::of(noIdOtherBirth, *key()) != Pseudonym::of(noId, *key()));
    QVERIFY(Pseudonym::of(a, UidMap(QByteArray(32, 'x'))) != pa);

    // Offsets: whole days from one to ten years, one per patient, many different ones.
    std::set<int> offsets;
    for (int i = 0; i < 200; ++i) {
        const int days = Pseudonym::dateOffsetDays({ "", "P" + std::to_string(i), "", "" }, *key());
        QVERIFY(days >= 365 && days <= 3652);
        offsets.insert(days);
    }
    QVERIFY(offsets.size() > 190);
    QCOMPARE(Pseudonym::dateOffsetDays(sameA, *key()), Pseudonym::dateOffsetDays(a, *key()));

    // One name written in two character sets is one patient, in its files' pseudonyms.
    std::vector<std::string> ofFiles;
    for (const auto &[charset, name] :
         { std::pair<std::string, std::string>{ "ISO_IR 100", "Ferreira^Jo\xe3o" },
           { "ISO_IR 192", "Ferreira^Jo\xc3\xa3o" } }) {
        gdcm::File file;
        file.GetDataSet().Insert(
                TestDicom::element(gdcm::Tag(0x0008, 0x0005), gdcm::VR::CS, charset));
        file.GetDataSet().Insert(TestDicom::element(TestDicom::patientName, gdcm::VR::PN, name));
        file.GetDataSet().Insert(
                TestDicom::element(TestDicom::birthDate, gdcm::VR::DA, "19450102"));
        Cleanup::Record record;
        Cleanup::clean(file, {}, Cleanup::Options{ true, 0, key() }, record);
        ofFiles.push_back(record.pseudonym);
    }
    QCOMPARE(ofFiles.at(0), ofFiles.at(1));
}

void TestResearchCopies::shiftDate_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("dateTime");
    QTest::addColumn<int>("days");
    QTest::addColumn<QString>("expected"); // empty: unreadable
    QTest::newRow("date") << "20200310" << false << 10 << "20200229";
    QTest::newRow("across years") << "20200105" << false << 366 << "20190104";
    QTest::newRow("old spelling") << "2020.03.10" << false << 10 << "20200229";
    QTest::newRow("several values") << "20200310\\20200311" << false << 1 << "20200309\\20200310";
    QTest::newRow("date and time, offset kept")
            << "20200310083000.5+0100" << true << 10 << "20200229083000.5+0100";
    QTest::newRow("year only") << "2020" << true << 400 << "2018";
    QTest::newRow("year and month") << "202003" << true << 1 << "202002";
    QTest::newRow("no such day") << "20210230" << false << 1 << "";
    QTest::newRow("not a date") << "yesterday" << false << 1 << "";
    QTest::newRow("short") << "202003" << false << 1 << "";
    QTest::newRow("before year one") << "00010105" << false << 10 << "";
}

void TestResearchCopies::shiftDate()
{
    QFETCH(QString, value);
    QFETCH(bool, dateTime);
    QFETCH(int, days);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(Pseudonym::shiftDate(value.toStdString(), dateTime, days)),
             expected);
}

// Dates at the top level, nested in a sequence the table keeps, in one it fills with dummies
// and in an unlisted element all move by the one offset; the birth date too, so ages stay.
void TestResearchCopies::modifiedDatesKeepIntervalsAtEveryLevel()
{
    using VR = gdcm::VR;
    gdcm::File file;
    gdcm::DataSet &ds = file.GetDataSet();
    ds.Insert(TestDicom::element(gdcm::Tag(0x0008, 0x0016), VR::UI, "1.2.840.10008.5.1.4.1.1.7"));
    ds.Insert(TestDicom::element(TestDicom::patientId, VR::LO, "ID-0042 "));
    ds.Insert(TestDicom::element(TestDicom::patientName, VR::PN, "Roe^Jane"));
    ds.Insert(TestDicom::element(TestDicom::birthDate, VR::DA, "19610203"));
    ds.Insert(TestDicom::element(TestDicom::studyDate, VR::DA, "20230415"));
    ds.Insert(TestDicom::element(gdcm::Tag(0x0008, 0x0030), VR::TM, "101112"));
    ds.Insert(TestDicom::element(gdcm::Tag(0x0008, 0x002a), VR::DT, "20230415101112+0100"));
    ds.Insert(TestDicom::element(gdcm::Tag(0x0018, 0x1200), VR::DA, "20220101"));
    ds.Insert(TestDicom::sequence(
            gdcm::Tag(0x0054, 0x0016), // not in the table: walked
            { TestDicom::element(gdcm::Tag(0x0008, 0x1155), VR::UI, "1.2.3.4"),
              TestDicom::element(gdcm::Tag(0x0032, 0x1000), VR::DA, "20230301") }));
    ds.Insert(TestDicom::sequence(
            gdcm::Tag(0x0040, 0xa073), // filled with dummies
            { TestDicom::element(gdcm::Tag(0x0040, 0xa030), VR::DT, "20230201") }));
    Cleanup::Record record;
    Cleanup::clean(file, {},
                   Cleanup::Options{ true, StandardOptions::ModifiedDates, key(),
                                     std::make_shared<LinkFile>() },
                   record);
    const int days = record.dateOffsetDays;
    QVERIFY(days >= 365);
    const auto moved = [days](const char *date) {
        return QByteArray::fromStdString(Pseudonym::shiftDate(date, false, days));
    };
    QCOMPARE(TestDicom::valueOf(file, TestDicom::birthDate), moved("19610203"));
    QCOMPARE(TestDicom::valueOf(file, TestDicom::studyDate), moved("20230415"));
    QCOMPARE(TestDicom::valueOf(file, gdcm::Tag(0x0008, 0x0030)), QByteArray("101112"));
    QCOMPARE(TestDicom::valueOf(file, gdcm::Tag(0x0008, 0x002a)),
             moved("20230415") + "101112+0100 ");
    QCOMPARE(TestDicom::valueOf(file, gdcm::Tag(0x0018, 0x1200)), moved("20220101"));
    const auto nested = [&ds](const gdcm::Tag &sequence, const gdcm::Tag &tag) {
        if (!ds.FindDataElement(sequence))
            return QByteArray("(no sequence)");
        const gdcm::SmartPointer<gdcm::SequenceOfItems> items
                = ds.GetDataElement(sequence).GetValueAsSQ();
        if (!items || items->GetNumberOfItems() < 1)
            return QByteArray("(no item)");
        const gdcm::DataSet &item = items->GetItem(1).GetNestedDataSet();
        const gdcm::ByteValue *value = item.GetDataElement(tag).GetByteValue();
        return value ? QByteArray(value->GetPointer(), int(value->GetLength())).trimmed()
                     : QByteArray();
    };
    QCOMPARE(nested(gdcm::Tag(0x0054, 0x0016), gdcm::Tag(0x0032, 0x1000)), moved("20230301"));
    QCOMPARE(nested(gdcm::Tag(0x0040, 0xa073), gdcm::Tag(0x0040, 0xa030)), moved("20230201"));

    // The pseudonym in the patient's ID and name, and what was done, said in the data set.
    const QByteArray pseudonym = QByteArray::fromStdString(record.pseudonym);
    QCOMPARE(TestDicom::valueOf(file, TestDicom::patientId).trimmed(), pseudonym);
    QCOMPARE(TestDicom::valueOf(file, TestDicom::patientName).trimmed(), pseudonym);
    QCOMPARE(TestDicom::valueOf(file, gdcm::Tag(0x0028, 0x0303)), QByteArray("MODIFIED"));
    QCOMPARE(TestDicom::valueOf(file, gdcm::Tag(0x0012, 0x0062)), QByteArray("YES "));
    QVERIFY(TestDicom::valueOf(file, gdcm::Tag(0x0012, 0x0063)).contains("Modified Dates"));
    QCOMPARE(nested(gdcm::Tag(0x0012, 0x0064), gdcm::Tag(0x0008, 0x0100)), QByteArray("113100"));

    // The link pairs: the ID, the UID, the offset; each original once.
    std::map<Cleanup::Link::Kind, int> kinds;
    for (const Cleanup::Link &link : record.links)
        ++kinds[link.kind];
    QCOMPARE(kinds[Cleanup::Link::Kind::PatientId], 1);
    QCOMPARE(kinds[Cleanup::Link::Kind::Uid], 1);
    QCOMPARE(kinds[Cleanup::Link::Kind::DateOffset], 1);
    QCOMPARE(record.links.front().original, std::string("ID-0042"));
}

void TestResearchCopies::linkFileRefusal_data()
{
    QTest::addColumn<QString>("path"); // below the test's folder
    QTest::addColumn<bool>("refused");
    QTest::newRow("elsewhere") << "keys/links.csv" << false;
    QTest::newRow("a new folder elsewhere") << "keys/new/links.csv" << false;
    QTest::newRow("inside the dropped folder") << "data/scans/links.csv" << true;
    QTest::newRow("deep inside it") << "data/scans/a/b/links.csv" << true;
    QTest::newRow("beside it") << "data/links.csv" << true;
    QTest::newRow("inside an output folder") << "data/scans_depersonification/links.csv" << true;
    QTest::newRow("inside another one") << "data/ct.2_depersonification_2/x/links.csv" << true;
    QTest::newRow("through a link into it") << "into/links.csv" << true;
    QTest::newRow("a folder") << "keys" << true;
}

void TestResearchCopies::linkFileRefusal()
{
    QFETCH(QString, path);
    QFETCH(bool, refused);
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("data/scans/a")) && QDir().mkpath(dir.filePath("keys")));
    QVERIFY(QFile::link(dir.filePath("data/scans"), dir.filePath("into")));
    const QString why = LinkFile::refusal(dir.filePath(path), { dir.filePath("data/scans") });
    QVERIFY2(why.isEmpty() != refused, qPrintable(why));
}

void TestResearchCopies::linkFileIsPrivateAndQuoted()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("links.csv");
    QVERIFY(TestDicom::writeAll(path, {}));
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    {
        LinkFile links;
        QString error;
        QVERIFY2(links.open(path, &error), qPrintable(error));
        QVERIFY(links.append("/out/a,b.dcm",
                             { { Cleanup::Link::Kind::PatientId, "(0010,0020)", "Roe, \"J\"\n",
                                 "VX-AAAAAAAAAA" } },
                             &error));
    }
    QCOMPARE(QFile::permissions(path) & (QFile::ReadOther | QFile::ReadGroup),
             QFile::Permissions());
    QCOMPARE(TestDicom::readAll(path),
             QByteArray("copy,kind,element,original,new\n"
                        "\"/out/a,b.dcm\",patient-id,\"(0010,0020)\",\"Roe, \"\"J\"\"\n\","
                        "VX-AAAAAAAAAA\n"));
}

void TestResearchCopies::shardsPartitionTheFiles()
{
    JobPlan::FileLists whole;
    whole.folders = { { "/in", "/in_depersonification", false, {} } };
    const int root = whole.files.addRoot("/in", "/in_depersonification");
    for (int i = 0; i < 400; ++i)
        whole.files.append(root, QStringLiteral("s%1/f%2.dcm").arg(i % 7).arg(i));
    FileOutcome skipped;
    skipped.status = FileOutcome::Status::Skipped;
    skipped.output = "/in_depersonification/DICOMDIR";
    whole.settled << skipped;
    FileOutcome failed = skipped;
    failed.status = FileOutcome::Status::Failed;
    whole.settled << failed;
    const auto inputsOf = [](const JobPlan::FileLists &lists) {
        QStringList inputs;
        for (qsizetype i = 0; i < lists.files.size(); ++i)
            inputs << lists.files.input(i);
        return inputs;
    };
    QSet<QString> seen;
    int skippedSeen = 0;
    for (int k = 1; k <= 4; ++k) {
        JobPlan::FileLists part = whole;
        JobPlan::keepShard(part, { k, 4 });
        QVERIFY(part.files.size() > 60); // roughly a quarter each
        for (qsizetype i = 0; i < part.files.size(); ++i) {
            QCOMPARE(part.files.output(i).mid(22), part.files.input(i).mid(4));
            QVERIFY(!seen.contains(part.files.input(i)));
            seen.insert(part.files.input(i));
        }
        for (const FileOutcome &outcome : part.settled)
            skippedSeen += outcome.status == FileOutcome::Status::Skipped ? 1 : 0;
        QVERIFY(std::any_of(part.settled.begin(), part.settled.end(), [](const FileOutcome &o) {
            return o.status == FileOutcome::Status::Failed;
        }));
    }
    QCOMPARE(seen.size(), whole.files.size());
    QCOMPARE(skippedSeen, 1);
    // Where the folder is mounted does not matter: only the path below it.
    JobPlan::FileLists moved;
    moved.folders = { { "/mnt/x/in", "/mnt/x/in_depersonification", false, {} } };
    const int movedRoot = moved.files.addRoot("/mnt/x/in", "/mnt/x/in_depersonification");
    for (qsizetype i = 0; i < whole.files.size(); ++i)
        moved.files.append(movedRoot, whole.files.relative(i));
    JobPlan::FileLists part = whole;
    JobPlan::keepShard(part, { 2, 4 });
    JobPlan::keepShard(moved, { 2, 4 });
    QStringList movedInputs = inputsOf(moved);
    movedInputs.replaceInStrings("/mnt/x/in/", "/in/");
    QCOMPARE(movedInputs, inputsOf(part));
}

QTEST_GUILESS_MAIN(TestResearchCopies)
#include "tst_researchcopies.moc"
