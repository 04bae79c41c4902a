#include "engine/fileanonymizer.h"

#include "shared/dicomfiles.h"
#include "shared/jobrunner.h"

#include <QTemporaryDir>
#include <QTest>

// Replays every input the fuzzer once broke the per-file path with (tests/fuzz/regressions).
// A file's name starts with its expected outcome: "refused-" (an ordinary failure, no
// output), "skipped-" (left out on purpose, no output, not a failure) or "written-" (a copy
// that reads again). Each runs through the headless command in its own process, so an abort
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
    }
}

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"
