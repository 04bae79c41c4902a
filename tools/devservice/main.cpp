// vexar-devservice: the development stand-in for the web service, on loopback only.
//
//   vexar-devservice --cert server.crt --key server.key [--port 8443] [--accounts file.json]
//
// Point the program at it by building with
//   -DVEXAR_SERVICE_URLS="https://127.0.0.1:8443/dataX/;https://localhost:8443/dataX/"
// and trust the CA that signed the certificate (tools/devservice/make-dev-cert.sh).

#include "devservice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <cstdio>

namespace {
QByteArray readFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return QByteArray();
    }
    return file.readAll();
}

int fail(const QString &message)
{
    std::fprintf(stderr, "vexar-devservice: %s\n", qPrintable(message));
    return 2;
}


void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
            QStringLiteral("Development stand-in for the Vexar web service, on 127.0.0.1."));
    parser.addHelpOption();
    parser.addOptions({
            { QStringLiteral("port"), QStringLiteral("TCP port."), QStringLiteral("port"),
              QStringLiteral("8443") },
            { QStringLiteral("cert"), QStringLiteral("Server certificate (PEM)."),
              QStringLiteral("file") },
            { QStringLiteral("key"), QStringLiteral("Private key of the certificate (PEM, RSA)."),
              QStringLiteral("file") },
            { QStringLiteral("accounts"),
              QStringLiteral("JSON file of accounts: {\"name\": {\"password\": …, \"profile\": "
                             "{…}}}. Without it: demo/demo and research/research."),
              QStringLiteral("file") },
            { QStringLiteral("last-version"), QStringLiteral("Latest version named at login."),
              QStringLiteral("version"), QStringLiteral("1.0.1") },
            { QStringLiteral("supported-version"),
              QStringLiteral("Oldest supported version named at login."),
              QStringLiteral("version"), QStringLiteral("1.0.0") },
            { QStringLiteral("token-lifetime"), QStringLiteral("Seconds an access token is valid."),
              QStringLiteral("seconds"), QStringLiteral("900") },
    });
}

// The service's accounts and versions from the options; an error text when they cannot be read.
QString readOptions(const QCommandLineParser &parser, DevService::Options &options)
{
    options.accounts = DevService::builtInAccounts();
    if (parser.isSet(QStringLiteral("accounts"))) {
        QString error;
        const QByteArray text = readFile(parser.value(QStringLiteral("accounts")), &error);
        if (!error.isEmpty())
            return error;
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
        if (!document.isObject())
            return QStringLiteral("%1 is not a JSON object: %2")
                    .arg(parser.value(QStringLiteral("accounts")), parseError.errorString());
        options.accounts = document.object();
    }
    options.lastVersion = parser.value(QStringLiteral("last-version"));
    options.supportedVersion = parser.value(QStringLiteral("supported-version"));
    options.tokenLifetime = parser.value(QStringLiteral("token-lifetime")).toInt();
    return {};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexar-devservice"));
    QCommandLineParser parser;
    addOptions(parser);
    parser.process(app);

    if (!QSslSocket::supportsSsl())
        return fail(QStringLiteral("TLS is not available"));
    if (!parser.isSet(QStringLiteral("cert")) || !parser.isSet(QStringLiteral("key")))
        return fail(QStringLiteral("--cert and --key are required"));
    bool portOk = false;
    const uint port = parser.value(QStringLiteral("port")).toUInt(&portOk);
    if (!portOk || port > 65535)
        return fail(QStringLiteral("bad port: %1").arg(parser.value(QStringLiteral("port"))));

    QString error;
    const QSslCertificate certificate(readFile(parser.value(QStringLiteral("cert")), &error));
    const QSslKey key(readFile(parser.value(QStringLiteral("key")), &error), QSsl::Rsa);
    if (!error.isEmpty())
        return fail(error);
    if (certificate.isNull() || key.isNull())
        return fail(QStringLiteral("the certificate or the key cannot be read as PEM"));
    DevService::Options options;
    error = readOptions(parser, options);
    if (!error.isEmpty())
        return fail(error);

    DevService service(options);
    service.sslSetup(certificate, key);
    const quint16 bound = service.listen(QHostAddress::LocalHost, static_cast<quint16>(port));
    if (bound == 0)
        return fail(QStringLiteral("cannot listen on 127.0.0.1:%1").arg(port));
    std::printf("vexar-devservice listening on https://127.0.0.1:%u/dataX/\n", unsigned(bound));
    std::fflush(stdout);
    return app.exec();
}
