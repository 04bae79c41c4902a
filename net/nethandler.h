#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QSettings;
class QTimer;

// The client of the product's web service: the login session with its tokens and failover
// between the base URLs, GET and POST requests tagged with their path, the counts of requests
// in flight, and a connection-status object for every step.
//
// A reply is judged only by the members of the JSON object in its body; HTTP status codes and
// transport errors give an empty object. TLS certificate checks are always on, and no redirect
// to another origin is followed, so tokens and credentials reach only the base URL's host.
//
// Lives on the GUI thread, like its replies and timers.
class NetHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NetHandler)

public:
    // Every interval of the session, in milliseconds. The program uses the defaults; tests
    // shorten them so that no test waits for ten seconds or more.
    struct Intervals
    {
        int refreshTick = 1000; // period of the refresh check
        qint64 refreshAfter = 890000; // age of the access token that asks for a refresh
        qint64 refreshRetry = 10000; // least time between two refresh requests
        int failoverRetry = 10000; // pause before a login once every base URL has failed
        int getTimeout = 300000; // a GET without an answer is reported as timed out
        int replyWatchdog = 30000; // a login or POST without an answer is aborted
    };

    // The base URLs fixed at build time (VEXAR_SERVICE_URLS), split at ';'.
    static QStringList serviceBaseUrls();

    explicit NetHandler(QSettings *settings, QObject *parent = nullptr);
    // For tests and the development service: another list of base URLs, each ending in "/".
    NetHandler(QSettings *settings, const QStringList &baseUrls, QObject *parent = nullptr);

    void login(const QString &user, const QString &pass);
    void getRequest(const QString &path, bool useAccessToken);
    void postRequest(const QString &path, const QJsonObject &property, const QJsonObject &body);

    // Test-only: replaces the intervals; restarts the refresh check with its new period.
    void setIntervals(const Intervals &intervals);
    // Test-only: the clock that dates the access token and the refresh requests (the local
    // date-time by default), so that a test can age the token without waiting.
    void setClock(std::function<QDateTime()> clock);

    // Read-only views of the session for tests and diagnostics.
    bool isAuthorized() const { return authorized; }
    QString currentBaseUrl() const { return currentUrl; }
    QString accessTokenHeader() const { return accessToken; }
    QString refreshTokenHeader() const { return refreshToken; }
    int serviceAccessLevel() const { return accessLevel; }

signals:
    void updateStatusLoadData(int getPending, int postPending);
    void postRequestFinish(QString type, QJsonObject property, QJsonObject data);
    void getRequestFinish(QString type, QJsonObject data);
    void updateStatusConnection(QJsonObject status);
    void updateServerContent(QJsonObject profile);
    // A login reply with service status 0 that names the latest and the oldest supported
    // version of the program: {"last_version": …, "supported_version": …}.
    void versionInfo(QJsonObject versions);

private slots:
    void authorization();
    void finishPostRequestHandler();
    void finishGetRequestHandler(QNetworkReply *reply, QString type);
    void authorizationFinished();
    void postRequestTimeout();
    void getRequestTimeout();
    void authorizationTimeout();
    void updateRequest();
    void updateAcsessToken();

private:
    // What a watchdog does with the reply it guards when it fires first.
    enum class OnExpiry { Abort, LetRun };
    enum class TokenSet { Access, AccessAndRefresh };
    using ReplyHandler = void (NetHandler::*)(QNetworkReply *);

    QNetworkRequest makeRequest(const QString &path) const;
    void watchReply(QNetworkReply *reply, int interval, void (NetHandler::*onTimeout)(),
                    ReplyHandler onFinished);
    std::optional<QString> expireWatchdog(OnExpiry expiry);
    void handleLoginReply(QNetworkReply *reply);
    void handleGetReply(QNetworkReply *reply);
    void handlePostReply(QNetworkReply *reply);
    void storeTokens(const QJsonObject &reply, TokenSet tokens);
    void showLoginStatus(int serviceStatus, const QString &message);
    void followLogin(int serviceStatus, const QJsonObject &reply);
    void moveToNextBaseUrl();
    void failOver();
    void emitStatus(const char *state, const QString &message);
    void emitLoadData();
    void endRequest(int &pending, const char *state, const char *message);

    QString username;
    QString password;
    QSettings *settings = nullptr; // the bridge's store; not owned
    QString accessToken;
    QString refreshToken;
    int accessLevel = -1;
    QTimer *refreshTimer = nullptr;
    QDateTime lastAuthorization;
    QDateTime lastRefreshRequest;
    QStringList baseUrls;
    QString currentUrl;
    int urlIndex = 0;
    int postPending = 0;
    int getPending = 0;
    bool authorized = false;

    Intervals m_intervals;
    std::function<QDateTime()> m_clock = [] { return QDateTime::currentDateTime(); };
};
