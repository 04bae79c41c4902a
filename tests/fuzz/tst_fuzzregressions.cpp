#include "engine/dicomcheck.h"
#include "engine/fileanonymizer.h"
#include "../engine/dicomfiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gdcmReader.h>
#include <gdcmTrace.h>

// Replays every input the fuzzer once broke the per-file path with (tests/fuzz/regressions).
// A file's name starts with its expected outcome: "refused-" (an ordinary failure, no
// output), "skipped-" (left out on purpose, no output, not a failure) or "written-" (a copy
// that reads again). Each runs through the headless command in
// its own process, so an abort inside GDCM fails this test instead of ending it.
class TestFuzzRegressions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void replay_data();
    void replay();
};


void TestFuzzRegressions::initTestCase()
{
    gdcm::Trace::WarningOff();
    gdcm::Trace::ErrorOff();
}

void TestFuzzRegressions::replay_data()
{
    QTest::addColumn<QString>("file");
    const QDir dir(QStringLiteral(REGRESSIONS_DIR));
    const QStringList names = dir.entryList(QDir::Files, QDir::Name);
    QVERIFY2(!names.isEmpty(), "the regression corpus is empty");
    for (const QString &name : names) {
        if (name.startsWith(QLatin1String("refused-"))
            || name.startsWith(QLatin1String("skipped-"))
            || name.startsWith(QLatin1String("written-")))
            QTest::addRow("%s", qPrintable(name)) << dir.filePath(name);
        else if (name != QLatin1String("README.md"))
            QFAIL(qPrintable(QStringLiteral("%1 names no expected outcome").arg(name)));
    }
}

void TestFuzzRegressions::replay()
{
    QFETCH(QString, file);
    const bool written = QFileInfo(file).fileName().startsWith(QLatin1String("written-"));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString input = dir.filePath(QStringLiteral("in/input"));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("in"))));
    QVERIFY(QFile::copy(file, input));
    const QByteArray before = TestDicom::sha256(input);

    QProcess cli;
    cli.start(
            QStringLiteral(TEST_BIN_DIR "/vexar-anonymizer-cli"),
            { QStringLiteral("--jobs"), QStringLiteral("1"), dir.filePath(QStringLiteral("in")) });
    QVERIFY(cli.waitForFinished(60000));
    const QByteArray err = cli.readAllStandardError();
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(TestDicom::sha256(input), before);

    const QString outFolder = dir.filePath(QStringLiteral("in_depersonification"));
    const QStringList outputs = TestDicom::treeOf(outFolder);
    if (QFileInfo(file).fileName().startsWith(QLatin1String("skipped-"))) {
        QCOMPARE(cli.exitCode(), 0);
        QCOMPARE(outputs, QStringList());
        return;
    }
    if (!written) {
        QCOMPARE(cli.exitCode(), 1);
        // The input when it cannot be read, the output when its copy would not read again.
        QVERIFY2(err.contains("failed: " + input.toUtf8())
                         || err.contains("failed: " + dir.filePath("in_depersonification/input").toUtf8()),
                 err.constData());
        QCOMPARE(outputs, QStringList());
        return;
    }
    QVERIFY2(cli.exitCode() == 0, err.constData());
    QCOMPARE(outputs, QStringList{ QStringLiteral("input") });
    const QString output = QDir(outFolder).filePath(QStringLiteral("input"));
    QVERIFY2(DicomCheck::checkFile(output).ok, qPrintable(DicomCheck::checkFile(output).reason));
    gdcm::Reader reader;
    QVERIFY(FileAnonymizer::read(output, reader));
}

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"
