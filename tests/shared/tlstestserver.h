#pragma once

#include "net/nethandler.h"
#include "shared/jsonhelpers.h"

#include <QFile>
#include <QMap>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>

#include <functional>
#include <memory>

// A stand-in for the web service: an HTTPS/1.1 server on 127.0.0.1 with an ephemeral port and
// one of the tests' certificates (tests/net/data; make-fault-certs.sh there makes the faulty
// ones). It answers one request per connection and closes it.
struct TestRequest
{
    QByteArray method;
    QByteArray path;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

struct TestResponse
{
    enum Delivery { Answer, Hold, Verbatim };
    TestResponse(int code = 200, QByteArray content = {}, Delivery how = Answer)
        : status(code), body(std::move(content)), delivery(how)
    { }

    int status;
    QByteArray body;
    // Hold: answered only by releaseHeld(), if ever. Verbatim: the body alone is sent, as the
    // bytes of a broken service, and the connection closed after them.
    Delivery delivery;
};

// The profile of the working service, with a member beyond the three the client knows.
inline const QJsonObject serviceProfile{ { "name", "Ada;;Lovelace" },
                                         { "email", "ada@example.org" },
                                         { "organization", "Analytical" },
                                         { "seats", 12 } };

// A working service: the login opens a session (tokens A1 and R1, access level 3), the
// profile is serviceProfile, anything else gets {} (the profile's store {"status": 0}).
inline TestResponse workingService(const TestRequest &request)
{
    if (request.path.endsWith("/login"))
        return { 200, R"({"access_level":3,"access_token":"A1","refresh_token":"R1","status":0})" };
    if (request.path.endsWith("/userConfig"))
        return { 200, json(serviceProfile) };
    return { 200, request.path.endsWith("/setUserConfig") ? R"({"status":0})" : "{}" };
}

inline QString testCertificate(const QString &fileName)
{
    return QStringLiteral(VEXAR_TLS_TEST_DATA "/") + fileName;
}

class TlsTestServer : public QObject
{
public:
    // `certificate` names a ".crt" and ".key" pair of the tests' certificates.
    explicit TlsTestServer(const QString &certificate = QStringLiteral("server"))
    {
        QFile certificateFile(testCertificate(certificate + ".crt"));
        QFile keyFile(testCertificate(certificate + ".key"));
        if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
            qFatal("the test certificate %s cannot be read", qPrintable(certificate));
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(QSslCertificate(certificateFile.readAll()));
        configuration.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Rsa));
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone); // no client certificates
        m_server.setSslConfiguration(configuration);
        connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                accept(socket);
        });
        connect(&m_server, &QSslServer::startedEncryptionHandshake, this,
                [this](QSslSocket *) { ++handshakes; });
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            qFatal("the test server does not listen");
    }

    QString baseUrl(const QString &host = QStringLiteral("127.0.0.1")) const
    {
        return QStringLiteral("https://%1:%2/dataX/").arg(host).arg(m_server.serverPort());
    }

    // The requests that reached servicePath ("/login") below the base URL.
    QList<TestRequest> requestsTo(const QByteArray &servicePath) const
    {
        QList<TestRequest> found;
        for (const TestRequest &request : requests)
            if (request.path == "/dataX/" + servicePath)
                found.append(request);
        return found;
    }

    void releaseHeld()
    {
        for (const auto &[socket, response] : std::as_const(m_held))
            if (socket)
                answer(socket, response);
        m_held.clear();
    }

    std::function<TestResponse(const TestRequest &)> handler = workingService;
    QList<TestRequest> requests;
    int handshakes = 0;

private:
    void accept(QTcpSocket *socket)
    {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            TestRequest request;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.path = first.value(1);
            for (const QByteArray &line : lines.mid(1)) {
                const qsizetype colon = line.indexOf(':');
                if (colon > 0)
                    request.headers.insert(line.left(colon).trimmed().toLower(),
                                           line.mid(colon + 1).trimmed());
            }
            const int length = request.headers.value("content-length").toInt();
            if (buffer->size() < end + 4 + length)
                return;
            request.body = buffer->mid(end + 4, length);
            disconnect(socket, &QTcpSocket::readyRead, socket, nullptr);
            requests.append(request);
            const TestResponse response = handler(request);
            if (response.delivery == TestResponse::Hold)
                m_held.append({ socket, response });
            else
                answer(socket, response);
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

    static void answer(QTcpSocket *socket, const TestResponse &response)
    {
        if (response.delivery == TestResponse::Verbatim) {
            socket->write(response.body);
            socket->disconnectFromHost();
            return;
        }
        QByteArray text = "HTTP/1.1 " + QByteArray::number(response.status) + " Test\r\n";
        text += "Content-Type: application/json\r\nContent-Length: "
                + QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n\r\n";
        socket->write(text + response.body);
        socket->disconnectFromHost();
    }

    QSslServer m_server;
    QList<QPair<QPointer<QTcpSocket>, TestResponse>> m_held;
};

// Trusts the tests' CAs for every TLS connection of this process, beside the system's store;
// certificate checks stay on. The expired and wrong-host certificates have a CA of their own:
// trusting it leaves the expiry or the host name as the one fault of each.
inline bool trustTestCertificates()
{
    const QList<QSslCertificate> authorities = QSslCertificate::fromPath(testCertificate("ca.crt"))
            + QSslCertificate::fromPath(testCertificate("faultca.crt"));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return authorities.size() == 2;
}

// Intervals short enough for a test; the refresh and the watchdogs stay out of the way.
inline NetHandler::Intervals fastIntervals()
{
    NetHandler::Intervals intervals;
    intervals.refreshTick = 20;
    intervals.refreshAfter = 600000;
    intervals.failoverRetry = 100;
    intervals.getTimeout = intervals.replyWatchdog = 300000;
    return intervals;
}

inline std::unique_ptr<NetHandler> makeHandler(QSettings *settings, const QStringList &urls,
                                               const NetHandler::Intervals &intervals
                                               = fastIntervals())
{
    auto handler = std::make_unique<NetHandler>(settings, urls);
    handler->setIntervals(intervals);
    return handler;
}

inline QJsonObject connectionStatus(const char *state, const QString &message)
{
    return QJsonObject{ { "status", QString::fromLatin1(state) }, { "message", message } };
}

// Runs the event loop until a single-shot timer of `milliseconds`, started now, has fired.
// Timers fire in the order they fall due, so every timer that the code under test has running
// with a shorter interval has fired by then, however loaded the machine: what it would have
// done, it has done.
inline bool waitPast(int milliseconds)
{
    QTimer marker;
    marker.setSingleShot(true);
    QSignalSpy fired(&marker, &QTimer::timeout);
    marker.start(milliseconds);
    return fired.wait(milliseconds + 60000);
}
