#include "bridge/qmlhandler.h"

#include "appinfo.h"
#include "bridge/corestore.h"
#include "bridge/messagekeys.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/cleaning/uidmap.h"
#include "engine/job/progress.h"
#include "net/nethandler.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QThread>
#include <QUrl>

namespace {

// The most of a report the window is given to show; the whole file is beside the copies.
constexpr qint64 maxReportBytes = 4 * 1024 * 1024;

} // namespace

QmlHandler::QmlHandler(QObject *parent) : QmlHandler(ServerClient::Create, parent) { }

QmlHandler::QmlHandler(const QStringList &serviceBaseUrls, QObject *parent)
    : QmlHandler(ServerClient::None, parent)
{
    startServerClient(serviceBaseUrls);
}

QmlHandler::QmlHandler(ServerClient serverClient, QObject *parent) : QObject(parent)
{
    m_jobs.setWorkerCount(QThread::idealThreadCount() - 1);
    m_settings = CoreStore::open();
    if (serverClient == ServerClient::Create)
        startServerClient(NetHandler::serviceBaseUrls());

    const bool standard = m_settings->value(CoreStore::Key::standardCleanup, false).toBool();
    const StandardOptions::Set options = CoreStore::standardOptions(*m_settings);
    auto uids = std::make_shared<const UidMap>(CoreStore::uidKey(*m_settings));
    m_jobs.editOptions([&](FileAnonymizer::Options &settings) {
        settings.cleaning.standard = standard;
        settings.cleaning.standardOptions = options;
        settings.cleaning.uids = std::move(uids);
    });

    // Passed on as they come, on the workers' threads.
    connect(&m_jobs, &JobController::readError, this, &QmlHandler::readError,
            Qt::DirectConnection);
    connect(&m_jobs, &JobController::writeFile, this, &QmlHandler::writeFile,
            Qt::DirectConnection);
    connect(&m_jobs, &JobController::progressed, this, &QmlHandler::sendProgress);
    connect(&m_jobs, &JobController::finished, this, &QmlHandler::sendJobOutcome);
}

QmlHandler::~QmlHandler()
{
    // The workers emit this object's signals through the controller's until they return: they
    // are stopped while the whole object is still there.
    m_jobs.requestStop();
    m_jobs.waitForWorkers();
}

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
                versions.insert(QStringLiteral("download_url"),
                                QString::fromUtf8(AppInfo::downloadUrl));
                emit sendToQml(MessageKey::checkVersion, versions);
            },
            Qt::DirectConnection);

    // The installation's account, written to the core's store by whoever deploys the program.
    // Without it the login is sent with empty texts and the service refuses it.
    m_netHandler->login(m_settings->value(CoreStore::Key::accountName).toString(),
                        m_settings->value(CoreStore::Key::accountPassword).toString());
}

void QmlHandler::receiveFromQml(QString key, QVariant value)
{
    if (key == MessageKey::openFolder) {
        anonymizeFolders(value.toString().split(QLatin1Char('\n'), Qt::KeepEmptyParts));
    } else if (key == MessageKey::changeGUI) {
        m_jobs.editProfile(
                [&value](QJsonObject &profile) { TagProfile::setEnabled(profile, value.toString()); });
    } else if (key == MessageKey::changeTagText) {
        m_jobs.editProfile([&value](QJsonObject &profile) {
            TagProfile::setUserText(profile, value.toString());
        });
    } else if (key == MessageKey::standardCleanup) {
        const bool on = value.toBool();
        m_jobs.editOptions([on](FileAnonymizer::Options &options) { options.cleaning.standard = on; });
        m_settings->setValue(CoreStore::Key::standardCleanup, on);
    } else if (key == MessageKey::standardOptions) {
        changeStandardOptions(value);
    } else if (key == MessageKey::stopJob) {
        m_jobs.stop();
    } else if (key == MessageKey::readReport) {
        sendReportText(value);
    } else if (key == MessageKey::qmlCompleted) {
        answerQmlCompleted();
    } else if (key == MessageKey::settingsSubmit) {
        submitSettings(value);
    }
}

void QmlHandler::anonymizeFolders(const QStringList &pieces)
{
    m_jobs.start(JobPlan::foldersOfPieces(pieces));
}

void QmlHandler::changeStandardOptions(const QVariant &value)
{
    QStringList names;
    for (const QString &part : value.toStringList())
        names += part.split(QLatin1Char(','), Qt::SkipEmptyParts);
    const StandardOptions::Set set = CoreStore::optionsOf(names);
    m_jobs.editOptions(
            [set](FileAnonymizer::Options &options) { options.cleaning.standardOptions = set; });
    CoreStore::setStandardOptions(*m_settings, set);
    emit sendToQml(MessageKey::standardOptions, StandardOptions::names(set));
}

void QmlHandler::answerQmlCompleted()
{
    emit sendToQml(MessageKey::setDeviceID,
                   QJsonObject{ { QStringLiteral("version"),
                                  QString::fromLatin1(AppInfo::applicationVersion) } });
    emit sendToQml(MessageKey::loadTagsList, TagProfile::shownTags(m_jobs.profile()));
    const FileAnonymizer::Options options = m_jobs.options();
    emit sendToQml(MessageKey::standardCleanup, options.cleaning.standard);
    emit sendToQml(MessageKey::standardOptions,
                   StandardOptions::names(options.cleaning.standardOptions));
}

void QmlHandler::submitSettings(const QVariant &value)
{
    const QJsonObject profile = QJsonDocument::fromJson(value.toString().toUtf8()).object();
    if (m_netHandler)
        m_netHandler->postRequest(QStringLiteral("/setUserConfig"), QJsonObject(), profile);
    emit sendToQml(MessageKey::updateServerContent, profile);
}

void QmlHandler::sendProgress(int done, int total)
{
    emit sendToQml(MessageKey::updateProgress, Progress::fraction(done, total));
    emit sendToQml(MessageKey::jobCount,
                   QJsonObject{ { QStringLiteral("done"), done },
                                { QStringLiteral("total"), total } });
}

void QmlHandler::sendJobOutcome(bool stopped)
{
    const JobReport::Job &job = m_jobs.job();
    const JobReport::Counts counts = job.counts();
    QString text = m_jobs.summaryText(stopped);
    QJsonArray reports;
    for (const JobReport::Folder &folder : job.folders()) {
        if (!folder.report.isEmpty())
            reports.append(QUrl::fromLocalFile(folder.report).toString());
        else if (!folder.reportError.isEmpty())
            text += QStringLiteral(" · no report: ") + folder.reportError;
    }
    emit sendToQml(MessageKey::jobOutcome,
                   QJsonObject{ { QStringLiteral("text"), text },
                                { QStringLiteral("reports"), reports },
                                { QStringLiteral("files"), counts.files() },
                                { QStringLiteral("written"), counts.written },
                                { QStringLiteral("withResidue"), counts.withResidue },
                                { QStringLiteral("failed"), counts.failed },
                                { QStringLiteral("skipped"), counts.skipped },
                                { QStringLiteral("stopped"), stopped } });
}

void QmlHandler::sendReportText(const QVariant &url)
{
    const QString path = QUrl(url.toString(), QUrl::TolerantMode).toLocalFile();
    QJsonObject answer{ { QStringLiteral("path"), QDir::toNativeSeparators(path) } };
    QFile report(path);
    // Only a report is shown: the window never becomes a viewer of any file it is asked for.
    if (!JobReport::isReportName(path))
        answer.insert(QStringLiteral("text"), QStringLiteral("Not a report: %1").arg(path));
    else if (!report.open(QIODevice::ReadOnly))
        answer.insert(QStringLiteral("text"),
                      QStringLiteral("Cannot read the report: %1").arg(report.errorString()));
    else {
        QString text = QString::fromUtf8(report.read(maxReportBytes));
        if (!report.atEnd())
            text += QStringLiteral("\n… (the rest is in the file)\n");
        answer.insert(QStringLiteral("text"), text);
    }
    emit sendToQml(MessageKey::reportText, answer);
}
