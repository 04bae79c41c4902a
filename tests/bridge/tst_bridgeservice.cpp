#include "bridge/messagekeys.h"
#include "bridge/qmlhandler.h"
#include "appinfo.h"
#include "tlstestserver.h"

#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

#include <memory>

// The bridge and its server client together: the login with the installation's account, the
// forwarded status and profile, "settings:submit" and the version check.
namespace {
const QString dataDir = QStringLiteral(TEST_DATA_DIR);

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

const QJsonObject serviceProfile{ { "name", "Ada;;Lovelace" },
                                  { "email", "ada@example.org" },
                                  { "organization", "Analytical" } };

// The messages of one key, in order.
QList<QVariant> messages(const QSignalSpy &spy, const QString &key)
{
    QList<QVariant> found;
    for (const QList<QVariant> &emission : spy)
        if (emission.at(0).toString() == key)
            found.append(emission.at(1));
    return found;
}
} // namespace

class TestBridgeService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void loginUsesTheStoredAccount_data();
    void loginUsesTheStoredAccount();
    void settingsSubmitBeforeLogin_data();
    void settingsSubmitBeforeLogin();
    void settingsSubmitAfterLogin();
    void versionCheck_data();
    void versionCheck();

private:
    std::unique_ptr<TlsTestServer> m_server;
    QJsonObject m_loginReply;
    int m_loginDelay = 0;
};

void TestBridgeService::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("TLS is not available");
    QVERIFY(trustTestCa(dataDir + "/ca.crt"));
}

void TestBridgeService::init()
{
    QSettings(QStringLiteral("Tesmo"), QStringLiteral("Vexar_Anonymizer")).clear();
    m_loginReply
            = QJsonObject{ { "status", 0 }, { "access_token", "A1" }, { "refresh_token", "R1" } };
    m_loginDelay = 0;
    m_server = std::make_unique<TlsTestServer>(dataDir + "/server.crt", dataDir + "/server.key");
    QVERIFY(m_server->isListening());
    m_server->handler = [this](const TestRequest &request) {
        if (request.path.endsWith("/login"))
            return TestResponse{ 200, json(m_loginReply), {}, m_loginDelay };
        if (request.path.endsWith("/userConfig"))
            return TestResponse{ 200, json(serviceProfile), {}, 0 };
        // Answered late, so that the echo is seen to come first.
        return TestResponse{ 200, R"({"status":0})", {}, 200 };
    };
}

void TestBridgeService::loginUsesTheStoredAccount_data()
{
    QTest::addColumn<QVariant>("name");
    QTest::addColumn<QVariant>("password");
    QTest::addRow("stored") << QVariant("clinic-7") << QVariant("s3cret;;:x");
    QTest::addRow("absent") << QVariant() << QVariant();
}

void TestBridgeService::loginUsesTheStoredAccount()
{
    QFETCH(QVariant, name);
    QFETCH(QVariant, password);
    {
        QSettings store(QStringLiteral("Tesmo"), QStringLiteral("Vexar_Anonymizer"));
        if (name.isValid())
            store.setValue("accountName", name);
        if (password.isValid())
            store.setValue("accountPassword", password);
    }
    QmlHandler bridge(QStringList{ m_server->baseUrl() });
    QSignalSpy spy(&bridge, &QmlHandler::sendToQml);
    QVERIFY(spy.isValid());
    QTRY_COMPARE(messages(spy, MessageKey::updateServerContent).size(), 1);

    const QJsonObject login
            = QJsonDocument::fromJson(m_server->requestsTo("/dataX//login").value(0).body).object();
    QCOMPARE(login.value("username").toString(), name.toString());
    QCOMPARE(login.value("password").toString(), password.toString());

    // Status and profile reach the windows unchanged, under the same keys.
    QCOMPARE(messages(spy, MessageKey::updateServerContent).at(0).toJsonObject(), serviceProfile);
    const QList<QVariant> statuses = messages(spy, MessageKey::updateStatusConnection);
    QCOMPARE(statuses.size(), 3); // authorization ok, get request, get request ok
    QCOMPARE(statuses.at(0).toJsonObject(),
             QJsonObject({ { "status", "ok" }, { "message", "authorization ok" } }));
    QCOMPARE(QSettings(QStringLiteral("Tesmo"), QStringLiteral("Vexar_Anonymizer"))
                     .value("refreshToken")
                     .toString(),
             QStringLiteral("Bearer R1"));
}

void TestBridgeService::settingsSubmitBeforeLogin_data()
{
    QTest::addColumn<bool>("refused");
    QTest::addRow("login still in flight") << false;
    QTest::addRow("login refused") << true;
}

void TestBridgeService::settingsSubmitBeforeLogin()
{
    QFETCH(bool, refused);
    if (refused)
        m_loginReply = QJsonObject{ { "status", 2 }, { "message", "no such account" } };
    else
        m_loginDelay = -1;
    QmlHandler bridge(QStringList{ m_server->baseUrl() });
    QSignalSpy spy(&bridge, &QmlHandler::sendToQml);
    QTRY_VERIFY(refused ? spy.count() == 1 : m_server->requests.size() == 1);
    spy.clear();

    const QString submitted = R"({"email":"b@c.d","name":"Bo;;Ek","organization":"Lab"})";
    bridge.receiveFromQml(MessageKey::settingsSubmit, submitted);
    QCOMPARE(spy.count(), 1); // the echo, and no status object
    QCOMPARE(spy.at(0).at(0).toString(), MessageKey::updateServerContent);
    QCOMPARE(spy.at(0).at(1).toJsonObject(), QJsonDocument::fromJson(submitted.toUtf8()).object());
    QTest::qWait(200);
    QCOMPARE(m_server->requestsTo("/dataX//setUserConfig").size(), 0);
    QCOMPARE(spy.count(), 1);
}

void TestBridgeService::settingsSubmitAfterLogin()
{
    QmlHandler bridge(QStringList{ m_server->baseUrl() });
    QSignalSpy spy(&bridge, &QmlHandler::sendToQml);
    QTRY_COMPARE(messages(spy, MessageKey::updateServerContent).size(), 1);
    QTRY_COMPARE(messages(spy, MessageKey::updateStatusConnection).size(), 3);
    spy.clear();

    const QJsonObject edited{ { "email", "ada@lab.example" },
                              { "name", "Ada;;King" },
                              { "organization", "Lab" } };
    bridge.receiveFromQml(MessageKey::settingsSubmit,
                          QString::fromUtf8(QJsonDocument(edited).toJson(QJsonDocument::Compact)));
    // Before the service has even seen the POST: the post's status, then the echo.
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toString(), MessageKey::updateStatusConnection);
    QCOMPARE(spy.at(0).at(1).toJsonObject(),
             QJsonObject({ { "status", "wait" }, { "message", "post request" } }));
    QCOMPARE(spy.at(1).at(0).toString(), MessageKey::updateServerContent);
    QCOMPARE(spy.at(1).at(1).toJsonObject(), edited);

    QTRY_COMPARE(messages(spy, MessageKey::updateStatusConnection).size(), 2);
    const QList<TestRequest> posts = m_server->requestsTo("/dataX//setUserConfig");
    QCOMPARE(posts.size(), 1);
    QCOMPARE(posts.at(0).headers.value("authorization"), QByteArray("Bearer A1"));
    QCOMPARE(posts.at(0).body, QJsonDocument(edited).toJson(QJsonDocument::Indented));
    QCOMPARE(messages(spy, MessageKey::updateStatusConnection).at(1).toJsonObject(),
             QJsonObject({ { "status", "ok" }, { "message", "post request ok" } }));
    // The profile is not fetched again.
    QCOMPARE(m_server->requestsTo("/dataX//userConfig").size(), 1);
}

void TestBridgeService::versionCheck_data()
{
    QTest::addColumn<QJsonObject>("members");
    QTest::addColumn<bool>("sent");
    QTest::addRow("both versions")
            << QJsonObject{ { "last_version", "1.2.0" }, { "supported_version", "1.0.0" } } << true;
    QTest::addRow("none") << QJsonObject() << false;
    QTest::addRow("only the latest") << QJsonObject{ { "last_version", "1.2.0" } } << false;
    QTest::addRow("not texts") << QJsonObject{ { "last_version", 12 }, { "supported_version", 10 } }
                               << false;
}

void TestBridgeService::versionCheck()
{
    QFETCH(QJsonObject, members);
    QFETCH(bool, sent);
    for (auto it = members.begin(); it != members.end(); ++it)
        m_loginReply.insert(it.key(), it.value());
    QmlHandler bridge(QStringList{ m_server->baseUrl() });
    QSignalSpy spy(&bridge, &QmlHandler::sendToQml);
    QTRY_COMPARE(messages(spy, MessageKey::updateServerContent).size(), 1);
    const QList<QVariant> checks = messages(spy, MessageKey::checkVersion);
    QCOMPARE(checks.size(), sent ? 1 : 0);
    if (sent) {
        QCOMPARE(checks.at(0).toJsonObject(),
                 QJsonObject({ { "local_version", "1.0.1" },
                               { "download_url", VEXAR_DOWNLOAD_URL },
                               { "last_version", "1.2.0" },
                               { "supported_version", "1.0.0" } }));
    }
}

QTEST_GUILESS_MAIN(TestBridgeService)
#include "tst_bridgeservice.moc"
