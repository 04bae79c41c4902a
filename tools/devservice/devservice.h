#pragma once

#include <QAbstractHttpServer>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>

// A stand-in for the product's web service, for development on loopback: the login with the
// fixed service credential, token refresh, and the profile per account. Everything lives in
// memory; a restart forgets tokens and stored profiles.
class DevService : public QAbstractHttpServer
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DevService)

public:
    struct Options
    {
        QJsonObject accounts; // name -> {"password": text, "profile": object}
        QString lastVersion = QStringLiteral("1.0.1");
        QString supportedVersion = QStringLiteral("1.0.0");
        int tokenLifetime = 900; // seconds an access token is accepted
    };

    explicit DevService(const Options &options, QObject *parent = nullptr);

    // The accounts known without an accounts file.
    static QJsonObject builtInAccounts();

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Token
    {
        QString account;
        QDateTime expiry; // invalid: never expires (refresh tokens)
    };

    QJsonObject login(const QHttpServerRequest &request, int &httpStatus);
    QJsonObject refresh(const QHttpServerRequest &request, int &httpStatus);
    QJsonObject userConfig(const QHttpServerRequest &request, int &httpStatus);
    QJsonObject setUserConfig(const QHttpServerRequest &request, int &httpStatus);
    // The account of a valid bearer token in the request's Authorization header, or empty.
    QString bearerAccount(const QHttpServerRequest &request, const QHash<QString, Token> &tokens);
    QString issueAccessToken(const QString &account);

    Options m_options;
    QHash<QString, Token> m_accessTokens;
    QHash<QString, Token> m_refreshTokens;
};
