#include "bridge/messagekeys.h"
#include "bridge/qmlhandler.h"
#include "engine/outputfile.h"
#include "engine/tagprofile.h"

#include "dicomfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gdcmTrace.h>

#include <atomic>
#include <memory>
#include <set>

// Whole jobs on real DICOM files: files made with GDCM and the test files pydicom ships. Every
// check is on the files read back from disk.
class TestFileAnonymizer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void defaultProfile();
    void userTexts_data();
    void userTexts();
    void editDuringAJobAppliesFromTheNextFile();
    void independentReaderAgrees();
    void sequenceUnderAListedTagIsEmptied();
    void publicTestFiles();
    void badFilesFailWithTheirInputPath();
    void unwritableOutputFailsWithTheOutputPath_data();
    void unwritableOutputFailsWithTheOutputPath();
    void readOnlyOutputFolder();
    void secondRunReplacesTheCopies();
    void collidingFolderNamesKeepEveryFile();
    void shutdownDuringAJob();
    void outputFileLeavesNothingUncommitted();

private:
    struct Job
    {
        QStringList errors;
    };
    Job run(QmlHandler &handler, const QStringList &folders);
    QString path(const QString &relative) const { return m_dir->filePath(relative); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

QString tagText(const gdcm::Tag &tag)
{
    return QStringLiteral("(%1,%2)")
            .arg(tag.GetGroup(), 4, 16, QLatin1Char('0'))
            .arg(tag.GetElement(), 4, 16, QLatin1Char('0'))
            .toUpper();
}

// Top-level elements whose tag, VR, length or value differ between two data sets, or that
// only one holds. Sequences compare item by item.
QStringList differences(const gdcm::DataSet &a, const gdcm::DataSet &b)
{
    QStringList tags;
    for (const gdcm::DataElement &de : a.GetDES()) {
        if (!b.FindDataElement(de.GetTag()) || !(b.GetDataElement(de.GetTag()) == de))
            tags.append(tagText(de.GetTag()));
    }
    for (const gdcm::DataElement &de : b.GetDES()) {
        if (!a.FindDataElement(de.GetTag()))
            tags.append(tagText(de.GetTag()));
    }
    tags.sort();
    return tags;
}

// The last "updateProgress" value and the "jobOutcome" object the bridge sent.
float lastProgress(const QSignalSpy &messages)
{
    float last = -1;
    for (const QList<QVariant> &message : messages) {
        if (message.at(0).toString() == MessageKey::updateProgress)
            last = message.at(1).toFloat();
    }
    return last;
}

QJsonObject outcomeOf(const QSignalSpy &messages)
{
    for (const QList<QVariant> &message : messages) {
        if (message.at(0).toString() == MessageKey::jobOutcome)
            return message.at(1).toJsonObject();
    }
    return {};
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

const QStringList madeFileReplaced
        = { "(0008,0020)", "(0008,0080)", "(0010,0010)", "(0010,0020)", "(0010,0030)" };
// The profile's file meta entries, and the group length that follows them.
const QStringList metaReplaced = { "(0002,0000)", "(0002,0012)", "(0002,0013)", "(0002,0016)" };

bool isSubset(const QStringList &tags, const QStringList &of)
{
    for (const QString &tag : tags) {
        if (!of.contains(tag))
            return false;
    }
    return true;
}

} // namespace

void TestFileAnonymizer::initTestCase()
{
    gdcm::Trace::WarningOff();
    gdcm::Trace::ErrorOff();
}

void TestFileAnonymizer::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

TestFileAnonymizer::Job TestFileAnonymizer::run(QmlHandler &handler, const QStringList &folders)
{
    // Not a QSignalSpy: workers emit readError from several threads at once, and the spy
    // appends without a lock. Queued, every failure is in before the report that counts it.
    Job job;
    const QMetaObject::Connection collecting = QObject::connect(
            &handler, &QmlHandler::readError, this,
            [&job](const QString &failed) { job.errors.append(failed); }, Qt::QueuedConnection);
    QStringList urls;
    for (const QString &folder : folders)
        urls.append(QUrl::fromLocalFile(path(folder)).toString());
    handler.receiveFromQml(MessageKey::openFolder, urls.join(QLatin1Char('\n')));
    if (!QTest::qWaitFor([&] { return handler.done() >= handler.total(); }, 60000))
        qWarning("job did not finish");
    handler.waitForWorkers();
    // The handler may run another job after this one.
    QObject::disconnect(collecting);
    job.errors.sort();
    return job;
}

void TestFileAnonymizer::defaultProfile()
{
    QVERIFY(TestDicom::write(path("in/a.dcm")));
    const QByteArray inputHash = TestDicom::sha256(path("in/a.dcm"));
    QmlHandler handler(QmlHandler::ServerClient::None);
    QCOMPARE(run(handler, { "in" }).errors, QStringList());

    QCOMPARE(TestDicom::treeOf(path("in_depersonification")), QStringList{ "a.dcm" });
    const auto in = TestDicom::read(path("in/a.dcm"));
    const auto out = TestDicom::read(path("in_depersonification/a.dcm"));
    QVERIFY(in && out);
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientName), QByteArray("----"));
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientId), QByteArray("----"));
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::birthDate), QByteArray("19700101"));
    // "StudyDate" comes after "NoName_40" in key order and wins.
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::studyDate), QByteArray("19700101"));
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::institutionName), QByteArray("----"));
    // Absent before, absent after.
    QVERIFY(!out->GetDataSet().FindDataElement(TestDicom::patientSex));
    // Everything else as it was, the sequence with its nested name and the pixel data
    // included; of the meta group only the profile's entries, each valid for its VR, and
    // the elements that describe the file as they were.
    QCOMPARE(differences(in->GetDataSet(), out->GetDataSet()), madeFileReplaced);
    QVERIFY(isSubset(differences(in->GetHeader(), out->GetHeader()), metaReplaced));
    QCOMPARE(TestDicom::metaValueOf(*out, gdcm::Tag(0x0002, 0x0013)), QByteArray("----"));
    QVERIFY(TestDicom::metaValueOf(*out, gdcm::Tag(0x0002, 0x0012)).startsWith("2.25."));
    QCOMPARE(TestDicom::metaValueOf(*out, gdcm::Tag(0x0002, 0x0003)),
             TestDicom::valueOf(*out, gdcm::Tag(0x0008, 0x0018)));
    const gdcm::DataElement &sq = out->GetDataSet().GetDataElement(TestDicom::requestSequence);
    const gdcm::DataSet &nested = sq.GetValueAsSQ()->GetItem(1).GetNestedDataSet();
    const gdcm::ByteValue *nestedName
            = nested.GetDataElement(TestDicom::patientName).GetByteValue();
    QCOMPARE(QByteArray(nestedName->GetPointer(), nestedName->GetLength()),
             QByteArray("Nested^Name\0", 12));
    QCOMPARE(TestDicom::sha256(path("in/a.dcm")), inputHash);
}

void TestFileAnonymizer::userTexts_data()
{
    QTest::addColumn<QStringList>("messages"); // key|value
    QTest::addColumn<QByteArray>("expected");
    QTest::addRow("Doe gets one space")
            << QStringList{ "changeTagText|PatientsName:Doe" } << QByteArray("Doe ");
    QTest::addRow("Müller as seven UTF-8 bytes and a space")
            << QStringList{ "changeTagText|PatientsName:Müller" }
            << QByteArray("M\xc3\xbcller ");
    QTest::addRow("even length stays")
            << QStringList{ "changeTagText|PatientsName:Anon" } << QByteArray("Anon");
    QTest::addRow("emptied text falls back")
            << QStringList{ "changeTagText|PatientsName:Doe", "changeTagText|PatientsName:" }
            << QByteArray("----");
    QTest::addRow("switched off keeps the name")
            << QStringList{ "changeTagText|PatientsName:Doe", "changeGUI|PatientsName:0" }
            << QByteArray("Roe^Jane");
    QTest::addRow("switched on again with the stored text")
            << QStringList{ "changeTagText|PatientsName:Doe", "changeGUI|PatientsName:0",
                            "changeGUI|PatientsName:1" }
            << QByteArray("Doe ");
}

void TestFileAnonymizer::userTexts()
{
    QFETCH(QStringList, messages);
    QFETCH(QByteArray, expected);
    QVERIFY(TestDicom::write(path("in/a.dcm")));
    QmlHandler handler(QmlHandler::ServerClient::None);
    for (const QString &message : messages)
        handler.receiveFromQml(message.section('|', 0, 0), message.section('|', 1));
    QCOMPARE(run(handler, { "in" }).errors, QStringList());
    const auto out = TestDicom::read(path("in_depersonification/a.dcm"));
    QVERIFY(out);
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientName), expected);
}

void TestFileAnonymizer::editDuringAJobAppliesFromTheNextFile()
{
    constexpr int files = 6;
    for (int i = 0; i < files; ++i)
        QVERIFY(TestDicom::write(path("in/%1.dcm").arg(i)));
    QmlHandler handler(QmlHandler::ServerClient::None);
    handler.setWorkerCount(1);
    // Runs on the worker, between its first and second file.
    std::atomic<int> finished{ 0 };
    connect(
            &handler, &QmlHandler::writeFile, &handler,
            [&] {
                if (finished.fetch_add(1) == 0)
                    handler.receiveFromQml(MessageKey::changeTagText,
                                           QStringLiteral("PatientsName:Later"));
            },
            Qt::DirectConnection);
    QCOMPARE(run(handler, { "in" }).errors, QStringList());
    QList<QByteArray> names;
    for (int i = 0; i < files; ++i) {
        const auto out = TestDicom::read(path("in_depersonification/%1.dcm").arg(i));
        QVERIFY(out);
        names.append(TestDicom::valueOf(*out, TestDicom::patientName));
    }
    QCOMPARE(names.count("----"), 1);
    QCOMPARE(names.count(QByteArray("Later ")), files - 1);
}

void TestFileAnonymizer::independentReaderAgrees()
{
    const QString python = QStringLiteral("/usr/bin/python3");
    if (!QFileInfo::exists(python))
        QSKIP("no /usr/bin/python3");
    QVERIFY(TestDicom::write(path("in/a.dcm")));
    QmlHandler handler(QmlHandler::ServerClient::None);
    handler.receiveFromQml(MessageKey::changeTagText, QStringLiteral("PatientsName:Müller"));
    QCOMPARE(run(handler, { "in" }).errors, QStringList());

    QProcess pydicom;
    pydicom.start(python,
                  { QStringLiteral(TEST_DATA_DIR "/compare_dicom.py"), path("in/a.dcm"),
                    path("in_depersonification/a.dcm") });
    QVERIFY(pydicom.waitForFinished(30000));
    if (pydicom.exitCode() != 0 && pydicom.readAllStandardError().contains("No module named"))
        QSKIP("pydicom is not installed");
    QCOMPARE(pydicom.exitCode(), 0);
    const QJsonObject result = QJsonDocument::fromJson(pydicom.readAllStandardOutput()).object();
    QStringList differs;
    for (const QJsonValue &tag : result.value("differs").toArray())
        differs.append(tag.toString());
    QCOMPARE(differs, madeFileReplaced);
    QStringList metaDiffers;
    for (const QJsonValue &tag : result.value("meta_differs").toArray())
        metaDiffers.append(tag.toString());
    QVERIFY(isSubset(metaDiffers, metaReplaced));
    // Padded with a space, as a text is.
    QCOMPARE(result.value("patient_name").toString(), QStringLiteral("4dc3bc6c6c657220"));
}

void TestFileAnonymizer::sequenceUnderAListedTagIsEmptied()
{
    TestDicom::Options options;
    options.withPrivateSequence = true;
    QVERIFY(TestDicom::write(path("in/a.dcm"), options));
    QmlHandler handler(QmlHandler::ServerClient::None);
    QCOMPARE(run(handler, { "in" }).errors, QStringList());

    const auto in = TestDicom::read(path("in/a.dcm"));
    const auto out = TestDicom::read(path("in_depersonification/a.dcm"));
    QVERIFY(in && out);
    QStringList expected = madeFileReplaced;
    expected << "(0009,1004)";
    expected.sort();
    QCOMPARE(differences(in->GetDataSet(), out->GetDataSet()), expected);
    const gdcm::DataElement &emptied = out->GetDataSet().GetDataElement(TestDicom::privateSequence);
    QCOMPARE(emptied.GetVR(), gdcm::VR(gdcm::VR::SQ));
    QCOMPARE(emptied.GetValueAsSQ()->GetNumberOfItems(), gdcm::SequenceOfItems::SizeType(0));
    // The listed sequence of the same file elsewhere is untouched.
    QCOMPARE(out->GetDataSet()
                     .GetDataElement(TestDicom::requestSequence)
                     .GetValueAsSQ()
                     ->GetNumberOfItems(),
             gdcm::SequenceOfItems::SizeType(1));

    QProcess dcmdump;
    dcmdump.start(QStringLiteral("dcmdump"), { path("in_depersonification/a.dcm") });
    if (!dcmdump.waitForStarted())
        QSKIP("dcmdump is not installed");
    QVERIFY(dcmdump.waitForFinished(30000));
    QCOMPARE(dcmdump.exitCode(), 0);
    const QByteArray dump = dcmdump.readAllStandardOutput();
    // The nested name is left only in the sequence the profile does not list.
    QCOMPARE(dump.count("Nested^Name"), 1);
}

void TestFileAnonymizer::publicTestFiles()
{
    const QDir source(TestDicom::pydicomFiles());
    if (!source.exists())
        QSKIP("pydicom's test files are not installed");
    // Explicit and implicit VR, big endian, deflated, no meta header, encapsulated pixel
    // data, nested and private sequences, and files GDCM cannot read.
    const QStringList names = {
        "CT_small.dcm",
        "MR_small.dcm",
        "MR_small_implicit.dcm",
        "MR_small_bigendian.dcm",
        "ExplVR_BigEnd.dcm",
        "image_dfl.dcm",
        "JPEG2000.dcm",
        "MR_small_RLE.dcm",
        "rtplan.dcm",
        "rtstruct.dcm",
        "waveform_ecg.dcm",
        "nested_priv_SQ.dcm",
        "priv_SQ.dcm",
        "no_meta.dcm",
        "ExplVR_LitEndNoMeta.dcm",
        "rtplan_truncated.dcm",
        "meta_missing_tsyntax.dcm",
        "emri_small.dcm",
        "liver_1frame.dcm",
        "reportsi.dcm",
    };
    QDir().mkpath(path("in/sub"));
    QStringList copied;
    for (const QString &name : names) {
        if (QFile::copy(source.filePath(name), path("in/sub/") + name))
            copied.append(name);
    }
    QVERIFY(copied.size() > 10);
    QVERIFY(QFile::copy(source.filePath("dicomdirtests/DICOMDIR"), path("in/DICOMDIR")));
    QVERIFY(QFile::copy(source.filePath("dicomdirtests/DICOMDIR"), path("in/sub/dicomdir")));

    QSet<QString> profileTags;
    const QJsonObject profile = TagProfile::load();
    for (const QJsonValue &entry : profile) {
        const QJsonObject e = entry.toObject();
        profileTags.insert(tagText(gdcm::Tag(TagProfile::tagNumber(e.value("tagU")),
                                             TagProfile::tagNumber(e.value("tagD")))));
    }

    QHash<QString, QByteArray> hashes;
    for (const QString &name : copied)
        hashes.insert(name, TestDicom::sha256(path("in/sub/") + name));
    QmlHandler handler(QmlHandler::ServerClient::None);
    const Job job = run(handler, { "in" });
    QCOMPARE(handler.total(), copied.size());

    int written = 0;
    for (const QString &name : copied) {
        const QString input = path("in/sub/") + name;
        const QString output = path("in_depersonification/sub/") + name;
        QCOMPARE(TestDicom::sha256(input), hashes.value(name));
        const auto in = TestDicom::read(input);
        if (!in) {
            QVERIFY2(job.errors.contains(input), qPrintable(name));
            QVERIFY2(!QFileInfo::exists(output), qPrintable(name));
            continue;
        }
        QVERIFY2(!job.errors.contains(input), qPrintable(name));
        const auto out = TestDicom::read(output);
        QVERIFY2(out, qPrintable(name));
        ++written;
        // A meta group that named another instance than the data set now names the same.
        QStringList metaAllowed = metaReplaced;
        if (TestDicom::metaValueOf(*in, gdcm::Tag(0x0002, 0x0003))
            != TestDicom::valueOf(*in, gdcm::Tag(0x0008, 0x0018)))
            metaAllowed.append("(0002,0003)");
        const QStringList metaDiffers = differences(in->GetHeader(), out->GetHeader());
        QVERIFY2(isSubset(metaDiffers, metaAllowed), qPrintable(name + metaDiffers.join(' ')));
        // A group length that no longer holds is left out.
        for (const QString &tag : differences(in->GetDataSet(), out->GetDataSet())) {
            QVERIFY2(profileTags.contains(tag) || tag.endsWith(",0000)"),
                     qPrintable(name + " " + tag));
        }
        // The name is always replaced where a file holds it.
        if (in->GetDataSet().FindDataElement(TestDicom::patientName))
            QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientName), QByteArray("----"));
    }
    QVERIFY(written > 10);
    QVERIFY(!QFileInfo::exists(path("in_depersonification/DICOMDIR")));
    QVERIFY(!QFileInfo::exists(path("in_depersonification/sub/dicomdir")));
    // Only final names: no temporary file is left beside them.
    for (const QString &file : TestDicom::treeOf(path("in_depersonification")))
        QVERIFY2(file.endsWith(".dcm") && !QFileInfo(file).fileName().startsWith('.'),
                 qPrintable(file));
}

void TestFileAnonymizer::badFilesFailWithTheirInputPath()
{
    QVERIFY(TestDicom::write(path("in/good.dcm")));
    QFile text(path("in/notes.txt"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("Patient list, not DICOM\n");
    text.close();
    QFile empty(path("in/empty.dcm"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();

    QFile cut(path("in/sub/cut.dcm"));
    QVERIFY(TestDicom::write(cut.fileName()));
    QVERIFY(cut.open(QIODevice::ReadWrite));
    QVERIFY(cut.resize(cut.size() - 3));
    cut.close();
    QFile hidden(path("in/.notes"));
    QVERIFY(hidden.open(QIODevice::WriteOnly));
    hidden.close();

    QmlHandler handler(QmlHandler::ServerClient::None);
    handler.receiveFromQml(MessageKey::changeTagText, QStringLiteral("PatientsName:Anon\nymous"));
    QSignalSpy messages(&handler, &QmlHandler::sendToQml);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^error read file .*notes.txt"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^error read file .*empty.dcm"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^error read file .*cut.dcm"));
    const Job job = run(handler, { "in" });
    QCOMPARE(job.errors,
             (QStringList{ path("in/empty.dcm"), path("in/notes.txt"), path("in/sub/cut.dcm") }));
    QCOMPARE(handler.done(), 4);
    QCOMPARE(lastProgress(messages), 1.0f);
    QCOMPARE(TestDicom::treeOf(path("in_depersonification")), QStringList{ "good.dcm" });

    // The window hears how the job ended, and the report beside the copies says why each
    // file failed; it holds no value of the inputs.
    const QJsonObject outcome = outcomeOf(messages);
    QCOMPARE(outcome.value("text").toString(),
             QStringLiteral("4 files: 1 written with residue, 3 failed, 1 skipped · in_depersonification"));
    const QString report = path("in_depersonification.report.txt");
    QCOMPARE(outcome.value("reports").toArray(),
             QJsonArray{ QUrl::fromLocalFile(report).toString() });
    const QString reportText = readText(report);
    const QRegularExpression lines(
            "^Vexar Anonymizer 1\\.0\\.1: anonymization report\n"
            "Date: \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d.*\n"
            "Dropped folder: .*/in\n"
            "Output folder: .*/in_depersonification\n"
            "Files: 4: 1 written with residue, 3 failed, 1 skipped\n"
            ".*  \\(0010,0010\\) PatientsName: \"Anon ymous\"\n"
            ".*Files \\(path below the dropped folder: status\\):\n"
            "  \\.notes: skipped: a hidden file\n"
            "  empty\\.dcm: failed: empty file\n"
            "  good\\.dcm: written with residue: \\(0002,0003\\), [^\n]*\n"
            "  notes\\.txt: failed: not a DICOM file\n"
            "  sub/cut\\.dcm: failed: truncated: value length beyond its container at byte \\d+\n$",
            QRegularExpression::DotMatchesEverythingOption);
    QVERIFY2(lines.match(reportText).hasMatch(), qPrintable(reportText));
    const auto input = TestDicom::read(path("in/good.dcm"));
    QVERIFY(input);
    QVERIFY(!reportText.contains(
            QString::fromLatin1(TestDicom::valueOf(*input, TestDicom::patientName))));
}

void TestFileAnonymizer::unwritableOutputFailsWithTheOutputPath_data()
{
    QTest::addColumn<QString>("blocker"); // a regular file made where the output needs a folder
    QTest::addColumn<QStringList>("failed");
    QTest::addColumn<QStringList>("written");
    QTest::addRow("output folder is a file")
            << "in_depersonification" << QStringList{ "a.dcm", "sub/b.dcm" } << QStringList{};
    QTest::addRow("a subfolder is a file")
            << "in_depersonification/sub" << QStringList{ "sub/b.dcm" } << QStringList{ "a.dcm" };
    QTest::addRow("final name is a folder") << "in_depersonification/a.dcm/"
                                            << QStringList{ "a.dcm" } << QStringList{ "sub/b.dcm" };
}

void TestFileAnonymizer::unwritableOutputFailsWithTheOutputPath()
{
    QFETCH(QString, blocker);
    QFETCH(QStringList, failed);
    QFETCH(QStringList, written);
    QVERIFY(TestDicom::write(path("in/a.dcm")));
    QVERIFY(TestDicom::write(path("in/sub/b.dcm")));
    if (blocker.endsWith('/')) {
        QVERIFY(QDir().mkpath(path(blocker + "x")));
    } else {
        QDir().mkpath(QFileInfo(path(blocker)).absolutePath());
        QFile file(path(blocker));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QStringList expectedErrors;
    for (const QString &file : failed) {
        expectedErrors.append(path("in_depersonification/") + file);
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("^error write file \".*in/"
                                                + QRegularExpression::escape(file)
                                                + "\" \".*in_depersonification/"
                                                + QRegularExpression::escape(file) + "\"$"));
    }
    expectedErrors.sort();

    QmlHandler handler(QmlHandler::ServerClient::None);
    QSignalSpy messages(&handler, &QmlHandler::sendToQml);
    QCOMPARE(run(handler, { "in" }).errors, expectedErrors);
    QCOMPARE(handler.done(), 2);
    QCOMPARE(lastProgress(messages), 1.0f);
    QVERIFY(outcomeOf(messages).value("text").toString().contains(
            QStringLiteral("%1 failed").arg(failed.size())));
    for (const QString &file : written)
        QVERIFY2(TestDicom::read(path("in_depersonification/") + file), qPrintable(file));
    // Nothing half-written: no temporary file anywhere, no file under a failed name.
    for (const QString &file : TestDicom::treeOf(m_dir->path()))
        QVERIFY2(!file.endsWith(".part"), qPrintable(file));
    for (const QString &file : failed)
        QVERIFY(!QFileInfo(path("in_depersonification/") + file).isFile());
}

void TestFileAnonymizer::readOnlyOutputFolder()
{
    QVERIFY(TestDicom::write(path("in/a.dcm")));
    QVERIFY(QDir().mkpath(path("in_depersonification")));
    QVERIFY(QFile::setPermissions(path("in_depersonification"),
                                  QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    QFile probe(path("in_depersonification/probe"));
    if (probe.open(QIODevice::WriteOnly)) {
        probe.remove();
        QSKIP("permissions do not bind here (running as root)");
    }
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^error write file "));
    QmlHandler handler(QmlHandler::ServerClient::None);
    QCOMPARE(run(handler, { "in" }).errors, QStringList{ path("in_depersonification/a.dcm") });
    QCOMPARE(TestDicom::treeOf(path("in_depersonification")), QStringList());
    QFile::setPermissions(path("in_depersonification"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void TestFileAnonymizer::secondRunReplacesTheCopies()
{
    QVERIFY(TestDicom::write(path("in/a.dcm")));
    QmlHandler handler(QmlHandler::ServerClient::None);
    QSignalSpy messages(&handler, &QmlHandler::sendToQml);
    QCOMPARE(run(handler, { "in" }).errors, QStringList());
    QCOMPARE(outcomeOf(messages).value("text").toString(),
             QStringLiteral("1 file: 1 written with residue · in_depersonification"));
    messages.clear();
    handler.receiveFromQml(MessageKey::changeTagText, QStringLiteral("PatientsName:Anon"));
    QCOMPARE(run(handler, { "in" }).errors, QStringList());
    // The copies join an earlier job's, and the user is told so.
    QCOMPARE(outcomeOf(messages).value("text").toString(),
             QStringLiteral("1 file: 1 written with residue · in_depersonification (added to an existing "
                            "folder)"));
    QVERIFY(readText(path("in_depersonification.report.txt"))
                    .contains("Output folder: " + path("in_depersonification")
                              + " (added to an existing folder)\n"));
    const auto out = TestDicom::read(path("in_depersonification/a.dcm"));
    QVERIFY(out);
    QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientName), QByteArray("Anon"));
    QCOMPARE(TestDicom::treeOf(path("in_depersonification")), QStringList{ "a.dcm" });
}

void TestFileAnonymizer::collidingFolderNamesKeepEveryFile()
{
    QVERIFY(TestDicom::write(path("ct.2021/a.dcm")));
    QVERIFY(TestDicom::write(path("ct.2022/a.dcm")));
    QmlHandler handler(QmlHandler::ServerClient::None);
    QCOMPARE(run(handler, { "ct.2021", "ct.2022" }).errors, QStringList());
    const gdcm::Tag sopInstance(0x0008, 0x0018);
    for (const auto &[input, output] :
         { std::pair{ "ct.2021/a.dcm", "ct_depersonification/a.dcm" },
           std::pair{ "ct.2022/a.dcm", "ct.2022_depersonification/a.dcm" } }) {
        const auto in = TestDicom::read(path(input));
        const auto out = TestDicom::read(path(output));
        QVERIFY2(in && out, output);
        QCOMPARE(TestDicom::valueOf(*out, sopInstance), TestDicom::valueOf(*in, sopInstance));
    }
}

void TestFileAnonymizer::shutdownDuringAJob()
{
    QVERIFY(TestDicom::write(path("in/0.dcm")));
    constexpr int files = 400;
    for (int i = 1; i < files; ++i)
        QVERIFY(QFile::copy(path("in/0.dcm"), path("in/%1.dcm").arg(i)));

    auto handler = std::make_unique<QmlHandler>(QmlHandler::ServerClient::None);
    handler->setWorkerCount(2);
    handler->receiveFromQml(MessageKey::openFolder, QUrl::fromLocalFile(path("in")).toString());
    QTRY_VERIFY(handler->done() > 0);
    QElapsedTimer timer;
    timer.start();
    handler.reset();
    QVERIFY2(timer.elapsed() < 5000, "the workers did not stop between files");

    // Whatever was written is whole, under its final name.
    const QStringList outputs = TestDicom::treeOf(path("in_depersonification"));
    // Usually fewer than all; on a slow machine the job may have ended first.
    QVERIFY(outputs.size() <= files);
    for (const QString &file : outputs) {
        QVERIFY2(file.endsWith(".dcm") && !file.startsWith('.'), qPrintable(file));
        const auto out = TestDicom::read(path("in_depersonification/") + file);
        QVERIFY2(out, qPrintable(file));
        QCOMPARE(TestDicom::valueOf(*out, TestDicom::patientName), QByteArray("----"));
    }
}

void TestFileAnonymizer::outputFileLeavesNothingUncommitted()
{
    {
        OutputFile out(path("a.dcm"));
        QVERIFY(out.open());
        out.stream() << "half a file";
        QVERIFY(QFileInfo::exists(out.temporaryPath()));
    }
    QCOMPARE(TestDicom::treeOf(m_dir->path()), QStringList());

    // A final name at the file system's limit still gets its temporary file.
    const QString longName = QString(250, 'n') + ".dcm";
    OutputFile longOut(path(longName));
    QVERIFY(longOut.open());
    longOut.stream() << "x";
    QVERIFY(longOut.commit());
    QVERIFY(QFile::remove(path(longName)));

    QFile old(path("a.dcm"));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old copy");
    old.close();
    OutputFile out(path("a.dcm"));
    QVERIFY(out.open());
    const std::string big(1 << 20, 'x');
    out.stream() << "new" << big;
    QVERIFY(out.commit());
    QCOMPARE(TestDicom::treeOf(m_dir->path()), QStringList{ "a.dcm" });
    QCOMPARE(QFileInfo(path("a.dcm")).size(), qint64(3 + big.size()));
}

QTEST_GUILESS_MAIN(TestFileAnonymizer)
#include "tst_fileanonymizer.moc"
