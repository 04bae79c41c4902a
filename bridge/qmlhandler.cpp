#include "bridge/qmlhandler.h"

#include "bridge/appinfo.h"
#include "bridge/messagekeys.h"
#include "engine/tagprofile.h"
#include "net/nethandler.h"

#include <QJsonDocument>
#include <QMutexLocker>
#include <QSettings>
#include <QThread>

QmlHandler::QmlHandler(QObject *parent) : QmlHandler(ServerClient::Create, parent) { }

QmlHandler::QmlHandler(const QStringList &serviceBaseUrls, QObject *parent)
    : QmlHandler(ServerClient::None, parent)
{
    startServerClient(serviceBaseUrls);
}

QmlHandler::QmlHandler(ServerClient serverClient, QObject *parent) : QObject(parent)
{
    setWorkerCount(QThread::idealThreadCount() - 1);
    m_lastProgressTime = QDateTime::currentDateTime();

    m_settings = new QSettings(QString::fromLatin1(AppInfo::organisationName),
                               QString::fromLatin1(AppInfo::coreSettingsApplication));
    if (serverClient == ServerClient::Create)
        startServerClient(NetHandler::serviceBaseUrls());

    m_tagProfile = TagProfile::load();

    connect(this, SIGNAL(writeFile()), this, SLOT(writeFileHandler()));
    m_lastProgressTime = QDateTime::currentDateTime();
}

QmlHandler::~QmlHandler() = default;

void QmlHandler::startServerClient(const QStringList &serviceBaseUrls)
{
    m_netHandler = new NetHandler(m_settings, serviceBaseUrls);
    // Direct connections: the forward runs inside the server client's emission.
    connect(
            m_netHandler, &NetHandler::updateStatusConnection, this,
            [this](const QJsonObject &status) {
                emit sendToQml(MessageKey::updateStatusConnection, status);
            },
            Qt::DirectConnection);
    connect(
            m_netHandler, &NetHandler::updateServerContent, this,
            [this](const QJsonObject &profile) {
                emit sendToQml(MessageKey::updateServerContent, profile);
            },
            Qt::DirectConnection);
    connect(
            m_netHandler, &NetHandler::versionInfo, this,
            [this](QJsonObject versions) {
                versions.insert(QStringLiteral("local_version"),
                                QString::fromLatin1(AppInfo::applicationVersion));
                emit sendToQml(MessageKey::checkVersion, versions);
            },
            Qt::DirectConnection);

    // The installation's account, written to the core's store by whoever deploys the program.
    // Without it the login is sent with empty texts and the service refuses it.
    m_netHandler->login(m_settings->value(QStringLiteral("accountName")).toString(),
                        m_settings->value(QStringLiteral("accountPassword")).toString());
}

void QmlHandler::receiveFromQml(QString key, QVariant value)
{
    if (key == MessageKey::openFolder) {
        anonymizeFolders(value.toString().split(QLatin1Char('\n'), Qt::KeepEmptyParts));
    } else if (key == MessageKey::changeGUI) {
        QMutexLocker lock(&m_jobMutex);
        TagProfile::setEnabled(m_tagProfile, value.toString());
    } else if (key == MessageKey::changeTagText) {
        QMutexLocker lock(&m_jobMutex);
        TagProfile::setUserText(m_tagProfile, value.toString());
    } else if (key == MessageKey::qmlCompleted) {
        answerQmlCompleted();
    } else if (key == MessageKey::settingsSubmit) {
        submitSettings(value);
    }
}

void QmlHandler::answerQmlCompleted()
{
    emit sendToQml(MessageKey::setDeviceID,
                   QJsonObject{ { QStringLiteral("version"),
                                  QString::fromLatin1(AppInfo::applicationVersion) } });
    QJsonObject shown;
    {
        QMutexLocker lock(&m_jobMutex);
        shown = TagProfile::shownTags(m_tagProfile);
    }
    emit sendToQml(MessageKey::loadTagsList, shown);
}

void QmlHandler::submitSettings(const QVariant &value)
{
    const QJsonObject profile = QJsonDocument::fromJson(value.toString().toUtf8()).object();
    if (m_netHandler)
        m_netHandler->postRequest(QStringLiteral("/setUserConfig"), QJsonObject(), profile);
    emit sendToQml(MessageKey::updateServerContent, profile);
}

QJsonObject QmlHandler::tagProfileSnapshot()
{
    QMutexLocker lock(&m_jobMutex);
    return m_tagProfile;
}

void QmlHandler::anonymizeFolders(const QStringList &pieces)
{
    Q_UNUSED(pieces);
}

void QmlHandler::writeFileHandler()
{
    ++m_done;
}
