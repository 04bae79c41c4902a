#include "net/nethandler.h"
#include "tlstestserver.h"

#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>

// The development service as the program meets it: a NetHandler logs in, fetches the profile,
// stores an edited one and renews its token, all over loopback HTTPS.
class TestDevService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sessionAndProfile();
    void refusesWrongAccount();

private:
    QProcess m_service;
    QString m_baseUrl;
};

void TestDevService::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("TLS is not available");
    const QString data = QStringLiteral(TEST_DATA_DIR);
    QVERIFY(trustTestCa(data + "/ca.crt"));

    // A free port: taken from the system, released, then handed to the service.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();

    m_service.setProgram(QStringLiteral(TEST_BIN_DIR) + "/vexar-devservice");
    m_service.setArguments({ "--cert", data + "/server.crt", "--key", data + "/server.key",
                             "--port", QString::number(port), "--last-version", "1.3.0" });
    m_service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_service.start();
    QVERIFY(m_service.waitForStarted());
    QByteArray banner;
    while (!banner.contains("listening") && m_service.waitForReadyRead(5000))
        banner += m_service.readAllStandardOutput();
    QCOMPARE(m_service.state(), QProcess::Running);
    m_baseUrl = QStringLiteral("https://127.0.0.1:%1/dataX/").arg(port);
}

void TestDevService::cleanupTestCase()
{
    if (m_service.state() == QProcess::Running) {
        m_service.terminate();
        m_service.waitForFinished(3000);
    }
}

void TestDevService::sessionAndProfile()
{
    QSettings settings(QStringLiteral("Tesmo"), QStringLiteral("Vexar_Anonymizer_devtest"));
    NetHandler handler(&settings, { m_baseUrl });
    NetHandler::Intervals intervals;
    intervals.refreshTick = 20;
    intervals.refreshAfter = 300;
    intervals.refreshRetry = 100;
    handler.setIntervals(intervals);
    QSignalSpy content(&handler, &NetHandler::updateServerContent);
    QSignalSpy versions(&handler, &NetHandler::versionInfo);
    QSignalSpy posts(&handler, &NetHandler::postRequestFinish);
    QSignalSpy gets(&handler, &NetHandler::getRequestFinish);

    handler.login("demo", "demo");
    QVERIFY(content.wait(5000));
    QVERIFY(handler.isAuthorized());
    QCOMPARE(content.at(0).at(0).toJsonObject().value("name").toString(),
             QStringLiteral("Dana;;Demo"));
    QCOMPARE(versions.count(), 1);
    QCOMPARE(versions.at(0).at(0).toJsonObject(),
             QJsonObject({ { "last_version", "1.3.0" }, { "supported_version", "1.0.0" } }));

    const QJsonObject edited{ { "name", "Dana;;Doe" },
                              { "email", "dana@example.org" },
                              { "organization", "Clinic" } };
    handler.postRequest("/setUserConfig", {}, edited);
    QTRY_COMPARE(posts.count(), 1);
    QCOMPARE(posts.at(0).at(2).toJsonObject(), QJsonObject({ { "status", 0 } }));

    // The renewed access token is accepted for the next fetch, which shows the stored profile.
    const QString firstToken = handler.accessTokenHeader();
    QTRY_VERIFY_WITH_TIMEOUT(handler.accessTokenHeader() != firstToken, 5000);
    handler.getRequest("/userConfig", true);
    QTRY_COMPARE(content.count(), 2);
    QCOMPARE(content.at(1).at(0).toJsonObject(), edited);
    settings.clear();
}

void TestDevService::refusesWrongAccount()
{
    QSettings settings(QStringLiteral("Tesmo"), QStringLiteral("Vexar_Anonymizer_devtest"));
    NetHandler handler(&settings, { m_baseUrl });
    QSignalSpy statuses(&handler, &NetHandler::updateStatusConnection);
    handler.login("demo", "wrong");
    QTRY_COMPARE(statuses.count(), 2);
    QCOMPARE(statuses.at(1).at(0).toJsonObject(),
             QJsonObject({ { "status", "error" },
                           { "message", "Unknown account or wrong password" } }));
    QVERIFY(!handler.isAuthorized());
    settings.clear();
}

QTEST_GUILESS_MAIN(TestDevService)
#include "tst_devservice.moc"
