#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QList>
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

// A small HTTPS/1.1 server on 127.0.0.1 with an ephemeral port, for one test at a time. Each
// test gives it one handler that turns a request into a response. It answers one request per
// connection and closes it.
struct TestRequest
{
    QByteArray method;
    QByteArray path;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    qint64 receivedAt = 0; // milliseconds since the server started
};

struct TestResponse
{
    int status = 200;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    int delay = 0; // milliseconds before the answer; negative: never answer
};

class TlsTestServer : public QObject
{
public:
    TlsTestServer(const QString &certificatePath, const QString &keyPath)
    {
        QFile certificateFile(certificatePath);
        QFile keyFile(keyPath);
        if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
            return;
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
        m_ready = m_server.listen(QHostAddress::LocalHost, 0);
        m_clock.start();
    }

    bool isListening() const { return m_ready; }
    quint16 port() const { return m_server.serverPort(); }
    QString baseUrl(const QString &host = QStringLiteral("127.0.0.1")) const
    {
        return QStringLiteral("https://%1:%2/dataX/").arg(host).arg(port());
    }
    qint64 elapsed() const { return m_clock.elapsed(); }

    QList<TestRequest> requestsTo(const QByteArray &path) const
    {
        QList<TestRequest> found;
        for (const TestRequest &request : requests)
            if (request.path == path)
                found.append(request);
        return found;
    }

    std::function<TestResponse(const TestRequest &)> handler = [](const TestRequest &) {
        return TestResponse{ 404, QByteArray(), {}, 0 };
    };
    // For a broken service: when it gives bytes, they are sent verbatim in place of the
    // handler's response and the connection is closed after them.
    std::function<QByteArray(const TestRequest &)> raw;
    QList<TestRequest> requests;
    int handshakes = 0;

private:
    void accept(QTcpSocket *socket)
    {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const int end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            TestRequest request;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.path = first.value(1);
            for (int i = 1; i < lines.size(); ++i) {
                const int colon = lines.at(i).indexOf(':');
                if (colon > 0)
                    request.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                                           lines.at(i).mid(colon + 1).trimmed());
            }
            const int length = request.headers.value("content-length").toInt();
            if (buffer->size() < end + 4 + length)
                return;
            request.body = buffer->mid(end + 4, length);
            request.receivedAt = m_clock.elapsed();
            buffer->clear();
            disconnect(socket, &QTcpSocket::readyRead, socket, nullptr);
            requests.append(request);
            if (raw) {
                const QByteArray bytes = raw(request);
                if (!bytes.isEmpty()) {
                    socket->write(bytes);
                    socket->disconnectFromHost();
                    return;
                }
            }
            const TestResponse response = handler(request);
            if (response.delay < 0)
                return; // held open: the client sees no answer
            QPointer<QTcpSocket> target(socket);
            QTimer::singleShot(response.delay, this, [target, response] {
                if (target)
                    answer(target, response);
            });
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

    static void answer(QTcpSocket *socket, const TestResponse &response)
    {
        QByteArray text = "HTTP/1.1 " + QByteArray::number(response.status) + " Test\r\n";
        bool typed = false;
        for (const auto &header : response.headers) {
            text += header.first + ": " + header.second + "\r\n";
            typed = typed || header.first.toLower() == "content-type";
        }
        if (!typed)
            text += "Content-Type: application/json\r\n";
        text += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        text += "Connection: close\r\n\r\n" + response.body;
        socket->write(text);
        socket->disconnectFromHost();
    }

    QSslServer m_server;
    QElapsedTimer m_clock;
    bool m_ready = false;
};

// Trusts the tests' own CA for every TLS connection of this process, beside the system's
// store. Certificate checks stay on.
inline bool trustTestCa(const QString &caPath)
{
    const QList<QSslCertificate> ca = QSslCertificate::fromPath(caPath);
    if (ca.isEmpty())
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(ca);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

// A listening server with the certificate and key named `name` (".crt", ".key") in `dataDir`.
inline std::unique_ptr<TlsTestServer> makeTestServer(const QString &dataDir, const QString &name)
{
    auto server = std::make_unique<TlsTestServer>(dataDir + "/" + name + ".crt",
                                                  dataDir + "/" + name + ".key");
    if (!server->isListening())
        qFatal("the test server does not listen");
    return server;
}
