#include "net/nethandler.h"

#include "appinfo.h"
#include "net/replayqtimer.h"

#include <QDebug>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>

namespace {
const QString refreshTokenKey = QStringLiteral("refreshToken");
const QString loginPath = QStringLiteral("/login");
const QString refreshPath = QStringLiteral("/token/refresh");
const QString userConfigPath = QStringLiteral("/userConfig");
const QString accessTokenMember = QStringLiteral("access_token");
const QString bearer = QStringLiteral("Bearer ");
// Every request's reply (and its watchdog) carries the path it was sent to under this name.
const char typeProperty[] = "type";
// The service's fixed credential for the login request; the same for every installation.
const char serviceCredential[] = "guest:portalCode77!";

// Every connection status the client shows, in one place. A login that the service does not
// accept shows the service's own message (loginMessage) instead of a fixed one.
struct StatusText
{
    const char *state;
    const char *message;
};
const char waitState[] = "wait";
const char errorState[] = "error";
constexpr StatusText loginSent{ waitState, "authorization request" };
constexpr StatusText loginOk{ "ok", "authorization ok" };
constexpr StatusText getSent{ waitState, "get request" };
constexpr StatusText getOk{ "ok", "get request ok" };
constexpr StatusText getTimedOut{ errorState, "get request timeout" };
constexpr StatusText postSent{ waitState, "post request" };
constexpr StatusText postOk{ "ok", "post request ok" };
constexpr StatusText postTimedOut{ errorState, "post request timeout" };
const char connectionError[] = "Connection error";

// A body that is empty, not JSON or not an object gives an empty object.
QJsonObject parseObject(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

QJsonObject timeoutObject()
{
    return QJsonObject{ { QStringLiteral("error"), QStringLiteral("timeout") } };
}

bool carriesAccessToken(const QJsonObject &reply)
{
    const QJsonValue token = reply.value(accessTokenMember);
    return !token.isUndefined() && !token.isNull();
}

// The login's status text when the service does not accept it.
QString loginMessage(const QJsonObject &reply)
{
    if (carriesAccessToken(reply))
        return QStringLiteral("Ok");
    if (reply.contains(QStringLiteral("message")))
        return reply.value(QStringLiteral("message")).toString();
    return QString::fromLatin1(connectionError);
}

// The login's service status: -1 when the reply names none (the service is unreachable); a
// status that is present but not a whole number reads as 0.
int serviceStatusOf(const QJsonObject &reply)
{
    return reply.contains(QStringLiteral("status")) ? reply.value(QStringLiteral("status")).toInt()
                                                    : -1;
}
} // namespace

QStringList NetHandler::serviceBaseUrls()
{
    return QString::fromUtf8(VEXAR_SERVICE_URLS).split(QLatin1Char(';'), Qt::KeepEmptyParts);
}

NetHandler::NetHandler(QSettings *settingsStore, QObject *parent)
    : NetHandler(settingsStore, serviceBaseUrls(), parent)
{ }

NetHandler::NetHandler(QSettings *settingsStore, const QStringList &urls, QObject *parent)
    : QObject(parent), settings(settingsStore), baseUrls(urls)
{
    if (settings)
        refreshToken = settings->value(refreshTokenKey).toString();
    if (baseUrls.isEmpty())
        baseUrls.append(QString());
    currentUrl = baseUrls.first();

    refreshTimer = new QTimer(this);
    refreshTimer->setSingleShot(false);
    connect(refreshTimer, &QTimer::timeout, this, &NetHandler::updateAcsessToken);
    refreshTimer->start(m_intervals.refreshTick);

    lastRefreshRequest = m_clock();
}

void NetHandler::setIntervals(const Intervals &intervals)
{
    m_intervals = intervals;
    refreshTimer->start(m_intervals.refreshTick);
}

void NetHandler::setClock(std::function<QDateTime()> clock)
{
    m_clock = std::move(clock);
}

QNetworkRequest NetHandler::makeRequest(const QString &path) const
{
    QNetworkRequest request(QUrl(currentUrl + path, QUrl::TolerantMode));
    // Tokens and credentials go only to the base URL's own scheme, host and port.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    return request;
}

void NetHandler::emitStatus(const char *state, const QString &message)
{
    emit updateStatusConnection(QJsonObject{ { QStringLiteral("status"), QLatin1String(state) },
                                             { QStringLiteral("message"), message } });
}

void NetHandler::emitLoadData()
{
    emit updateStatusLoadData(getPending, postPending);
}

// A request has been reported: one less in flight, and the status of how it ended.
void NetHandler::endRequest(int &pending, const char *state, const char *message)
{
    --pending;
    emitLoadData();
    emitStatus(state, QString::fromLatin1(message));
}

// ---- Watchdogs ----------------------------------------------------------------------------

// Every request has its own manager (the reply's parent) and a watchdog that bounds a reply
// that never ends. Whichever comes first, the reply or the watchdog, disarms the other; the
// manager, and the reply with it, goes once the reply is handled.
void NetHandler::watchReply(QNetworkReply *reply, int interval, void (NetHandler::*onTimeout)(),
                            ReplyHandler onFinished)
{
    auto *watchdog = new ReplayQTimer(this);
    watchdog->reply = reply;
    watchdog->setProperty(typeProperty, reply->property(typeProperty));
    watchdog->setSingleShot(true);
    connect(watchdog, &QTimer::timeout, this, onTimeout);
    connect(reply, &QNetworkReply::finished, this, [this, reply, watchdog, onFinished] {
        watchdog->stop();
        watchdog->deleteLater();
        QNetworkAccessManager *manager = reply->manager();
        (this->*onFinished)(reply);
        manager->deleteLater();
    });
    watchdog->start(interval);
}

// Called from a watchdog's timeout, the watchdog being the sender. Detaches its reply from
// this handler first, so that the reply's end (an abort finishes it at once) is neither
// handled nor counted: a timed-out request is reported exactly once, by the caller. An
// aborted reply goes with its manager now; one left running takes its manager along when it
// ends. Gives the request's path, or nothing when the sender is no watchdog.
std::optional<QString> NetHandler::expireWatchdog(OnExpiry expiry)
{
    auto *watchdog = dynamic_cast<ReplayQTimer *>(sender());
    if (!watchdog)
        return std::nullopt;
    if (QNetworkReply *reply = watchdog->reply) {
        disconnect(reply, nullptr, this, nullptr);
        QNetworkAccessManager *manager = reply->manager();
        if (expiry == OnExpiry::Abort) {
            reply->abort();
            manager->deleteLater();
        } else {
            connect(reply, &QNetworkReply::finished, manager, &QObject::deleteLater);
        }
        watchdog->reply = nullptr;
    }
    watchdog->stop();
    watchdog->deleteLater();
    return watchdog->property(typeProperty).toString();
}

// ---- Session ------------------------------------------------------------------------------

void NetHandler::login(const QString &user, const QString &pass)
{
    username = user;
    password = pass;
    emitStatus(loginSent.state, loginSent.message);

    QNetworkRequest request = makeRequest(loginPath);
    request.setRawHeader("Authorization",
                         "Basic "
                                 + QString::fromLatin1(serviceCredential).toLocal8Bit().toBase64());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QJsonObject body{
        { QStringLiteral("username"), username },
        { QStringLiteral("password"), password },
        { QStringLiteral("os_name"), QSysInfo::prettyProductName() },
        { QStringLiteral("product"), QStringLiteral("anonymizer") },
        { QStringLiteral("build_source"), QStringLiteral("site") },
        { QStringLiteral("version"), QString::fromLatin1(AppInfo::applicationVersion) },
    };

    auto *manager = new QNetworkAccessManager(this);
    QNetworkReply *reply
            = manager->post(request, QJsonDocument(body).toJson(QJsonDocument::Indented));
    reply->setProperty(typeProperty, loginPath);
    watchReply(reply, m_intervals.replyWatchdog, &NetHandler::authorizationTimeout,
               &NetHandler::handleLoginReply);
}

void NetHandler::authorization()
{
    if (!username.isEmpty())
        login(username, password);
}

void NetHandler::authorizationFinished()
{
    handleLoginReply(qobject_cast<QNetworkReply *>(sender()));
}

void NetHandler::handleLoginReply(QNetworkReply *reply)
{
    if (!reply)
        return;
    const QJsonObject object = parseObject(reply->readAll());
    // Every login reply replaces both tokens, also one that carries none.
    storeTokens(object, TokenSet::AccessAndRefresh);
    if (carriesAccessToken(object))
        lastAuthorization = m_clock();

    const int serviceStatus = serviceStatusOf(object);
    authorized = serviceStatus == 0;
    showLoginStatus(serviceStatus, loginMessage(object));
    followLogin(serviceStatus, object);
}

void NetHandler::storeTokens(const QJsonObject &reply, TokenSet tokens)
{
    accessToken = bearer + reply.value(accessTokenMember).toString();
    accessLevel = reply.value(QStringLiteral("access_level")).toInt();
    if (tokens == TokenSet::AccessAndRefresh) {
        refreshToken = bearer + reply.value(QStringLiteral("refresh_token")).toString();
        if (settings)
            settings->setValue(refreshTokenKey, refreshToken);
    }
}

void NetHandler::showLoginStatus(int serviceStatus, const QString &message)
{
    if (serviceStatus == 0)
        emitStatus(loginOk.state, loginOk.message);
    else if (serviceStatus == 1)
        emitStatus(waitState, message);
    else
        emitStatus(errorState, message);
}

// Status 0 opens the session and fetches the profile; 1 and the service's other statuses
// close it; -1 (no status at all) means the service was not reached: the next base URL.
void NetHandler::followLogin(int serviceStatus, const QJsonObject &reply)
{
    if (serviceStatus == 0) {
        urlIndex = 0;
        const QJsonValue last = reply.value(QStringLiteral("last_version"));
        const QJsonValue supported = reply.value(QStringLiteral("supported_version"));
        if (last.isString() && supported.isString())
            emit versionInfo(QJsonObject{ { QStringLiteral("last_version"), last },
                                          { QStringLiteral("supported_version"), supported } });
        getRequest(userConfigPath, true);
    } else if (serviceStatus == 1) {
        urlIndex = 0;
    } else if (serviceStatus == -1) {
        failOver();
    }
}

void NetHandler::moveToNextBaseUrl()
{
    ++urlIndex;
    currentUrl = baseUrls.at(urlIndex % baseUrls.size());
}

// Schedules one new login at the next base URL: at once while some base URL has not been
// tried yet, after the failover pause once all have failed. Never from inside the reply's
// handling: the new attempt starts from the event loop.
void NetHandler::failOver()
{
    moveToNextBaseUrl();
    const int delay = urlIndex < baseUrls.size() ? 0 : m_intervals.failoverRetry;
    QTimer::singleShot(delay, this, &NetHandler::authorization);
}

// The login watchdog has waited its interval already, so the next base URL is tried at once.
void NetHandler::authorizationTimeout()
{
    if (!expireWatchdog(OnExpiry::Abort))
        return;
    if (!authorized) {
        // A service that never answers is as unreachable as one that answers nonsense: the
        // status says so before the next base URL is tried, or it would stay "wait" forever.
        emitStatus(errorState, QString::fromLatin1(connectionError));
        moveToNextBaseUrl();
        authorization();
    }
}

void NetHandler::updateAcsessToken()
{
    const QDateTime now = m_clock();
    const qint64 sinceToken = lastAuthorization.isValid() ? lastAuthorization.msecsTo(now) : 0;
    const qint64 sinceRequest = lastRefreshRequest.msecsTo(now);
    if (sinceToken > m_intervals.refreshAfter && sinceRequest > m_intervals.refreshRetry) {
        getRequest(refreshPath, false);
        lastRefreshRequest = now;
    }
}

// ---- Requests -----------------------------------------------------------------------------

void NetHandler::getRequest(const QString &path, bool useAccessToken)
{
    if (!authorized)
        return;
    emitStatus(getSent.state, getSent.message);

    QNetworkRequest request = makeRequest(path);
    request.setRawHeader("Authorization", (useAccessToken ? accessToken : refreshToken).toUtf8());
    auto *manager = new QNetworkAccessManager(this);
    QNetworkReply *reply = manager->get(request);
    reply->setProperty(typeProperty, path);
    watchReply(reply, m_intervals.getTimeout, &NetHandler::getRequestTimeout,
               &NetHandler::handleGetReply);

    ++getPending;
    emitLoadData();
}

void NetHandler::handleGetReply(QNetworkReply *reply)
{
    finishGetRequestHandler(reply, reply->property(typeProperty).toString());
}

void NetHandler::finishGetRequestHandler(QNetworkReply *reply, QString type)
{
    const QJsonObject object = parseObject(reply->readAll());

    if (type == refreshPath && object.contains(accessTokenMember)) {
        // A refresh never replaces the refresh token.
        storeTokens(object, TokenSet::Access);
        lastAuthorization = m_clock();
    }
    if (type == userConfigPath)
        emit updateServerContent(object);
    emit getRequestFinish(type, object);
    reply->deleteLater();
    endRequest(getPending, getOk.state, getOk.message);
}

// The request is not aborted: its reply may still come, and is then dropped unreported.
void NetHandler::getRequestTimeout()
{
    qDebug() << "timeout get request";
    if (const std::optional<QString> type = expireWatchdog(OnExpiry::LetRun)) {
        emit getRequestFinish(*type, timeoutObject());
        endRequest(getPending, getTimedOut.state, getTimedOut.message);
    }
}

void NetHandler::postRequest(const QString &path, const QJsonObject &property,
                             const QJsonObject &body)
{
    if (!authorized)
        return;
    emitStatus(postSent.state, postSent.message);

    QNetworkRequest request = makeRequest(path);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Authorization", accessToken.toUtf8());
    auto *manager = new QNetworkAccessManager(this);
    QNetworkReply *reply
            = manager->post(request, QJsonDocument(body).toJson(QJsonDocument::Indented));
    reply->setProperty(typeProperty, path);
    reply->setProperty("property", property);
    watchReply(reply, m_intervals.replyWatchdog, &NetHandler::postRequestTimeout,
               &NetHandler::handlePostReply);

    ++postPending;
    emitLoadData();
}

void NetHandler::finishPostRequestHandler()
{
    handlePostReply(qobject_cast<QNetworkReply *>(sender()));
}

void NetHandler::handlePostReply(QNetworkReply *reply)
{
    if (!reply)
        return;
    const QByteArray body = reply->readAll();
    const QString type = reply->property(typeProperty).toString();
    const QJsonObject property = reply->property("property").toJsonObject();
    emit postRequestFinish(type, property, parseObject(body));
    reply->deleteLater();
    endRequest(postPending, postOk.state, postOk.message);
}

void NetHandler::postRequestTimeout()
{
    qDebug() << "timeout post request";
    if (const std::optional<QString> type = expireWatchdog(OnExpiry::Abort)) {
        emit postRequestFinish(*type, QJsonObject(), timeoutObject());
        endRequest(postPending, postTimedOut.state, postTimedOut.message);
    }
}

void NetHandler::updateRequest()
{
    emitLoadData();
}
