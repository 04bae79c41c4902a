#include "appinfo.h"
#include "bridge/messagekeys.h"
#include "bridge/qmlhandler.h"
#include "shared/jsonhelpers.h"
#include "shared/tlstestserver.h"

#include <QSettings>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

// The bridge and its server client together: the login with the installation's account, the
// forwarded status and profile, "settings:submit" and the version check.
namespace {
// The values of the messages of one key, in order.
QList<QVariant> messages(const QSignalSpy &spy, const QString &key)
{
    QList<QVariant> found;
    for (const QList<QVariant> &emission : spy)
        if (emission.at(0).toString() == key)
            found.append(emission.at(1));
    return found;
}

QSettings coreStore()
{
    return QSettings(QStringLiteral("Tesmo"), QStringLiteral("Vexar_Anonymizer"));
}
} // namespace

class TestBridgeService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void loginThroughTheBridge_data();
    void loginThroughTheBridge();
    void settingsSubmission_data();
    void settingsSubmission();
};

void TestBridgeService::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("TLS is not available");
    QVERIFY(trustTestCertificates());
}

void TestBridgeService::init()
{
    coreStore().clear();
}

void TestBridgeService::loginThroughTheBridge_data()
{
    QTest::addColumn<QVariant>("name");
    QTest::addColumn<QVariant>("password");
    QTest::addColumn<QJsonObject>("versions"); // added to the login reply
    QTest::addColumn<bool>("checked"); // "checkVersion" is sent

    const QVariant name("clinic-7");
    const QVariant password("s3cret;;:x");
    QTest::addRow("stored account, both versions")
            << name << password
            << QJsonObject{ { "last_version", "1.2.0" }, { "supported_version", "1.0.0" } } << true;
    QTest::addRow("no account, no versions") << QVariant() << QVariant() << QJsonObject() << false;
    QTest::addRow("only the latest version")
            << name << password << QJsonObject{ { "last_version", "1.2.0" } } << false;
    QTest::addRow("versions that are not texts")
            << name << password
            << QJsonObject{ { "last_version", 12 }, { "supported_version", 10 } } << false;
}

void TestBridgeService::loginThroughTheBridge()
{
    QFETCH(QVariant, name);
    QFETCH(QVariant, password);
    QFETCH(QJsonObject, versions);
    QFETCH(bool, checked);
    if (name.isValid()) {
        coreStore().setValue("accountName", name);
        coreStore().setValue("accountPassword", password);
    }
    TlsTestServer server;
    server.handler = [&](const TestRequest &request) {
        if (!request.path.endsWith("/login"))
            return workingService(request);
        QJsonObject reply{ { "status", 0 }, { "access_token", "A1" }, { "refresh_token", "R1" } };
        for (auto it = versions.begin(); it != versions.end(); ++it)
            reply.insert(it.key(), it.value());
        return TestResponse{ 200, json(reply) };
    };
    QmlHandler bridge(QStringList{ server.baseUrl() });
    QSignalSpy spy(&bridge, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    QTRY_COMPARE(messages(spy, MessageKey::updateServerContent).size(), 1);

    const QJsonObject login
            = QJsonDocument::fromJson(server.requestsTo("/login").value(0).body).object();
    QCOMPARE(login.value("username").toString(), name.toString());
    QCOMPARE(login.value("password").toString(), password.toString());
    QCOMPARE(coreStore().value("refreshToken").toString(), "Bearer R1");

    // Status and profile reach the windows unchanged, under the same keys.
    QCOMPARE(messages(spy, MessageKey::updateServerContent).at(0).toJsonObject(), serviceProfile);
    const QList<QVariant> statuses = messages(spy, MessageKey::updateStatusConnection);
    QCOMPARE(statuses.size(), 3); // authorization ok, get request, get request ok
    QCOMPARE(statuses.at(0).toJsonObject(), connectionStatus("ok", "authorization ok"));
    const QList<QVariant> checks = messages(spy, MessageKey::checkVersion);
    QCOMPARE(checks.size(), checked ? 1 : 0);
    if (checked)
        QCOMPARE(checks.at(0).toJsonObject(),
                 QJsonObject({ { "local_version", "1.0.1" },
                               { "download_url", VEXAR_DOWNLOAD_URL },
                               { "last_version", "1.2.0" },
                               { "supported_version", "1.0.0" } }));
}

void TestBridgeService::settingsSubmission_data()
{
    QTest::addColumn<QByteArray>("loginReply"); // when refused; empty: never answered
    QTest::addColumn<int>("statusesBefore"); // shown once the login is settled
    QTest::addColumn<bool>("posted");
    QTest::addRow("login still in flight") << QByteArray() << 0 << false;
    QTest::addRow("login refused")
            << QByteArray(R"({"status":2,"message":"no such account"})") << 1 << false;
    QTest::addRow("logged in") << QByteArray() << 3 << true;
}

// The submitted profile is shown at once, before the service has seen it, and posted only
// within a session.
void TestBridgeService::settingsSubmission()
{
    QFETCH(QByteArray, loginReply);
    QFETCH(int, statusesBefore);
    QFETCH(bool, posted);
    TlsTestServer server;
    server.handler = [&](const TestRequest &request) {
        if (!request.path.endsWith("/login") || posted)
            return workingService(request);
        return TestResponse{ 200, loginReply,
                             loginReply.isEmpty() ? TestResponse::Hold : TestResponse::Answer };
    };
    QmlHandler bridge(QStringList{ server.baseUrl() });
    QSignalSpy spy(&bridge, &QmlHandler::sendToQml);
    QTRY_VERIFY(!server.requests.isEmpty());
    QTRY_COMPARE(messages(spy, MessageKey::updateStatusConnection).size(), statusesBefore);
    spy.clear();

    const QJsonObject edited{ { "email", "ada@lab.example" },
                              { "name", "Ada;;King" },
                              { "organization", "Lab" } };
    bridge.receiveFromQml(MessageKey::settingsSubmit, QString::fromUtf8(json(edited)));
    QCOMPARE(spy.count(), posted ? 2 : 1);
    if (posted) {
        QCOMPARE(spy.at(0).at(0).toString(), MessageKey::updateStatusConnection);
        QCOMPARE(spy.at(0).at(1).toJsonObject(), connectionStatus("wait", "post request"));
    }
    QCOMPARE(spy.last().at(0).toString(), MessageKey::updateServerContent);
    QCOMPARE(spy.last().at(1).toJsonObject(), edited);
    if (!posted)
        return;

    QTRY_COMPARE(messages(spy, MessageKey::updateStatusConnection).size(), 2); // answered
    const QList<TestRequest> posts = server.requestsTo("/setUserConfig");
    QCOMPARE(posts.size(), 1);
    QCOMPARE(posts.at(0).headers.value("authorization"), "Bearer A1");
    QCOMPARE(posts.at(0).body, QJsonDocument(edited).toJson(QJsonDocument::Indented));
    QCOMPARE(server.requestsTo("/userConfig").size(), 1); // the profile is not fetched again
}

QTEST_GUILESS_MAIN(TestBridgeService)
#include "tst_bridgeservice.moc"
