#include "net/nethandler.h"
#include "shared/jsonhelpers.h"
#include "shared/tlstestserver.h"

#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>

// The development service as the program meets it: a NetHandler is refused with a wrong
// password, logs in, fetches the profile, stores an edited one and renews its token, all over
// loopback HTTPS.
class TestDevService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sessionAndProfile();

private:
    QProcess m_service;
    QString m_baseUrl;
    QSettings m_settings{ QStringLiteral("Tesmo"), QStringLiteral("Vexar_Anonymizer_devtest") };
};

void TestDevService::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("TLS is not available");
    QVERIFY(trustTestCertificates());

    // A free port: taken from the system, released, then handed to the service.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();

    m_service.setProgram(QStringLiteral(TEST_BIN_DIR) + "/vexar-devservice");
    m_service.setArguments({ "--cert", testCertificate("server.crt"), "--key",
                             testCertificate("server.key"), "--port", QString::number(port),
                             "--last-version", "1.3.0" });
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
    m_settings.clear();
    if (m_service.state() == QProcess::Running) {
        m_service.terminate();
        m_service.waitForFinished(3000);
    }
}

void TestDevService::sessionAndProfile()
{
    NetHandler handler(&m_settings, { m_baseUrl });
    handler.setIntervals(fastIntervals());
    QDateTime now = QDateTime::currentDateTime();
    handler.setClock([&now] { return now; });
    QSignalSpy statuses(&handler, &NetHandler::updateStatusConnection);
    QSignalSpy content(&handler, &NetHandler::updateServerContent);
    QSignalSpy versions(&handler, &NetHandler::versionInfo);
    QSignalSpy posts(&handler, &NetHandler::postRequestFinish);

    handler.login("demo", "wrong");
    QTRY_COMPARE(statuses.count(), 2);
    QCOMPARE(statuses.at(1).at(0).toJsonObject(),
             connectionStatus("error", "Unknown account or wrong password"));
    QVERIFY(!handler.isAuthorized());

    handler.login("demo", "demo");
    QVERIFY(content.wait());
    QVERIFY(handler.isAuthorized());
    QCOMPARE(content.at(0).at(0).toJsonObject().value("name").toString(), "Dana;;Demo");
    QCOMPARE(jsonArguments(versions),
             QList<QJsonObject>(
                     { { { "last_version", "1.3.0" }, { "supported_version", "1.0.0" } } }));

    const QJsonObject edited{ { "name", "Dana;;Doe" },
                              { "email", "dana@example.org" },
                              { "organization", "Clinic" } };
    handler.postRequest("/setUserConfig", {}, edited);
    QTRY_COMPARE(posts.count(), 1);
    QCOMPARE(posts.at(0).at(2).toJsonObject(), QJsonObject({ { "status", 0 } }));

    // Once the token is old, the renewed one is accepted for the next fetch, which shows the
    // stored profile.
    const QString firstToken = handler.accessTokenHeader();
    now = now.addSecs(900);
    QTRY_VERIFY(handler.accessTokenHeader() != firstToken);
    handler.getRequest("/userConfig", true);
    QTRY_COMPARE(content.count(), 2);
    QCOMPARE(content.at(1).at(0).toJsonObject(), edited);
}

QTEST_GUILESS_MAIN(TestDevService)
#include "tst_devservice.moc"
