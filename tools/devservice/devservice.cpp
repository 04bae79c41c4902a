#include "devservice.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QTcpSocket>
#include <QUuid>

namespace {
const QByteArray serviceCredential = "Basic " + QByteArray("guest:portalCode77!").toBase64();
const int accessLevel = 1;

QByteArray header(const QHttpServerRequest &request, const QByteArray &name)
{
    for (const auto &entry : request.headers())
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return entry.second;
    return QByteArray();
}

// The path below "/dataX/", with the client's doubled slash or without it.
QString route(const QHttpServerRequest &request)
{
    QString path = request.url().path();
    const QString base = QStringLiteral("/dataX/");
    if (!path.startsWith(base))
        return QString();
    path = path.mid(base.size());
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    return QLatin1Char('/') + path;
}

// The answer as logged: tokens are shown only by their first characters.
QByteArray forLog(QJsonObject answer)
{
    for (const QString &key : { QStringLiteral("access_token"), QStringLiteral("refresh_token") })
        if (answer.contains(key))
            answer.insert(key, answer.value(key).toString().left(8) + QStringLiteral("…"));
    return QJsonDocument(answer).toJson(QJsonDocument::Compact);
}

QJsonObject refusal(const QString &message)
{
    return QJsonObject{ { QStringLiteral("status"), 2 }, { QStringLiteral("message"), message } };
}
} // namespace

DevService::DevService(const Options &options, QObject *parent)
    : QAbstractHttpServer(parent), m_options(options)
{ }

QJsonObject DevService::builtInAccounts()
{
    const auto account = [](const char *password, const char *name, const char *email,
                            const char *organization) {
        return QJsonObject{
            { QStringLiteral("password"), QString::fromUtf8(password) },
            { QStringLiteral("profile"),
              QJsonObject{ { QStringLiteral("name"), QString::fromUtf8(name) },
                           { QStringLiteral("email"), QString::fromUtf8(email) },
                           { QStringLiteral("organization"), QString::fromUtf8(organization) } } }
        };
    };
    return QJsonObject{
        { QStringLiteral("demo"),
          account("demo", "Dana;;Demo", "dana.demo@example.org", "Demo Clinic") },
        { QStringLiteral("research"),
          account("research", "Rui;;Search", "rui@example.org", "Imaging Lab") },
    };
}

bool DevService::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const QString path = route(request);
    const bool isPost = request.method() == QHttpServerRequest::Method::Post;
    const bool isGet = request.method() == QHttpServerRequest::Method::Get;
    int httpStatus = 200;
    QJsonObject answer;
    if (isPost && path == QLatin1String("/login"))
        answer = login(request, httpStatus);
    else if (isGet && path == QLatin1String("/token/refresh"))
        answer = refresh(request, httpStatus);
    else if (isGet && path == QLatin1String("/userConfig"))
        answer = userConfig(request, httpStatus);
    else if (isPost && path == QLatin1String("/setUserConfig"))
        answer = setUserConfig(request, httpStatus);
    else
        return false;

    qInfo().noquote() << QDateTime::currentDateTime().toString(Qt::ISODateWithMs)
                      << (isPost ? "POST" : "GET") << request.url().path() << httpStatus
                      << forLog(answer);
    makeResponder(request, socket)
            .write(QJsonDocument(answer),
                   static_cast<QHttpServerResponder::StatusCode>(httpStatus));
    return true;
}

void DevService::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    qInfo().noquote() << QDateTime::currentDateTime().toString(Qt::ISODateWithMs)
                      << QString::fromLatin1(
                                 QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(
                                         int(request.method())))
                      << request.url().path() << 404;
    makeResponder(request, socket)
            .write(QJsonDocument(
                           QJsonObject{ { QStringLiteral("error"), QStringLiteral("not found") } }),
                   QHttpServerResponder::StatusCode::NotFound);
}

QJsonObject DevService::login(const QHttpServerRequest &request, int &httpStatus)
{
    if (header(request, "Authorization") != serviceCredential) {
        httpStatus = 401;
        return refusal(QStringLiteral("Service credential refused"));
    }
    const QJsonObject body = QJsonDocument::fromJson(request.body()).object();
    const QString name = body.value(QStringLiteral("username")).toString();
    const QJsonObject account = m_options.accounts.value(name).toObject();
    if (name.isEmpty() || account.isEmpty()
        || account.value(QStringLiteral("password")).toString()
                != body.value(QStringLiteral("password")).toString()) {
        httpStatus = 403;
        return refusal(QStringLiteral("Unknown account or wrong password"));
    }

    const QString refreshToken = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_refreshTokens.insert(refreshToken, Token{ name, QDateTime() });
    return QJsonObject{
        { QStringLiteral("status"), 0 },
        { QStringLiteral("access_token"), issueAccessToken(name) },
        { QStringLiteral("refresh_token"), refreshToken },
        { QStringLiteral("access_level"), accessLevel },
        { QStringLiteral("expires_in"), m_options.tokenLifetime },
        { QStringLiteral("last_version"), m_options.lastVersion },
        { QStringLiteral("supported_version"), m_options.supportedVersion },
    };
}

QJsonObject DevService::refresh(const QHttpServerRequest &request, int &httpStatus)
{
    const QString account = bearerAccount(request, m_refreshTokens);
    if (account.isEmpty()) {
        httpStatus = 401;
        return QJsonObject{ { QStringLiteral("error"), QStringLiteral("invalid refresh token") } };
    }
    return QJsonObject{ { QStringLiteral("access_token"), issueAccessToken(account) },
                        { QStringLiteral("access_level"), accessLevel },
                        { QStringLiteral("expires_in"), m_options.tokenLifetime } };
}

QJsonObject DevService::userConfig(const QHttpServerRequest &request, int &httpStatus)
{
    const QString account = bearerAccount(request, m_accessTokens);
    if (account.isEmpty()) {
        httpStatus = 401;
        return QJsonObject{ { QStringLiteral("error"), QStringLiteral("invalid access token") } };
    }
    return m_options.accounts.value(account).toObject().value(QStringLiteral("profile")).toObject();
}

QJsonObject DevService::setUserConfig(const QHttpServerRequest &request, int &httpStatus)
{
    const QString account = bearerAccount(request, m_accessTokens);
    if (account.isEmpty()) {
        httpStatus = 401;
        return QJsonObject{ { QStringLiteral("error"), QStringLiteral("invalid access token") } };
    }
    const QJsonDocument document = QJsonDocument::fromJson(request.body());
    if (!document.isObject()) {
        httpStatus = 400;
        return QJsonObject{ { QStringLiteral("error"),
                              QStringLiteral("body is not a JSON object") } };
    }
    QJsonObject entry = m_options.accounts.value(account).toObject();
    entry.insert(QStringLiteral("profile"), document.object());
    m_options.accounts.insert(account, entry);
    return QJsonObject{ { QStringLiteral("status"), 0 } };
}

QString DevService::bearerAccount(const QHttpServerRequest &request,
                                  const QHash<QString, Token> &tokens)
{
    const QByteArray value = header(request, "Authorization");
    if (!value.startsWith("Bearer "))
        return QString();
    const auto found = tokens.constFind(QString::fromUtf8(value.mid(7)));
    if (found == tokens.constEnd())
        return QString();
    if (found->expiry.isValid() && found->expiry < QDateTime::currentDateTimeUtc())
        return QString();
    return found->account;
}

QString DevService::issueAccessToken(const QString &account)
{
    const QString token = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_accessTokens.insert(
            token,
            Token{ account, QDateTime::currentDateTimeUtc().addSecs(m_options.tokenLifetime) });
    return token;
}
