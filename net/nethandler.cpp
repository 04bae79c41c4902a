#include "net/nethandler.h"

#include "appinfo.h"
#include "net/replayqtimer.h"

#include <QDebug>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSettings>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>

namespace {
const QString refreshTokenKey = QStringLiteral("refreshToken");
const QString loginPath = QStringLiteral("/login");
const QString refreshPath = QStringLiteral("/token/refresh");
const QString userConfigPath = QStringLiteral("/userConfig");
const QString bearer = QStringLiteral("Bearer ");
// The service's fixed credential for the login request; the same for every installation.
const char serviceCredential[] = "guest:portalCode77!";

// A body that is empty, not JSON or not an object gives an empty object.
QJsonObject parseObject(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
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

    lastRefreshRequest = QDateTime::currentDateTime();
}

void NetHandler::setIntervals(const Intervals &intervals)
{
    m_intervals = intervals;
    refreshTimer->start(m_intervals.refreshTick);
}

QNetworkRequest NetHandler::makeRequest(const QString &path) const
{
    QNetworkRequest request(QUrl(currentUrl + path, QUrl::TolerantMode));
    // Tokens and credentials go only to the base URL's own scheme, host and port.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    return request;
}

void NetHandler::emitStatus(const QString &status, const QString &message)
{
    emit updateStatusConnection(QJsonObject{ { QStringLiteral("status"), status },
                                             { QStringLiteral("message"), message } });
}

void NetHandler::emitLoadData()
{
    emit updateStatusLoadData(getPending, postPending);
}

// ---- Session ------------------------------------------------------------------------------

void NetHandler::login(const QString &user, const QString &pass)
{
    username = user;
    password = pass;
    emitStatus(QStringLiteral("wait"), QStringLiteral("authorization request"));

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

    // One failed attempt leads to exactly one new login: the watchdog's or the reply's.
    watchReply(reply, manager, &NetHandler::authorizationTimeout, &NetHandler::handleLoginReply);
}

void NetHandler::watchReply(QNetworkReply *reply, QNetworkAccessManager *manager,
                            void (NetHandler::*onTimeout)(),
                            void (NetHandler::*onFinished)(QNetworkReply *))
{
    // The watchdog bounds a reply that never ends. Whichever comes first, the reply or the
    // watchdog, disarms the other; the manager (and the reply with it) goes after the reply.
    auto *watchdog = new ReplayQTimer(this);
    watchdog->reply = reply;
    watchdog->setSingleShot(true);
    connect(watchdog, &QTimer::timeout, this, onTimeout);
    connect(reply, &QNetworkReply::finished, this, [this, reply, manager, watchdog, onFinished] {
        watchdog->stop();
        watchdog->reply = nullptr;
        watchdog->deleteLater();
        (this->*onFinished)(reply);
        manager->deleteLater();
    });
    watchdog->start(m_intervals.replyWatchdog);
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

    accessToken = bearer + object.value(QStringLiteral("access_token")).toString();
    refreshToken = bearer + object.value(QStringLiteral("refresh_token")).toString();
    if (settings)
        settings->setValue(refreshTokenKey, refreshToken);
    accessLevel = object.value(QStringLiteral("access_level")).toInt();

    QString message;
    const QJsonValue token = object.value(QStringLiteral("access_token"));
    if (!token.isUndefined() && !token.isNull()) {
        message = QStringLiteral("Ok");
        lastAuthorization = QDateTime::currentDateTime();
    } else if (object.contains(QStringLiteral("message"))) {
        message = object.value(QStringLiteral("message")).toString();
    } else {
        message = QStringLiteral("Connection error");
    }

    // A status that is present but not a whole number reads as 0.
    const int serviceStatus = object.contains(QStringLiteral("status"))
            ? object.value(QStringLiteral("status")).toInt()
            : -1;
    authorized = serviceStatus == 0;

    if (serviceStatus == 0)
        emitStatus(QStringLiteral("ok"), QStringLiteral("authorization ok"));
    else if (serviceStatus == 1)
        emitStatus(QStringLiteral("wait"), message);
    else
        emitStatus(QStringLiteral("error"), message);

    if (serviceStatus == 0) {
        urlIndex = 0;
        const QJsonValue last = object.value(QStringLiteral("last_version"));
        const QJsonValue supported = object.value(QStringLiteral("supported_version"));
        if (last.isString() && supported.isString())
            emit versionInfo(QJsonObject{ { QStringLiteral("last_version"), last },
                                          { QStringLiteral("supported_version"), supported } });
        getRequest(userConfigPath, true);
    } else if (serviceStatus == 1) {
        urlIndex = 0;
    } else if (serviceStatus == -1) {
        failOver(-1);
    }
}

// Moves to the next base URL and schedules one new login: at once while some base URL has
// not been tried yet, after the failover pause once all have failed. A negative delay picks
// that rule; the watchdog passes 0 because its interval has already been waited.
void NetHandler::failOver(int delay)
{
    ++urlIndex;
    currentUrl = baseUrls.at(urlIndex % baseUrls.size());
    if (delay < 0)
        delay = urlIndex < baseUrls.size() ? 0 : m_intervals.failoverRetry;
    // Never from inside the reply's handling: the new attempt starts from the event loop.
    QTimer::singleShot(delay, this, &NetHandler::authorization);
}

void NetHandler::authorizationTimeout()
{
    auto *timer = dynamic_cast<ReplayQTimer *>(sender());
    if (!timer)
        return;
    if (QNetworkReply *reply = timer->reply) {
        // Detached first: the abort below finishes the reply, and its handling must not start
        // a second new login beside the one started here.
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
        if (QNetworkAccessManager *manager = reply->manager())
            manager->deleteLater();
        timer->reply = nullptr;
    }
    timer->stop();
    timer->deleteLater();
    if (!authorized) {
        // A service that never answers is as unreachable as one that answers nonsense: the
        // status says so before the next base URL is tried, or it would stay "wait" forever.
        emitStatus(QStringLiteral("error"), QStringLiteral("Connection error"));
        ++urlIndex;
        currentUrl = baseUrls.at(urlIndex % baseUrls.size());
        authorization();
    }
}

void NetHandler::updateAcsessToken()
{
    const QDateTime now = QDateTime::currentDateTime();
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
    emitStatus(QStringLiteral("wait"), QStringLiteral("get request"));

    auto *manager = new QNetworkAccessManager(this);
    manager->setProperty("type", path);
    QNetworkRequest request = makeRequest(path);
    request.setRawHeader("Authorization", (useAccessToken ? accessToken : refreshToken).toUtf8());
    manager->get(request);

    auto *timer = new QTimer(this);
    timer->setProperty("type", path);
    timer->setSingleShot(true);
    timer->start(m_intervals.getTimeout);

    ++getPending;
    emitLoadData();

    // The timer is single-shot: once it has fired it is inactive, and soon deleted. A reply
    // that comes after its timeout has been reported is dropped, so the request is reported and
    // counted down exactly once and the disposed timer is never touched.
    const QPointer<QTimer> guard(timer);
    connect(manager, &QNetworkAccessManager::finished, this,
            [this, manager, guard](QNetworkReply *reply) {
                if (guard.isNull() || !guard->isActive()) {
                    reply->deleteLater();
                    manager->deleteLater();
                    return;
                }
                guard->stop();
                finishGetRequestHandler(reply, manager->property("type").toString());
                manager->deleteLater();
                guard->deleteLater();
            });
    connect(timer, &QTimer::timeout, this, &NetHandler::getRequestTimeout);
}

void NetHandler::finishGetRequestHandler(QNetworkReply *reply, QString type)
{
    const QJsonObject object = parseObject(reply->readAll());

    if (type == refreshPath && object.contains(QStringLiteral("access_token"))) {
        accessToken = bearer + object.value(QStringLiteral("access_token")).toString();
        accessLevel = object.value(QStringLiteral("access_level")).toInt();
        lastAuthorization = QDateTime::currentDateTime();
    }
    if (type == userConfigPath)
        emit updateServerContent(object);
    emit getRequestFinish(type, object);

    reply->deleteLater();
    --getPending;
    emitLoadData();
    emitStatus(QStringLiteral("ok"), QStringLiteral("get request ok"));
}

void NetHandler::getRequestTimeout()
{
    qDebug() << "timeout get request";
    auto *timer = qobject_cast<QTimer *>(sender());
    if (!timer)
        return;
    const QString type = timer->property("type").toString();
    emit getRequestFinish(type,
                          QJsonObject{ { QStringLiteral("error"), QStringLiteral("timeout") } });
    timer->deleteLater();
    --getPending;
    emitLoadData();
    emitStatus(QStringLiteral("error"), QStringLiteral("get request timeout"));
}

void NetHandler::postRequest(const QString &path, const QJsonObject &property,
                             const QJsonObject &body)
{
    if (!authorized)
        return;
    emitStatus(QStringLiteral("wait"), QStringLiteral("post request"));

    auto *manager = new QNetworkAccessManager(this);
    QNetworkRequest request = makeRequest(path);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Authorization", accessToken.toUtf8());
    QNetworkReply *reply
            = manager->post(request, QJsonDocument(body).toJson(QJsonDocument::Indented));
    reply->setProperty("type", path);
    reply->setProperty("property", property);

    ++postPending;
    emitLoadData();

    watchReply(reply, manager, &NetHandler::postRequestTimeout, &NetHandler::handlePostReply);
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
    const QString type = reply->property("type").toString();
    const QJsonObject property = reply->property("property").toJsonObject();
    emit postRequestFinish(type, property, parseObject(body));
    --postPending;
    emitLoadData();
    reply->deleteLater();
    emitStatus(QStringLiteral("ok"), QStringLiteral("post request ok"));
}

void NetHandler::postRequestTimeout()
{
    qDebug() << "timeout post request";
    auto *timer = dynamic_cast<ReplayQTimer *>(sender());
    if (!timer)
        return;
    if (QNetworkReply *reply = timer->reply) {
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        const QString type = reply->property("type").toString();
        emit postRequestFinish(
                type, QJsonObject(),
                QJsonObject{ { QStringLiteral("error"), QStringLiteral("timeout") } });
        reply->deleteLater();
        if (QNetworkAccessManager *manager = reply->manager())
            manager->deleteLater();
        timer->reply = nullptr;
    }
    timer->stop();
    timer->deleteLater();
    --postPending;
    emitLoadData();
    emitStatus(QStringLiteral("error"), QStringLiteral("post request timeout"));
}

void NetHandler::updateRequest()
{
    emitLoadData();
}
