#include "bridge/jobcontroller.h"

#include "appinfo.h"
#include "bridge/jobworker.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/cleaning/uidmap.h"
#include "engine/job/progress.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <chrono>

namespace {

qint64 steadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

JobController::JobController(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<FileOutcome>();
    setWorkerCount(QThread::idealThreadCount() - 1);
    m_clock = steadyMilliseconds;
    m_lastProgressTime = m_clock();
    m_profile = TagProfile::load();
    // A key of this run only until the host puts in the installation's (or a site's): copies
    // of two runs then do not share UIDs, but no copy ever keeps an original one.
    m_options.cleaning.uids = std::make_shared<const UidMap>(UidKey::generate());

    // On the worker's thread, before its writeFile(): a file's outcome is kept before the
    // report that counts it arrives.
    connect(
            this, &JobController::fileFinished, this,
            [this](const FileOutcome &outcome) { keepOutcome(outcome); }, Qt::DirectConnection);
    // Automatic: emitted on a worker thread, every report is queued to this object's thread
    // and counted there, one call per report, in the order they were sent.
    connect(this, SIGNAL(writeFile()), this, SLOT(writeFileHandler()));
}

JobController::~JobController()
{
    // The workers use this object until they return: its settings, its signals. Reports they
    // post meanwhile are dropped with the object.
    requestStop();
    waitForWorkers();
}

JobController::FileSettings JobController::settingsForFile() const
{
    QMutexLocker lock(&m_settingsMutex);
    return FileSettings{ m_profile, m_options, m_revision };
}

QJsonObject JobController::profile() const
{
    QMutexLocker lock(&m_settingsMutex);
    return m_profile;
}

void JobController::editProfile(const std::function<void(QJsonObject &)> &edit)
{
    QMutexLocker lock(&m_settingsMutex);
    edit(m_profile);
    ++m_revision;
}

FileAnonymizer::Options JobController::options() const
{
    QMutexLocker lock(&m_settingsMutex);
    return m_options;
}

void JobController::editOptions(const std::function<void(FileAnonymizer::Options &)> &edit)
{
    QMutexLocker lock(&m_settingsMutex);
    edit(m_options);
    ++m_revision;
}

void JobController::setWorkerCount(int count)
{
    m_workerCount = std::clamp(count, 1, JobPlan::maxWorkers());
}

void JobController::setClockForTesting(Clock clock)
{
    m_clock = std::move(clock);
    m_lastProgressTime = m_clock();
}

void JobController::waitForWorkers()
{
    for (QFuture<void> &worker : m_workers)
        worker.waitForFinished();
    m_workers.clear();
    // Every worker has returned; this load pairs with their workerFinished().
    while (m_workersRunning.load(std::memory_order_acquire) > 0)
        QThread::yieldCurrentThread();
}

void JobController::stop()
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

void JobController::openJob()
{
    m_done = 0;
    m_job = JobReport::Job();
    m_jobFiles.clear();
    FileAnonymizer::Options options;
    {
        // Names given out when copies are named from the data hold for one job.
        QMutexLocker lock(&m_settingsMutex);
        m_options.claims = std::make_shared<FileAnonymizer::Options::Claims>();
        ++m_revision;
        m_jobProfile = m_profile;
        options = m_options;
    }
    const Cleanup::Options &cleaning = options.cleaning;
    m_jobMethod = JobReport::Method{ cleaning.standard,
                                     cleaning.standard ? cleaning.standardOptions : 0,
                                     options.rename, m_shard };
    m_jobStart = QDateTime::currentDateTime();
    m_jobOpen = true;
}

void JobController::start(const QStringList &folders)
{
    JobPlan::FileLists lists = JobPlan::listFolders(folders);
    JobPlan::keepShard(lists, m_shard);
    auto files = std::make_shared<const JobFiles>(std::move(lists.files));
    const auto count = static_cast<int>(files->size());
    if (m_done < m_total && m_jobOpen) {
        m_total += count;
    } else {
        m_total = count;
        openJob();
    }
    m_jobFiles.append({ m_job.folders().size(), files });
    m_job.addFolders(lists.folders);
    for (const FileOutcome &outcome : lists.settled)
        recordOutcome(outcome);
    if (m_done >= m_total)
        finishJob(false);

    m_workers.removeIf([](const QFuture<void> &worker) { return worker.isFinished(); });
    for (const JobPlan::Block &block : JobPlan::splitBlocks(count, m_workerCount)) {
        m_workersRunning.fetch_add(1, std::memory_order_release);
        m_workers.append(QtConcurrent::run(QThreadPool::globalInstance(), anonymizeFiles, files,
                                           block, this));
    }
}

void JobController::writeFileHandler()
{
    recordKeptOutcomes();
    ++m_done;
    if (m_total <= 0)
        return;
    const qint64 now = m_clock();
    if (Progress::shouldSend(now - m_lastProgressTime, Progress::fraction(m_done, m_total))) {
        emit progressed(m_done, m_total);
        m_lastProgressTime = now;
    }
    if (m_done == m_total)
        finishJob(false);
}

void JobController::keepOutcome(const FileOutcome &outcome)
{
    std::lock_guard<std::mutex> lock(m_keptMutex);
    m_keptOutcomes.append(outcome);
}

void JobController::recordKeptOutcomes()
{
    QList<FileOutcome> kept;
    {
        std::lock_guard<std::mutex> lock(m_keptMutex);
        kept.swap(m_keptOutcomes);
    }
    for (const FileOutcome &outcome : std::as_const(kept))
        recordOutcome(outcome);
}

void JobController::recordOutcome(const FileOutcome &outcome)
{
    m_job.add(outcome);
    emit outcomeRecorded(outcome);
}

void JobController::finishJob(bool stopped)
{
    if (!m_jobOpen)
        return;
    recordKeptOutcomes();
    m_jobOpen = false;
    noteFilesBeyondOutcomes(stopped);
    m_job.writeReports(m_jobStart, QString::fromLatin1(AppInfo::applicationVersion), m_jobProfile,
                       m_jobMethod, stopped);
    m_jobFiles.clear();
    emit finished(stopped);
}

QString JobController::summaryText(bool stopped) const
{
    return stopped ? JobReport::summaryText(m_job, m_total, m_done)
                   : JobReport::summaryText(m_job);
}

void JobController::noteFilesBeyondOutcomes(bool stopped)
{
    const QList<JobReport::Folder> &folders = m_job.folders();
    // By input: a copy may be named otherwise than its planned output.
    if (stopped) {
        for (const StartedFiles &started : std::as_const(m_jobFiles)) {
            const JobFiles &files = *started.files;
            for (qsizetype i = 0; i < files.size(); ++i) {
                const qsizetype folder = started.firstFolder + files.root(i);
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
