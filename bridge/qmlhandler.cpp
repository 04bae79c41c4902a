#include "bridge/qmlhandler.h"

#include "appinfo.h"
#include "bridge/jobworker.h"
#include "bridge/messagekeys.h"
#include "engine/job/jobplan.h"
#include "engine/job/progress.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/cleaning/uidmap.h"
#include "net/nethandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QSet>
#include <QSettings>
#include <QThread>
#include <QThreadPool>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <chrono>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QString standardCleanupKey = QStringLiteral("standardCleanup");
const QString standardOptionsKey = QStringLiteral("standardOptions");

StandardOptions::Set optionsOf(const QStringList &names)
{
    StandardOptions::Set set = 0;
    for (const QString &name : names)
        set |= StandardOptions::byName(name);
    // A stored set that cannot be applied (both kinds of dates) keeps the safer of the two.
    if (!StandardOptions::conflict(set).isEmpty())
        set &= ~StandardOptions::Set(StandardOptions::RetainFullDates);
    return set;
}

// The most of a report the window is given to show; the whole file is beside the copies.
constexpr qint64 maxReportBytes = 4 * 1024 * 1024;

// The core's store holds the UID key, the account's password and its refresh token: readable
// by its owner only. The file is made 0600 before anything is written to it (QSettings then
// writes through a temporary file that takes the permissions of the file it replaces), and
// one left more open by an earlier version is closed down.
void keepStorePrivate(const QSettings &store)
{
#ifdef Q_OS_UNIX
    if (store.format() != QSettings::NativeFormat && store.format() != QSettings::IniFormat)
        return;
    const QByteArray path = QFile::encodeName(store.fileName());
    QDir().mkpath(QFileInfo(store.fileName()).absolutePath());
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0)
        ::close(fd);
    ::chmod(path.constData(), S_IRUSR | S_IWUSR);
#else
    Q_UNUSED(store); // the registry keeps the user's own keys
#endif
}

qint64 steadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

QmlHandler::QmlHandler(QObject *parent) : QmlHandler(ServerClient::Create, parent) { }

QmlHandler::QmlHandler(const QStringList &serviceBaseUrls, QObject *parent)
    : QmlHandler(ServerClient::None, parent)
{
    startServerClient(serviceBaseUrls);
}

QmlHandler::QmlHandler(ServerClient serverClient, QObject *parent) : QObject(parent)
{
    qRegisterMetaType<FileOutcome>();
    setWorkerCount(QThread::idealThreadCount() - 1);
    m_clock = steadyMilliseconds;
    m_lastProgressTime = m_clock();

    m_settings = new QSettings(QString::fromLatin1(AppInfo::organisationName),
                               QString::fromLatin1(AppInfo::coreSettingsApplication));
    keepStorePrivate(*m_settings);
    if (serverClient == ServerClient::Create)
        startServerClient(NetHandler::serviceBaseUrls());

    m_tagProfile = TagProfile::load();
    m_standardCleanup = m_settings->value(standardCleanupKey, false).toBool();
    m_standardOptions = optionsOf(m_settings->value(standardOptionsKey).toStringList());
    m_uids = std::make_shared<const UidMap>(UidKey::fromStore(*m_settings));

    // On the worker's thread, before its writeFile(): a file's outcome is kept before the
    // report that counts it arrives.
    connect(
            this, &QmlHandler::fileFinished, this,
            [this](const FileOutcome &outcome) { keepOutcome(outcome); }, Qt::DirectConnection);
    connect(this, SIGNAL(writeFile()), this, SLOT(writeFileHandler()));
    m_lastProgressTime = m_clock();
}

QmlHandler::~QmlHandler()
{
    // The workers use this object until they return: its profile, its signals. Reports they
    // post meanwhile are dropped with the object.
    requestStop();
    waitForWorkers();
}

void QmlHandler::waitForWorkers()
{
    for (QFuture<void> &worker : m_workers)
        worker.waitForFinished();
    m_workers.clear();
    // Every worker has returned; this load pairs with their workerFinished().
    while (m_workersRunning.load(std::memory_order_acquire) > 0)
        QThread::yieldCurrentThread();
}

void QmlHandler::setWorkerCount(int count)
{
    m_workerCount = std::clamp(count, 1, JobPlan::maxWorkers());
}

void QmlHandler::stopJob()
{
    if (!m_jobOpen)
        return;
    m_jobStopRequested.store(true);
    waitForWorkers();
    // The workers' last reports are still queued: counted before the job is closed.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    // Every worker has returned: the next job's workers must not see the flag.
    m_jobStopRequested.store(false);
    finishJob(true);
}

void QmlHandler::setClockForTesting(Clock clock)
{
    m_clock = std::move(clock);
    m_lastProgressTime = m_clock();
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
        ++m_profileRevision;
    } else if (key == MessageKey::changeTagText) {
        QMutexLocker lock(&m_jobMutex);
        TagProfile::setUserText(m_tagProfile, value.toString());
        ++m_profileRevision;
    } else if (key == MessageKey::standardCleanup) {
        const bool on = value.toBool();
        setStandardCleanup(on);
        m_settings->setValue(standardCleanupKey, on);
    } else if (key == MessageKey::standardOptions) {
        QStringList names;
        for (const QString &part : value.toStringList())
            names += part.split(QLatin1Char(','), Qt::SkipEmptyParts);
        const StandardOptions::Set options = optionsOf(names);
        setStandardOptions(options);
        m_settings->setValue(standardOptionsKey, StandardOptions::names(options));
        emit sendToQml(MessageKey::standardOptions, StandardOptions::names(options));
    } else if (key == MessageKey::stopJob) {
        stopJob();
    } else if (key == MessageKey::readReport) {
        sendReportText(value);
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
    emit sendToQml(MessageKey::standardCleanup, standardCleanup());
    emit sendToQml(MessageKey::standardOptions, StandardOptions::names(standardOptions()));
}

void QmlHandler::submitSettings(const QVariant &value)
{
    const QJsonObject profile = QJsonDocument::fromJson(value.toString().toUtf8()).object();
    if (m_netHandler)
        m_netHandler->postRequest(QStringLiteral("/setUserConfig"), QJsonObject(), profile);
    emit sendToQml(MessageKey::updateServerContent, profile);
}

QJsonObject QmlHandler::tagProfileSnapshot(quint64 *revision)
{
    QMutexLocker lock(&m_jobMutex);
    if (revision)
        *revision = m_profileRevision;
    return m_tagProfile;
}

QmlHandler::JobSettings QmlHandler::jobSettings(quint64 *revision)
{
    QMutexLocker lock(&m_jobMutex);
    if (revision)
        *revision = m_profileRevision;
    return JobSettings{ m_tagProfile, m_standardCleanup, m_strict, m_uids,  m_ocr,
                        m_blankText,  m_standardOptions, m_rename, m_links, m_claims };
}

void QmlHandler::setStandardOptions(StandardOptions::Set options)
{
    QMutexLocker lock(&m_jobMutex);
    m_standardOptions = options;
    ++m_profileRevision;
}

StandardOptions::Set QmlHandler::standardOptions()
{
    QMutexLocker lock(&m_jobMutex);
    return m_standardOptions;
}

void QmlHandler::setRename(bool on)
{
    QMutexLocker lock(&m_jobMutex);
    m_rename = on;
    ++m_profileRevision;
}

void QmlHandler::setLinkFile(std::shared_ptr<LinkFile> links)
{
    QMutexLocker lock(&m_jobMutex);
    m_links = std::move(links);
    ++m_profileRevision;
}

void QmlHandler::setStandardCleanup(bool on)
{
    QMutexLocker lock(&m_jobMutex);
    m_standardCleanup = on;
    ++m_profileRevision;
}

bool QmlHandler::standardCleanup()
{
    QMutexLocker lock(&m_jobMutex);
    return m_standardCleanup;
}

void QmlHandler::setImageText(BurnedInText::OcrMode ocr, bool blank)
{
    QMutexLocker lock(&m_jobMutex);
    m_ocr = ocr;
    m_blankText = blank;
    ++m_profileRevision;
}

void QmlHandler::setStrict(bool on)
{
    QMutexLocker lock(&m_jobMutex);
    m_strict = on;
    ++m_profileRevision;
}

void QmlHandler::setUidKey(const QByteArray &key)
{
    auto uids = std::make_shared<const UidMap>(key);
    QMutexLocker lock(&m_jobMutex);
    m_uids = std::move(uids);
    ++m_profileRevision;
}

void QmlHandler::anonymizeFolders(const QStringList &pieces)
{
    JobPlan::FileLists lists = JobPlan::listFolders(pieces);
    JobPlan::keepShard(lists, m_shard);
    auto files = std::make_shared<const JobFiles>(std::move(lists.files));
    const auto count = static_cast<int>(files->size());
    if (m_done < m_total && m_jobOpen) {
        m_total += count;
    } else {
        m_total = count;
        m_done = 0;
        m_job = JobReport::Job();
        m_jobFiles.clear();
        {
            // Names given out when copies are named from the data hold for one job.
            QMutexLocker lock(&m_jobMutex);
            m_claims = std::make_shared<FileAnonymizer::Options::Claims>();
            ++m_profileRevision;
        }
        const JobSettings settings = jobSettings();
        m_jobProfile = settings.profile;
        m_jobMethod = JobReport::Method{ settings.standard,
                                         settings.standard ? settings.standardOptions : 0,
                                         settings.rename, m_shard };
        m_jobStart = QDateTime::currentDateTime();
        m_jobOpen = true;
    }
    m_jobFiles.append({ m_job.folders().size(), files });
    m_job.addFolders(lists.folders);
    for (const FileOutcome &outcome : lists.settled)
        recordOutcome(outcome);
    if (m_done >= m_total)
        finishJob();

    m_workers.removeIf([](const QFuture<void> &worker) { return worker.isFinished(); });
    for (const JobPlan::Block &block : JobPlan::splitBlocks(count, m_workerCount)) {
        m_workersRunning.fetch_add(1, std::memory_order_release);
        m_workers.append(QtConcurrent::run(QThreadPool::globalInstance(), anonymizeFiles, files,
                                           block, &m_jobMutex, this));
    }
}

void QmlHandler::writeFileHandler()
{
    recordKeptOutcomes();
    ++m_done;
    if (m_total <= 0)
        return;
    const qint64 now = m_clock();
    const float fraction = Progress::fraction(m_done, m_total);
    if (Progress::shouldSend(now - m_lastProgressTime, fraction)) {
        emit sendToQml(MessageKey::updateProgress, fraction);
        emit sendToQml(MessageKey::jobCount,
                       QJsonObject{ { QStringLiteral("done"), m_done },
                                    { QStringLiteral("total"), m_total } });
        m_lastProgressTime = now;
    }
    if (m_done == m_total)
        finishJob();
}

void QmlHandler::keepOutcome(const FileOutcome &outcome)
{
    std::lock_guard<std::mutex> lock(m_keptMutex);
    m_keptOutcomes.append(outcome);
}

void QmlHandler::recordKeptOutcomes()
{
    QList<FileOutcome> kept;
    {
        std::lock_guard<std::mutex> lock(m_keptMutex);
        kept.swap(m_keptOutcomes);
    }
    for (const FileOutcome &outcome : std::as_const(kept))
        recordOutcome(outcome);
}

void QmlHandler::recordOutcome(const FileOutcome &outcome)
{
    m_job.add(outcome);
    emit outcomeRecorded(outcome);
}

void QmlHandler::finishJob(bool stopped)
{
    if (!m_jobOpen)
        return;
    recordKeptOutcomes();
    m_jobOpen = false;
    noteFilesBeyondOutcomes(stopped);
    m_job.writeReports(m_jobStart, QString::fromLatin1(AppInfo::applicationVersion), m_jobProfile,
                       m_jobMethod, stopped);
    m_jobFiles.clear();
    const JobReport::Counts counts = m_job.counts();
    QString text = stopped ? JobReport::summaryText(m_job, m_total, m_done)
                           : JobReport::summaryText(m_job);
    QJsonArray reports;
    for (const JobReport::Folder &folder : m_job.folders()) {
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

void QmlHandler::noteFilesBeyondOutcomes(bool stopped)
{
    const QList<JobReport::Folder> &folders = m_job.folders();
    // By input: a copy may be named otherwise than its planned output.
    if (stopped) {
        for (const DroppedFiles &dropped : std::as_const(m_jobFiles)) {
            const JobFiles &files = *dropped.files;
            for (qsizetype i = 0; i < files.size(); ++i) {
                const qsizetype folder = dropped.firstFolder + files.root(i);
                if (!folders.at(folder).reportedInputs.contains(files.input(i)))
                    m_job.addNotDone(folder, files.relative(i));
            }
        }
    }
    // A run over the same input again replaces its report: the report must still account for
    // every copy in the folder, this job's and those it did not replace. Another shard's
    // copies are no earlier job's: each shard reports its own files. A folder this job wrote
    // nothing for keeps its earlier report.
    if (!m_jobMethod.shard.whole())
        return;
    for (qsizetype i = 0; i < folders.size(); ++i) {
        const JobReport::Folder &folder = folders.at(i);
        if (!folder.folder.existed || !folder.lines)
            continue;
        const QString &output = folder.folder.output;
        const auto reported = [&folders, &output](const QString &relative) {
            const QString path = output + QLatin1Char('/') + relative;
            return std::any_of(folders.begin(), folders.end(), [&path](const JobReport::Folder &f) {
                return f.reported.contains(path);
            });
        };
        JobPlan::forEachFileBelow(output, [this, i, &reported](const QString &relative) {
            if (!reported(relative))
                m_job.addEarlier(i, relative);
        });
    }
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
