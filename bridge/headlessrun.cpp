#include "bridge/headlessrun.h"

#include "bridge/corestore.h"
#include "engine/cleaning/uidmap.h"
#include "engine/job/jobplan.h"
#include "engine/job/progress.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>
#include <QSettings>

#include <gdcmTrace.h>

#include <algorithm>
#include <cmath>

HeadlessRun::HeadlessRun(int workers, QObject *parent) : QObject(parent)
{
    // GDCM's own warnings about odd files would bury the command's output; every failed file
    // is named by its path instead.
    gdcm::Trace::WarningOff();
    gdcm::Trace::ErrorOff();
    const int count = workersFor(workers);
    m_jobs.setWorkerCount(count);
    QThreadPool *pool = QThreadPool::globalInstance();
    if (pool->maxThreadCount() < count)
        pool->setMaxThreadCount(count);
    {
        const std::unique_ptr<QSettings> store(CoreStore::open());
        setUidKey(CoreStore::uidKey(*store));
    }

    connect(&m_jobs, &JobController::progressed, this,
            [this](int done, int total) { emit progress(Progress::fraction(done, total)); });
    // On the GUI thread, each before the progress report that counts it.
    connect(&m_jobs, &JobController::outcomeRecorded, this, &HeadlessRun::onOutcome);
    // A job of no files ends inside start(): finished() waits for the event loop.
    connect(&m_jobs, &JobController::finished, this, &HeadlessRun::finish, Qt::QueuedConnection);
}

void HeadlessRun::onOutcome(const FileOutcome &outcome)
{
    if (outcome.status == FileOutcome::Status::WrittenWithResidue)
        emit residue(outcome.output, outcome.residue);
    if (outcome.status != FileOutcome::Status::Failed)
        return;
    for (const JobReport::Folder &folder : m_jobs.job().folders()) {
        if (folder.folder.failure.isEmpty() || outcome.reason != folder.folder.failure
            || !outcome.output.startsWith(folder.folder.output + QLatin1Char('/')))
            continue;
        if (!m_failedOutputFolders.contains(folder.folder.output)) {
            m_failedOutputFolders.insert(folder.folder.output);
            emit failed(folder.folder.input, folder.folder.failure);
        }
        return;
    }
    emit failed(outcome.input, outcome.reason);
}

int HeadlessRun::workersFor(int requested, bool *capped)
{
    const int count = requested < 1 ? QThread::idealThreadCount() : requested;
    const int most = JobPlan::maxWorkers();
    if (capped)
        *capped = count > most;
    return std::min(count, most);
}

void HeadlessRun::setOptions(FileAnonymizer::Options options)
{
    m_jobs.editOptions([&options](FileAnonymizer::Options &kept) {
        if (!options.cleaning.uids)
            options.cleaning.uids = kept.cleaning.uids;
        options.cleaning.links = kept.cleaning.links;
        kept = std::move(options);
    });
}

void HeadlessRun::setUidKey(const QByteArray &key)
{
    auto uids = std::make_shared<const UidMap>(key);
    m_jobs.editOptions([&uids](FileAnonymizer::Options &options) {
        options.cleaning.uids = std::move(uids);
    });
}

void HeadlessRun::setLinkFile(std::shared_ptr<LinkFile> links)
{
    m_jobs.editOptions([&links](FileAnonymizer::Options &options) {
        options.cleaning.links = std::move(links);
    });
}

void HeadlessRun::start(const QStringList &folders)
{
    m_elapsed.start();
    m_jobs.start(folders);
}

void HeadlessRun::stop()
{
    if (m_finished)
        return;
    m_stopped = true;
    m_jobs.stop();
    finish();
}

void HeadlessRun::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    emit finished();
}

QString HeadlessRun::progressBar(float fraction, int width)
{
    const double clamped = std::clamp(static_cast<double>(fraction), 0.0, 1.0);
    const int filled = static_cast<int>(std::floor(clamped * width));
    const int percent = static_cast<int>(std::floor(clamped * 100.0));
    return QLatin1Char('[') + QString(filled, QLatin1Char('#'))
            + QString(width - filled, QLatin1Char('.')) + QLatin1String("] ")
            + QString::number(percent).rightJustified(3) + QLatin1Char('%');
}

QString HeadlessRun::durationText(qint64 ms)
{
    if (ms < 10000)
        return QString::number(ms) + QLatin1String(" ms");
    return QString::number(static_cast<double>(ms) / 1000.0, 'f', 2) + QLatin1String(" s");
}
