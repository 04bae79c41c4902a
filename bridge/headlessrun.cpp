#include "bridge/headlessrun.h"

#include "bridge/messagekeys.h"
#include "engine/job/jobplan.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

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
    m_handler.setWorkerCount(count);
    QThreadPool *pool = QThreadPool::globalInstance();
    if (pool->maxThreadCount() < count)
        pool->setMaxThreadCount(count);

    connect(&m_handler, &QmlHandler::sendToQml, this, &HeadlessRun::onMessage);
    // On the GUI thread, each before the progress report that counts it.
    connect(&m_handler, &QmlHandler::outcomeRecorded, this, [this](const FileOutcome &outcome) {
        if (outcome.status == FileOutcome::Status::WrittenWithResidue)
            emit residue(outcome.output, outcome.residue);
        if (outcome.status != FileOutcome::Status::Failed)
            return;
        for (const JobReport::Folder &folder : m_handler.job().folders()) {
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
    });
}

int HeadlessRun::workersFor(int requested, bool *capped)
{
    const int count = requested < 1 ? QThread::idealThreadCount() : requested;
    const int most = JobPlan::maxWorkers();
    if (capped)
        *capped = count > most;
    return std::min(count, most);
}

QString HeadlessRun::openFolderValue(const QStringList &folders)
{
    QStringList urls;
    for (const QString &folder : folders)
        urls.append(QUrl::fromLocalFile(QFileInfo(folder).absoluteFilePath())
                            .toString(QUrl::FullyEncoded));
    return urls.join(QLatin1Char('\n'));
}

void HeadlessRun::start(const QStringList &folders)
{
    m_elapsed.start();
    m_handler.receiveFromQml(MessageKey::openFolder, openFolderValue(folders));
}

void HeadlessRun::onMessage(const QString &key, const QVariant &value)
{
    if (key == MessageKey::updateProgress)
        emit progress(value.toFloat());
    else if (key == MessageKey::jobOutcome)
        QTimer::singleShot(0, this, &HeadlessRun::finish);
}

void HeadlessRun::stop()
{
    if (m_finished)
        return;
    m_stopped = true;
    m_handler.stopJob();
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
