#include "engine/job/fileanonymizer.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/cleaning/uidmap.h"

#include "shared/dicomfiles.h"
#include "shared/jobrunner.h"

#include <QTemporaryDir>
#include <QTest>

// Replays every input the fuzzer once broke the per-file path with (tests/fuzz/regressions).
// A file's name starts with its expected outcome: "refused-" (an ordinary failure, no
// output), "skipped-" (left out on purpose, no output, not a failure) or "written-" (a copy
// that reads again, and reads the same way whether its pixel data was copied from the input or
// written by GDCM). Each runs through the headless command in its own process first, so an abort
// inside GDCM fails this test instead of ending it.
class TestFuzzRegressions : public QObject
{
    Q_OBJECT

private slots:
    void replay_data();
    void replay();
};

void TestFuzzRegressions::replay_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("expected");
    const QDir dir(QStringLiteral(REGRESSIONS_DIR));
    const QStringList names = dir.entryList(QDir::Files, QDir::Name);
    QVERIFY2(!names.isEmpty(), "the regression corpus is empty");
    for (const QString &name : names) {
        const QString expected = name.section(QLatin1Char('-'), 0, 0);
        QVERIFY2(QStringList({ "refused", "skipped", "written" }).contains(expected),
                 qPrintable(name + " names no expected outcome"));
        QTest::addRow("%s", qPrintable(name)) << dir.filePath(name) << expected;
    }
}

void TestFuzzRegressions::replay()
{
    QFETCH(QString, file);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString input = dir.filePath(QStringLiteral("in/input"));
    const QString output = dir.filePath(QStringLiteral("in_depersonification/input"));
    QVERIFY(TestDicom::writeAll(input, TestDicom::readAll(file)));

    const TestJob::CliResult cli = TestJob::runCli({ "--jobs", "1", "in" }, dir.path());
    QCOMPARE(TestDicom::readAll(input), TestDicom::readAll(file));
    const QStringList outputs = TestDicom::treeOf(dir.filePath("in_depersonification"));
    if (expected == QLatin1String("skipped")) {
        QCOMPARE(cli.code, 0);
        QCOMPARE(outputs, QStringList());
    } else if (expected == QLatin1String("refused")) {
        QCOMPARE(cli.code, 1);
        // The input when it cannot be read, the output when its copy would not read again.
        QVERIFY2(cli.err.contains("failed: " + input) || cli.err.contains("failed: " + output),
                 qPrintable(cli.err));
        QCOMPARE(outputs, QStringList());
    } else {
        QVERIFY2(cli.code == 0, qPrintable(cli.err));
        QCOMPARE(outputs, QStringList{ QStringLiteral("input") });
        QString reason;
        QVERIFY2(FileAnonymizer::readsAgain(output, &reason), qPrintable(reason));
        // Pixel data copied from the input and the whole file written by GDCM end alike: the
        // same outcome, the same residue, the same bytes.
        for (const bool standard : { false, true }) {
            FileAnonymizer::Options options;
            options.cleaning.standard = standard;
            options.cleaning.uids = std::make_shared<const UidMap>(QByteArray(32, 'k'));
            std::vector<FileOutcome> outcomes;
            std::vector<QByteArray> copies;
            for (const bool verbatim : { true, false }) {
                options.verbatimPixelData = verbatim;
                const QString copy = dir.filePath(QStringLiteral("%1/input").arg(verbatim));
                FileAnonymizer::Folders folders;
                outcomes.push_back(FileAnonymizer::anonymizeFile(
                        input, copy, FileAnonymizer::compileProfile(TagProfile::load()), options,
                        folders));
                copies.push_back(TestDicom::readAll(copy));
            }
            QCOMPARE(outcomes.at(0).status, outcomes.at(1).status);
            QCOMPARE(outcomes.at(0).residue, outcomes.at(1).residue);
            QVERIFY(copies.at(0) == copies.at(1));
        }
    }
}

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"
