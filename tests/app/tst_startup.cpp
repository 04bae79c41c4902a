#include "app/startup.h"
#include "appinfo.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSettings>
#include <QTest>
#include <QUrl>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void exitCode_data();
    void exitCode();
    void informationOptionsOpenNoWindow_data();
    void informationOptionsOpenNoWindow();
    void settingsStoresAreDistinct();
};

void TestStartup::exitCode_data()
{
    QTest::addColumn<QString>("qmlFile"); // empty: the product's own main window
    QTest::addColumn<int>("expectedCode");
    QTest::addRow("main window fails to load") << "broken.qml" << 255; // -1 as a process status
    QTest::addRow("missing main window file") << "missing.qml" << 255;
    QTest::addRow("window closed ends with 0") << "closes.qml" << 0;
    // It loads from the resources and is shown; the program runs on (the probe then ends it).
    QTest::addRow("the product's own window") << "" << 0;
}

void TestStartup::exitCode()
{
    QFETCH(QString, qmlFile);
    QFETCH(int, expectedCode);
    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    probe.start(
            QStringLiteral(TEST_BIN_DIR "/startupprobe"),
            qmlFile.isEmpty()
                    ? QStringList()
                    : QStringList{ QUrl::fromLocalFile(QStringLiteral(TEST_DATA_DIR "/") + qmlFile)
                                           .toString() });
    QVERIFY(probe.waitForFinished(30000));
    const QByteArray output = probe.readAll();
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QVERIFY2(probe.exitCode() == expectedCode, output.constData());
    QCOMPARE(output.contains("shown\n"), qmlFile.isEmpty());
}

void TestStartup::informationOptionsOpenNoWindow_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("answer");
    QTest::addRow("--help") << "--help"
                            << "--version";
    QTest::addRow("-h") << "-h"
                        << "--help";
    QTest::addRow("--version") << "--version"
                               << "1.0.1";
    QTest::addRow("-v beside a toolkit option") << "-v"
                                                << "Vexar";
}

// The GUI program answers and ends without any window: with no display plugin to be found, a
// GUI application object would end the process with an error instead.
void TestStartup::informationOptionsOpenNoWindow()
{
    QFETCH(QString, option);
    QFETCH(QString, answer);
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-platform"));
    program.setProcessEnvironment(environment);
    QStringList arguments{ option };
    if (option == QLatin1String("-v"))
        arguments = QStringList{ QStringLiteral("-style"), QStringLiteral("Basic"), option };
    program.start(QStringLiteral(TEST_BIN_DIR "/vexar-anonymizer"), arguments);
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY2(QString::fromUtf8(program.readAllStandardOutput()).contains(answer),
             program.readAllStandardError().constData());
}

void TestStartup::settingsStoresAreDistinct()
{
    Startup::setApplicationIdentity();
    QSettings windows; // the windows' store: organisation and application name
    QSettings core(QString::fromLatin1(AppInfo::organisationName),
                   QString::fromLatin1(AppInfo::coreSettingsApplication));
    QVERIFY(windows.fileName() != core.fileName());
    windows.setValue(QStringLiteral("probeWindows"), 1);
    core.setValue(QStringLiteral("probeCore"), 2);
    windows.sync();
    core.sync();
    QVERIFY(!QSettings(core.fileName(), QSettings::NativeFormat).contains("probeWindows"));
    QVERIFY(!QSettings(windows.fileName(), QSettings::NativeFormat).contains("probeCore"));
    QVERIFY(core.contains("probeCore"));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
