#include "net/nethandler.h"
#include "tlstestserver.h"

#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

#include <memory>

namespace {
const QString dataDir = QStringLiteral(TEST_DATA_DIR);

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject status(const char *state, const QString &message)
{
    return QJsonObject{ { "status", QString::fromLatin1(state) }, { "message", message } };
}

QJsonObject parsed(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

// Intervals short enough for a test; the order between them is kept as the program has it.
NetHandler::Intervals fastIntervals()
{
    NetHandler::Intervals intervals;
    intervals.refreshTick = 20;
    intervals.refreshAfter = 600000; // out of the way unless a test wants refreshes
    intervals.refreshRetry = 100;
    intervals.failoverRetry = 400;
    intervals.getTimeout = 300000;
    intervals.replyWatchdog = 300000;
    return intervals;
}

const QJsonObject goodLogin{
    { "status", 0 }, { "access_token", "A1" }, { "refresh_token", "R1" }, { "access_level", 3 }
};
const QJsonObject profile{ { "name", "Ada;;Lovelace" },
                           { "email", "ada@example.org" },
                           { "organization", "Analytical" },
                           { "seats", 12 } };
} // namespace

class TestNetHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void loginRequestForm();
    void successfulLogin();
    void unreachableServiceFailsOver_data();
    void unreachableServiceFailsOver();
    void serviceStatuses_data();
    void serviceStatuses();
    void gateBeforeLogin();
    void countsForTwoGets();
    void getTimeoutAndLateReply();
    void postRequestAndProperty();
    void postWatchdog();
    void loginWatchdogGivesOneNewAttempt();
    void refreshTimingAndReplies();
    void noRefreshBeforeLogin();
    void redirectToAnotherOriginIsNotFollowed_data();
    void redirectToAnotherOriginIsNotFollowed();
    void untrustedCertificateGetsNoCredentials();

private:
    std::unique_ptr<TlsTestServer> makeServer(const QString &name = QStringLiteral("server"));
    std::unique_ptr<NetHandler> makeHandler(const QStringList &urls,
                                            NetHandler::Intervals intervals = fastIntervals());
    // Logs in against a server whose handler answers the login with goodLogin and
    // "/userConfig" with the profile, and waits for the profile.
    bool logIn(NetHandler &handler);

    std::unique_ptr<QSettings> m_settings;
};

void TestNetHandler::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("TLS is not available");
    QVERIFY(trustTestCa(dataDir + "/ca.crt"));
    m_settings = std::make_unique<QSettings>(QStringLiteral("Tesmo"),
                                             QStringLiteral("Vexar_Anonymizer_nettest"));
}

void TestNetHandler::init()
{
    m_settings->clear();
}

std::unique_ptr<TlsTestServer> TestNetHandler::makeServer(const QString &name)
{
    return makeTestServer(dataDir, name);
}

std::unique_ptr<NetHandler> TestNetHandler::makeHandler(const QStringList &urls,
                                                        NetHandler::Intervals intervals)
{
    auto handler = std::make_unique<NetHandler>(m_settings.get(), urls);
    handler->setIntervals(intervals);
    return handler;
}

// The usual answers of a working service.
static TestResponse workingService(const TestRequest &request)
{
    if (request.path.endsWith("/login"))
        return { 200, json(goodLogin), {}, 0 };
    if (request.path.endsWith("/userConfig"))
        return { 200, json(profile), {}, 0 };
    if (request.path.endsWith("/setUserConfig"))
        return { 200, R"({"status":0})", {}, 0 };
    return { 200, "{}", {}, 0 };
}

bool TestNetHandler::logIn(NetHandler &handler)
{
    QSignalSpy content(&handler, &NetHandler::updateServerContent);
    handler.login("user", "secret");
    return content.wait(5000) && handler.isAuthorized();
}

void TestNetHandler::loginRequestForm()
{
    auto server = makeServer();
    server->handler = workingService;
    auto handler = makeHandler({ server->baseUrl() });
    QSignalSpy spy(handler.get(), &NetHandler::updateStatusConnection);
    handler->login("dr.who", "tardis:42");
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toJsonObject(), status("wait", "authorization request"));
    QTRY_COMPARE(server->requests.size(), 2); // the login and the profile fetch

    const TestRequest login = server->requests.at(0);
    QCOMPARE(login.method, QByteArray("POST"));
    QCOMPARE(login.path, QByteArray("/dataX//login"));
    QCOMPARE(login.headers.value("authorization"),
             QByteArray("Basic Z3Vlc3Q6cG9ydGFsQ29kZTc3IQ=="));
    QCOMPARE(login.headers.value("content-type"), QByteArray("application/json"));
    const QJsonObject body = parsed(login.body);
    QCOMPARE(body.value("username").toString(), QStringLiteral("dr.who"));
    QCOMPARE(body.value("password").toString(), QStringLiteral("tardis:42"));
    QCOMPARE(body.value("os_name").toString(), QSysInfo::prettyProductName());
    QCOMPARE(body.value("product").toString(), QStringLiteral("anonymizer"));
    QCOMPARE(body.value("build_source").toString(), QStringLiteral("site"));
    QCOMPARE(body.value("version").toString(), QStringLiteral("1.0.1"));
    QCOMPARE(body.size(), 6);
    QCOMPARE(login.body, QJsonDocument(body).toJson(QJsonDocument::Indented));
}

void TestNetHandler::successfulLogin()
{
    auto server = makeServer();
    server->handler = workingService;
    auto handler = makeHandler({ server->baseUrl(), "https://unused.invalid/dataX/" });
    QSignalSpy statuses(handler.get(), &NetHandler::updateStatusConnection);
    QSignalSpy content(handler.get(), &NetHandler::updateServerContent);
    QSignalSpy finished(handler.get(), &NetHandler::getRequestFinish);
    QSignalSpy versions(handler.get(), &NetHandler::versionInfo);
    handler->login("user", "secret");
    QVERIFY(content.wait(5000));

    QVERIFY(handler->isAuthorized());
    QCOMPARE(handler->accessTokenHeader(), QStringLiteral("Bearer A1"));
    QCOMPARE(handler->refreshTokenHeader(), QStringLiteral("Bearer R1"));
    QCOMPARE(m_settings->value("refreshToken").toString(), QStringLiteral("Bearer R1"));
    QCOMPARE(handler->serviceAccessLevel(), 3);
    QCOMPARE(handler->failoverIndex(), 0);

    // The profile goes on whole, its extra member included.
    QCOMPARE(content.at(0).at(0).toJsonObject(), profile);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toString(), QStringLiteral("/userConfig"));
    QCOMPARE(finished.at(0).at(1).toJsonObject(), profile);

    const QList<QJsonObject> expected{ status("wait", "authorization request"),
                                       status("ok", "authorization ok"),
                                       status("wait", "get request"),
                                       status("ok", "get request ok") };
    QCOMPARE(statuses.count(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(statuses.at(i).at(0).toJsonObject(), expected.at(i));

    const QList<TestRequest> fetches = server->requestsTo("/dataX//userConfig");
    QCOMPARE(fetches.size(), 1);
    QCOMPARE(fetches.at(0).method, QByteArray("GET"));
    QCOMPARE(fetches.at(0).headers.value("authorization"), QByteArray("Bearer A1"));
    QVERIFY(fetches.at(0).body.isEmpty());
    QCOMPARE(versions.count(), 0); // the reply names no versions

    // A new handler reads the refresh token back from the store.
    NetHandler again(m_settings.get(), { server->baseUrl() });
    QCOMPARE(again.refreshTokenHeader(), QStringLiteral("Bearer R1"));
}

void TestNetHandler::unreachableServiceFailsOver_data()
{
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<QByteArray>("body");
    QTest::addRow("empty body") << 200 << QByteArray();
    QTest::addRow("not JSON") << 502 << QByteArray("<html><body>Bad gateway</body></html>");
    QTest::addRow("JSON array") << 200 << QByteArray("[1, 2]");
    QTest::addRow("object without status") << 200 << QByteArray(R"({"detail":"x"})");
}

void TestNetHandler::unreachableServiceFailsOver()
{
    QFETCH(int, httpStatus);
    QFETCH(QByteArray, body);
    auto first = makeServer();
    auto second = makeServer();
    const auto failing = [&](const TestRequest &) {
        return TestResponse{ httpStatus, body, {}, 0 };
    };
    first->handler = failing;
    second->handler = failing;
    auto handler = makeHandler({ first->baseUrl(), second->baseUrl() });
    QSignalSpy statuses(handler.get(), &NetHandler::updateStatusConnection);
    QElapsedTimer clock;
    clock.start();
    // When each login left and when each failure was reported, by the client's clock: the
    // pause between them is the failover's own, without the network's round trip.
    QList<qint64> attempts;
    QList<qint64> failures;
    connect(handler.get(), &NetHandler::updateStatusConnection, this,
            [&](const QJsonObject &object) {
                if (object == status("wait", "authorization request"))
                    attempts.append(clock.elapsed());
                else if (object.value("status") == QLatin1String("error"))
                    failures.append(clock.elapsed());
            });
    handler->login("user", "secret");

    // First base URL, the second at once, then the first again after the failover pause.
    QTRY_COMPARE_WITH_TIMEOUT(first->requests.size(), 2, 5000);
    QCOMPARE(second->requests.size(), 1);
    QCOMPARE(attempts.size(), 3);
    QVERIFY(failures.size() >= 2);
    QVERIFY2(attempts.at(1) - failures.at(0) < 300,
             qPrintable(QString::number(attempts.at(1) - failures.at(0))));
    QVERIFY2(attempts.at(2) - failures.at(1) >= 400,
             qPrintable(QString::number(attempts.at(2) - failures.at(1))));
    QVERIFY(!handler->isAuthorized());
    QCOMPARE(statuses.at(1).at(0).toJsonObject(), status("error", "Connection error"));
    QCOMPARE(statuses.at(3).at(0).toJsonObject(), status("error", "Connection error"));
    QCOMPARE(first->requests.at(1).path, QByteArray("/dataX//login"));
    // Nothing but logins: the session never opened.
    QVERIFY(first->requestsTo("/dataX//userConfig").isEmpty());
}

void TestNetHandler::serviceStatuses_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QJsonObject>("expected");
    QTest::addColumn<bool>("authorized");
    QTest::addColumn<int>("logins"); // logins the first server sees in the end
    QTest::addColumn<int>("secondLogins");
    QTest::addColumn<int>("urlIndex");

    QTest::addRow("status 1 without message")
            << QByteArray(R"({"status":1})") << status("wait", "Connection error") << false << 1
            << 0 << 0;
    QTest::addRow("status 2 with message")
            << QByteArray(R"({"status":2,"message":"account locked"})")
            << status("error", "account locked") << false << 1 << 0 << 0;
    QTest::addRow("status as the string 0")
            << QByteArray(R"({"status":"0","access_token":"A"})")
            << status("ok", "authorization ok") << true << 1 << 0 << 0;
    QTest::addRow("token without status")
            << QByteArray(R"({"access_token":"A","refresh_token":"R"})") << status("error", "Ok")
            << false << 1 << 1 << 1;
}

void TestNetHandler::serviceStatuses()
{
    QFETCH(QByteArray, reply);
    QFETCH(QJsonObject, expected);
    QFETCH(bool, authorized);
    QFETCH(int, logins);
    QFETCH(int, secondLogins);
    QFETCH(int, urlIndex);
    auto first = makeServer();
    auto second = makeServer();
    first->handler = [&](const TestRequest &request) {
        return request.path.endsWith("/login") ? TestResponse{ 200, reply, {}, 0 }
                                               : workingService(request);
    };
    second->handler = [](const TestRequest &) {
        return TestResponse{ 200, R"({"status":2})", {}, 0 };
    };
    auto handler = makeHandler({ first->baseUrl(), second->baseUrl() });
    QSignalSpy statuses(handler.get(), &NetHandler::updateStatusConnection);
    handler->login("user", "secret");
    QTRY_VERIFY_WITH_TIMEOUT(statuses.count() >= 2, 5000);
    QCOMPARE(statuses.at(1).at(0).toJsonObject(), expected);
    QCOMPARE(handler->isAuthorized(), authorized);
    QCOMPARE(handler->failoverIndex(), urlIndex);

    // Longer than the failover pause: no further login comes after a refusal.
    QTest::qWait(700);
    QCOMPARE(first->requestsTo("/dataX//login").size(), logins);
    QCOMPARE(second->requestsTo("/dataX//login").size(), secondLogins);
    QCOMPARE(handler->isAuthorized(), authorized);
}

void TestNetHandler::gateBeforeLogin()
{
    auto server = makeServer();
    server->handler = workingService;
    auto handler = makeHandler({ server->baseUrl() });
    QSignalSpy statuses(handler.get(), &NetHandler::updateStatusConnection);
    QSignalSpy counts(handler.get(), &NetHandler::updateStatusLoadData);
    handler->getRequest("/userConfig", true);
    handler->postRequest("/setUserConfig", {}, profile);
    QTest::qWait(200);
    QCOMPARE(statuses.count(), 0);
    QCOMPARE(counts.count(), 0);
    QCOMPARE(server->handshakes, 0);
}

void TestNetHandler::countsForTwoGets()
{
    auto server = makeServer();
    server->handler = workingService;
    auto handler = makeHandler({ server->baseUrl() });
    QVERIFY(logIn(*handler));
    QSignalSpy counts(handler.get(), &NetHandler::updateStatusLoadData);
    QSignalSpy finished(handler.get(), &NetHandler::getRequestFinish);
    handler->getRequest("/first", true);
    handler->getRequest("/second", true);
    QTRY_COMPARE(finished.count(), 2);
    const QList<QPair<int, int>> expected{ { 1, 0 }, { 2, 0 }, { 1, 0 }, { 0, 0 } };
    QCOMPARE(counts.count(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(counts.at(i).at(0).toInt(), expected.at(i).first);
        QCOMPARE(counts.at(i).at(1).toInt(), expected.at(i).second);
    }
}

void TestNetHandler::getTimeoutAndLateReply()
{
    auto server = makeServer();
    server->handler = [](const TestRequest &request) {
        TestResponse response = workingService(request);
        if (request.path.endsWith("/slow"))
            response = { 200, R"({"late":true})", {}, 400 };
        return response;
    };
    auto handler = makeHandler({ server->baseUrl() });
    QVERIFY(logIn(*handler));
    // Short only from here on: the profile fetch of the login may take longer than this on a
    // loaded machine or under a sanitizer.
    NetHandler::Intervals intervals = fastIntervals();
    intervals.getTimeout = 100;
    handler->setIntervals(intervals);

    QSignalSpy statuses(handler.get(), &NetHandler::updateStatusConnection);
    QSignalSpy counts(handler.get(), &NetHandler::updateStatusLoadData);
    QSignalSpy finished(handler.get(), &NetHandler::getRequestFinish);
    handler->getRequest("/slow", true);
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toString(), QStringLiteral("/slow"));
    QCOMPARE(finished.at(0).at(1).toJsonObject(), QJsonObject({ { "error", "timeout" } }));
    QCOMPARE(counts.count(), 2);
    QCOMPARE(counts.at(1).at(0).toInt(), 0);
    QCOMPARE(statuses.last().at(0).toJsonObject(), status("error", "get request timeout"));

    // The late answer is neither reported nor counted a second time.
    QTest::qWait(800);
    QCOMPARE(server->requestsTo("/dataX//slow").size(), 1);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(counts.count(), 2);
    QCOMPARE(statuses.last().at(0).toJsonObject(), status("error", "get request timeout"));

    // The counts are sound for the next request.
    handler->getRequest("/next", true);
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(counts.last().at(0).toInt(), 0);
}

void TestNetHandler::postRequestAndProperty()
{
    auto server = makeServer();
    server->handler = workingService;
    auto handler = makeHandler({ server->baseUrl() });
    QVERIFY(logIn(*handler));
    QSignalSpy statuses(handler.get(), &NetHandler::updateStatusConnection);
    QSignalSpy counts(handler.get(), &NetHandler::updateStatusLoadData);
    QSignalSpy finished(handler.get(), &NetHandler::postRequestFinish);
    const QJsonObject tag{ { "row", 7 } };
    handler->postRequest("/setUserConfig", tag, profile);
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toString(), QStringLiteral("/setUserConfig"));
    QCOMPARE(finished.at(0).at(1).toJsonObject(), tag);
    QCOMPARE(finished.at(0).at(2).toJsonObject(), QJsonObject({ { "status", 0 } }));
    QCOMPARE(counts.count(), 2);
    QCOMPARE(counts.at(0).at(1).toInt(), 1);
    QCOMPARE(counts.at(1).at(1).toInt(), 0);
    QCOMPARE(statuses.at(0).at(0).toJsonObject(), status("wait", "post request"));
    QCOMPARE(statuses.at(1).at(0).toJsonObject(), status("ok", "post request ok"));

    const TestRequest post = server->requestsTo("/dataX//setUserConfig").value(0);
    QCOMPARE(post.method, QByteArray("POST"));
    QCOMPARE(post.headers.value("authorization"), QByteArray("Bearer A1"));
    QCOMPARE(post.headers.value("content-type"), QByteArray("application/json"));
    QCOMPARE(post.body, QJsonDocument(profile).toJson(QJsonDocument::Indented));
}

void TestNetHandler::postWatchdog()
{
    auto server = makeServer();
    server->handler = [](const TestRequest &request) {
        TestResponse response = workingService(request);
        if (request.path.endsWith("/setUserConfig"))
            response.delay = -1;
        return response;
    };
    auto handler = makeHandler({ server->baseUrl() });
    QVERIFY(logIn(*handler));
    // Short only once logged in: the watchdog guards the login too.
    NetHandler::Intervals intervals = fastIntervals();
    intervals.replyWatchdog = 200;
    handler->setIntervals(intervals);
    QSignalSpy statuses(handler.get(), &NetHandler::updateStatusConnection);
    QSignalSpy counts(handler.get(), &NetHandler::updateStatusLoadData);
    QSignalSpy finished(handler.get(), &NetHandler::postRequestFinish);
    handler->postRequest("/setUserConfig", { { "row", 7 } }, profile);
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toString(), QStringLiteral("/setUserConfig"));
    QCOMPARE(finished.at(0).at(1).toJsonObject(), QJsonObject());
    QCOMPARE(finished.at(0).at(2).toJsonObject(), QJsonObject({ { "error", "timeout" } }));
    QCOMPARE(counts.last().at(1).toInt(), 0);
    QCOMPARE(statuses.last().at(0).toJsonObject(), status("error", "post request timeout"));
    QTest::qWait(300);
    QCOMPARE(finished.count(), 1); // the aborted reply reports nothing more
    QCOMPARE(counts.count(), 2);
}

void TestNetHandler::loginWatchdogGivesOneNewAttempt()
{
    auto first = makeServer();
    auto second = makeServer();
    first->handler = [](const TestRequest &) { return TestResponse{ 200, {}, {}, -1 }; };
    second->handler = workingService;
    NetHandler::Intervals intervals = fastIntervals();
    // Long enough for the second server to answer under load or a sanitizer.
    intervals.replyWatchdog = 2000;
    auto handler = makeHandler({ first->baseUrl(), second->baseUrl() }, intervals);
    QSignalSpy statuses(handler.get(), &NetHandler::updateStatusConnection);
    handler->login("user", "secret");
    QTRY_VERIFY_WITH_TIMEOUT(handler->isAuthorized(), 10000);
    QTest::qWait(1000);
    QCOMPARE(first->requestsTo("/dataX//login").size(), 1);
    QCOMPARE(second->requestsTo("/dataX//login").size(), 1);
    QCOMPARE(handler->currentBaseUrl(), second->baseUrl());
    int waits = 0;
    for (const QList<QVariant> &emission : statuses)
        waits += emission.at(0).toJsonObject() == status("wait", "authorization request");
    QCOMPARE(waits, 2);
}

void TestNetHandler::refreshTimingAndReplies()
{
    auto server = makeServer();
    int refreshes = 0;
    server->handler = [&](const TestRequest &request) {
        if (!request.path.endsWith("/token/refresh"))
            return workingService(request);
        // The first two refreshes fail, the third gives a token without an access level.
        ++refreshes;
        if (refreshes == 1)
            return TestResponse{ 200, R"({"error":"expired"})", {}, 0 };
        if (refreshes == 2)
            return TestResponse{ 500, "oops", {}, 0 };
        return TestResponse{ 200, R"({"access_token":"A2"})", {}, 0 };
    };
    NetHandler::Intervals intervals = fastIntervals();
    intervals.refreshAfter = 1500;
    // Longer than a refresh's round trip even under a sanitizer; a slower answer is rightly
    // followed by one more refresh, which the checks below allow.
    intervals.refreshRetry = 400;
    auto handler = makeHandler({ server->baseUrl() }, intervals);
    // When the client sent each GET and when the login was answered, by its own clock.
    QElapsedTimer clock;
    clock.start();
    qint64 loggedIn = -1;
    QList<qint64> gets;
    connect(handler.get(), &NetHandler::updateStatusConnection, this,
            [&](const QJsonObject &object) {
                if (object == status("ok", "authorization ok"))
                    loggedIn = clock.elapsed();
                else if (object == status("wait", "get request"))
                    gets.append(clock.elapsed());
            });
    QVERIFY(logIn(*handler));

    QTRY_VERIFY_WITH_TIMEOUT(handler->accessTokenHeader() == QLatin1String("Bearer A2"), 10000);
    const QList<TestRequest> sent = server->requestsTo("/dataX//token/refresh");
    QVERIFY(sent.size() >= 3);
    QVERIFY(gets.size() >= 4); // the profile fetch, then the refreshes
    // The client times the token by the wall clock, the test by its own: a few milliseconds
    // apart.
    QVERIFY2(gets.at(1) - loggedIn > 1480, qPrintable(QString::number(gets.at(1) - loggedIn)));
    // A failed refresh is retried after the short pause, not after the full interval.
    for (int i = 2; i < 4; ++i) {
        const qint64 gap = gets.at(i) - gets.at(i - 1);
        QVERIFY2(gap > 400 && gap < 1200, qPrintable(QString::number(gap)));
    }
    for (const TestRequest &request : sent) {
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.headers.value("authorization"), QByteArray("Bearer R1"));
    }
    QCOMPARE(handler->serviceAccessLevel(), 0);
    QCOMPARE(handler->refreshTokenHeader(), QStringLiteral("Bearer R1"));
    QVERIFY(handler->isAuthorized());

    // The fresh token holds off the next refresh for the full interval again.
    const int refreshesSent = gets.size();
    QTest::qWait(1000);
    QCOMPARE(gets.size(), refreshesSent);
    QCOMPARE(server->requestsTo("/dataX//login").size(), 1);
}

void TestNetHandler::noRefreshBeforeLogin()
{
    auto server = makeServer();
    server->handler = workingService;
    NetHandler::Intervals intervals = fastIntervals();
    intervals.refreshAfter = 0;
    intervals.refreshRetry = 0;
    auto handler = makeHandler({ server->baseUrl() }, intervals);
    QTest::qWait(300);
    QCOMPARE(server->handshakes, 0);
}

void TestNetHandler::redirectToAnotherOriginIsNotFollowed_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("host");
    QTest::addRow("login to another port") << QByteArray("/login") << "127.0.0.1";
    QTest::addRow("login to another host name") << QByteArray("/login") << "localhost";
    QTest::addRow("profile fetch to another port") << QByteArray("/userConfig") << "127.0.0.1";
}

void TestNetHandler::redirectToAnotherOriginIsNotFollowed()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, host);
    auto service = makeServer();
    auto elsewhere = makeServer();
    elsewhere->handler = workingService;
    // "localhost" names the same machine but another origin; the other port is served by
    // the second server.
    const QString target = host == QLatin1String("localhost") ? service->baseUrl(host)
                                                              : elsewhere->baseUrl(host);
    service->handler = [&](const TestRequest &request) {
        if (!request.path.endsWith(path))
            return workingService(request);
        const QByteArray location = target.toUtf8() + request.path.mid(7);
        return TestResponse{ 307, {}, { { "Location", location } }, 0 };
    };
    NetHandler::Intervals intervals = fastIntervals();
    intervals.failoverRetry = 60000;
    auto handler = makeHandler({ service->baseUrl() }, intervals);
    QSignalSpy statuses(handler.get(), &NetHandler::updateStatusConnection);
    QSignalSpy content(handler.get(), &NetHandler::updateServerContent);
    handler->login("user", "secret");
    QTRY_VERIFY_WITH_TIMEOUT(statuses.count() >= 2, 5000);
    if (path != "/login")
        QTRY_COMPARE_WITH_TIMEOUT(content.count(), 1, 5000);
    QTest::qWait(300);

    QCOMPARE(elsewhere->handshakes, 0);
    QCOMPARE(service->requestsTo("/dataX//" + path.mid(1)).size(), 1);
    if (path == "/login") {
        QCOMPARE(statuses.at(1).at(0).toJsonObject(), status("error", "Connection error"));
        QVERIFY(!handler->isAuthorized());
    } else {
        QCOMPARE(content.count(), 1);
        QCOMPARE(content.at(0).at(0).toJsonObject(), QJsonObject());
    }
}

void TestNetHandler::untrustedCertificateGetsNoCredentials()
{
    auto untrusted = makeServer(QStringLiteral("untrusted"));
    auto trusted = makeServer();
    untrusted->handler = workingService;
    trusted->handler = workingService;
    auto handler = makeHandler({ untrusted->baseUrl(), trusted->baseUrl() });
    QSignalSpy statuses(handler.get(), &NetHandler::updateStatusConnection);
    handler->login("user", "secret");
    QTRY_VERIFY_WITH_TIMEOUT(handler->isAuthorized(), 5000);
    QVERIFY(untrusted->handshakes >= 1);
    QCOMPARE(untrusted->requests.size(), 0);
    QCOMPARE(statuses.at(1).at(0).toJsonObject(), status("error", "Connection error"));
    QCOMPARE(trusted->requestsTo("/dataX//login").size(), 1);
    QCOMPARE(handler->currentBaseUrl(), trusted->baseUrl());
}

QTEST_GUILESS_MAIN(TestNetHandler)
#include "tst_nethandler.moc"
