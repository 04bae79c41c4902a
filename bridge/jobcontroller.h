#pragma once

#include "engine/job/fileanonymizer.h"
#include "engine/job/fileoutcome.h"
#include "engine/job/jobplan.h"
#include "engine/job/jobreport.h"

#include <QDateTime>
#include <QFuture>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

// Runs anonymization jobs: lists the dropped folders, hands their files to workers on the
// global thread pool, counts what they report, keeps the outcomes and writes the reports. It
// holds the tag profile and the job's settings that every worker copies at the start of every
// file. No windows, no server client, no settings store: the window's bridge, the headless
// command and the tests each drive one and hear its typed signals.
//
// Lives on the GUI thread. Worker threads only copy the settings (settingsForFile), add to
// bytesRead, ask stopRequested and emit readError, fileFinished (whose outcome is kept under a
// lock of its own) and writeFile. The destructor asks the workers to stop and waits for them:
// each finishes the file it holds, then returns.
class JobController : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(JobController)

public:
    explicit JobController(QObject *parent = nullptr);
    ~JobController() override;

    // What a worker copies at the start of every file. `revision` counts every change of
    // either, so a worker need not compile an unchanged profile again.
    struct FileSettings
    {
        QJsonObject profile;
        FileAnonymizer::Options options;
        quint64 revision = 0;
    };
    // Any thread; taken under the settings mutex, so never half of an edit.
    FileSettings settingsForFile() const;

    // The tag profile and the job's settings; each change applies from the next file on, also
    // in a running job. Any thread.
    QJsonObject profile() const;
    void editProfile(const std::function<void(QJsonObject &)> &edit);
    FileAnonymizer::Options options() const;
    void editOptions(const std::function<void(FileAnonymizer::Options &)> &edit);

    // Only this shard's files, for a job spread over machines. Applies to jobs started
    // afterwards. GUI thread.
    void setShard(const JobPlan::Shard &shard) { m_shard = shard; }
    // At least 1 and at most JobPlan::maxWorkers().
    void setWorkerCount(int count);

    // Lists the folders (local paths; what JobPlan::usableFolder does not take is left out),
    // names their outputs and starts the workers on the global thread pool. Returns without
    // waiting for them. While an earlier job is unfinished its totals are added to, so the
    // progress reaches the end only when the files of both are done. GUI thread.
    void start(const QStringList &folders);

    // Stops the running job between files: waits for each worker to finish the file it holds
    // (the GUI thread blocked meanwhile), counts what they reported, and ends the job as
    // stopped, its reports listing the files not done. Nothing happens when no job is open.
    void stop();

    // The counters of the current job (GUI thread).
    int total() const { return m_total; }
    int done() const { return m_done; }
    bool isOpen() const { return m_jobOpen; }
    // The outcomes of the current (or last) job, folder by folder (GUI thread).
    const JobReport::Job &job() const { return m_job; }
    // The summary of the job that ended last, as its finished() was sent.
    QString summaryText(bool stopped) const;

    // Bytes of the input files read so far, over all jobs. Workers add to it; any thread.
    qint64 bytesRead() const { return m_bytesRead.load(std::memory_order_relaxed); }
    void addBytesRead(qint64 bytes) { m_bytesRead.fetch_add(bytes, std::memory_order_relaxed); }

    // Asks the workers, of this job and of any later one, to stop before their next file;
    // meant for the end of the program. waitForWorkers() waits until every worker started so
    // far has returned. The destructor does both.
    void requestStop() { m_stopRequested.store(true); }
    bool stopRequested() const
    {
        return m_stopRequested.load(std::memory_order_relaxed)
                || m_jobStopRequested.load(std::memory_order_relaxed);
    }
    void waitForWorkers();

    // Each worker calls workerStarted() first and workerFinished() last. Together with the
    // count taken before a worker is queued, they hand its blocks to the worker and this object
    // back to the destructor through atomics of our own: the pool and QFuture synchronise
    // inside Qt, out of ThreadSanitizer's sight.
    void workerStarted() const { (void)m_workersRunning.load(std::memory_order_acquire); }
    void workerFinished() { m_workersRunning.fetch_sub(1, std::memory_order_release); }

    // Milliseconds on a steady clock; the progress throttle reads it. Tests put in their own
    // clock; the last progress time is taken from the new clock at once.
    using Clock = std::function<qint64()>;
    void setClockForTesting(Clock clock);

signals:
    // A file that could not be read or written: the input's path when it could not be read,
    // the output's when its copy could not be written (a copy refused for its residue is
    // neither). From worker threads.
    void readError(QString path);
    // One per input file, before its writeFile(): what became of it, with the reason. From
    // worker threads.
    void fileFinished(FileOutcome outcome);
    // One per input file, whatever became of it, from worker threads; brought to the GUI
    // thread, in order, by its queued connection to writeFileHandler().
    void writeFile();

    // GUI thread. Every outcome added to the job: the listing's own (skipped entries, folders
    // that cannot be read) as the job starts, then the workers', each before the progress that
    // counts it.
    void outcomeRecorded(FileOutcome outcome);
    // The files done of the job's total, at most once per throttle interval except near and
    // at the end (Progress::shouldSend).
    void progressed(int done, int total);
    // The job has ended and its reports are written; job() holds its outcomes. Once per job.
    void finished(bool stopped);

private slots:
    void writeFileHandler();

private:
    // Ends the job: writes its reports and sends finished(). Once per job.
    void finishJob(bool stopped);
    // Any thread: keeps a worker's outcome for the GUI thread. Called inside fileFinished(),
    // so it is kept before the writeFile() that counts the file.
    void keepOutcome(const FileOutcome &outcome);
    // GUI thread: adds the kept outcomes to the job.
    void recordKeptOutcomes();
    void recordOutcome(const FileOutcome &outcome);
    // Before the reports are written: the files a stopped job did not reach, and the copies an
    // earlier job of the same input left in an output folder, each to its folder.
    void noteFilesBeyondOutcomes(bool stopped);
    void openJob();

    int m_workerCount = 1;
    JobPlan::Shard m_shard;

    mutable QMutex m_settingsMutex;
    QJsonObject m_profile; // under m_settingsMutex
    FileAnonymizer::Options m_options; // under m_settingsMutex
    quint64 m_revision = 0; // under m_settingsMutex: every edit of the two above

    Clock m_clock;
    qint64 m_lastProgressTime = 0; // by m_clock: a steady clock, immune to changes of the date
    int m_total = 0;
    int m_done = 0;
    JobReport::Job m_job;
    QJsonObject m_jobProfile; // the profile as the job began, for its reports
    JobReport::Method m_jobMethod; // and how it cleaned and named the copies
    QDateTime m_jobStart;
    bool m_jobOpen = false; // finishJob() not yet run for m_job
    // The files handed to the open job's workers, one list per start; root i of a list is the
    // job's folder firstFolder + i.
    struct StartedFiles
    {
        qsizetype firstFolder = 0;
        std::shared_ptr<const JobFiles> files;
    };
    QList<StartedFiles> m_jobFiles;
    std::atomic<bool> m_jobStopRequested{ false }; // set only while stop() waits
    // Outcomes handed from the workers to the GUI thread. A std::mutex and not a queued
    // signal: a queued argument is copied inside Qt, where ThreadSanitizer cannot see the
    // hand-over.
    std::mutex m_keptMutex;
    QList<FileOutcome> m_keptOutcomes; // under m_keptMutex
    std::atomic<bool> m_stopRequested{ false };
    std::atomic<int> m_workersRunning{ 0 };
    std::atomic<qint64> m_bytesRead{ 0 };
    QList<QFuture<void>> m_workers; // of unfinished jobs; finished ones are dropped per job
};
