#pragma once

#include "engine/cleaning/burnedintext.h"
#include "engine/job/fileanonymizer.h"
#include "engine/job/fileoutcome.h"
#include "engine/job/jobreport.h"
#include "engine/cleaning/standardoptions.h"

#include <QDateTime>
#include <QFuture>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class LinkFile;
class NetHandler;
class QSettings;
class UidMap;

// The one object through which the QML windows and the core meet, published to QML as
// `Handler`. The windows call receiveFromQml(key, value); the core answers with
// sendToQml(key, value). It owns the tag profile and the counters of the running job, starts
// anonymization jobs and owns the server client.
//
// Lives on the GUI thread. Worker threads only copy the job's settings (jobSettings), emit
// readError, fileFinished (whose outcome the bridge keeps under its own lock) and writeFile, add
// to bytesRead and ask stopRequested. The destructor asks the
// workers to stop and waits for them: each finishes the file it holds, then returns.
class QmlHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QmlHandler)

public:
    // The GUI program's bridge creates the server client and logs in; the headless command
    // and tests build one without it.
    enum class ServerClient { Create, None };
    // Tests: a bridge whose server client talks to the given base URLs instead of the built-in.
    explicit QmlHandler(const QStringList &serviceBaseUrls, QObject *parent = nullptr);

    explicit QmlHandler(QObject *parent = nullptr);
    explicit QmlHandler(ServerClient serverClient, QObject *parent = nullptr);
    ~QmlHandler() override;

    // Lists the folders named by the "file:" URLs (one per piece), names their outputs and
    // starts the workers on the global thread pool. Returns without waiting for them. While
    // an earlier job is unfinished its totals are added to, so the progress reaches 1 only
    // when the files of both are done.
    void anonymizeFolders(const QStringList &pieces);

    // A copy of the whole tag profile, taken under the job mutex so that it never overlaps
    // an edit made on the GUI thread. Safe to call from any thread.
    // `revision`, when given, receives the number of edits made so far: snapshots with equal
    // revisions are equal, so a worker need not read an unchanged profile again.
    QJsonObject tagProfileSnapshot(quint64 *revision = nullptr);

    // What a worker copies at the start of every file: the profile and how the job cleans.
    struct JobSettings
    {
        QJsonObject profile;
        bool standard = false;
        bool strict = false;
        std::shared_ptr<const UidMap> uids;
        BurnedInText::OcrMode ocr = BurnedInText::OcrMode::Likely;
        bool blankText = false;
        StandardOptions::Set standardOptions = 0;
        bool rename = false;
        std::shared_ptr<LinkFile> links;
        std::shared_ptr<FileAnonymizer::Options::Claims> claims; // the open job's
    };
    // Taken under the job mutex like tagProfileSnapshot(); `revision` counts every change of
    // any of it. Safe to call from any thread.
    JobSettings jobSettings(quint64 *revision = nullptr);

    // The standard clean-up on top of the profile. The window's switch also stores it in the
    // core's settings store ("standardCleanup"); this setter, for the headless command and
    // tests, does not. Applies from the next file on.
    void setStandardCleanup(bool on);
    bool standardCleanup();
    // A copy that still holds identifying data is not kept but fails (headless --strict).
    void setStrict(bool on);
    // How much OCR looks for text burned into the pixels, and whether the text boxes it finds
    // are painted over (headless --ocr, --blank-text).
    void setImageText(BurnedInText::OcrMode ocr, bool blank);
    // Replaces the installation's UID key (from the store) with another, e.g. a site's shared
    // one (headless --uid-key).
    void setUidKey(const QByteArray &key);
    // The standard clean-up's options. The window's list also stores them in the core's
    // settings store ("standardOptions", their names); this setter does not.
    void setStandardOptions(StandardOptions::Set options);
    StandardOptions::Set standardOptions();
    // Copies named from the data instead of the input's names (headless --rename).
    void setRename(bool on);
    // The site's link file, open (headless --link-file); null for none.
    void setLinkFile(std::shared_ptr<LinkFile> links);
    // Only this shard's files, for a job spread over machines (headless --shard K/N). Applies
    // to jobs started afterwards.
    void setShard(const JobPlan::Shard &shard) { m_shard = shard; }

    // At least 1 and at most JobPlan::maxWorkers().
    void setWorkerCount(int count);

    // The counters of the current job (GUI thread).
    int total() const { return m_total; }
    int done() const { return m_done; }

    // The outcomes of the current (or last) job, folder by folder (GUI thread).
    const JobReport::Job &job() const { return m_job; }
    // Ends the job: writes its reports and sends the window its outcome ("jobOutcome"). Runs
    // by itself when the last file is counted (or at once for a job without files); a job
    // stopped before its end calls it with `stopped`. Once per job.
    void finishJob(bool stopped = false);

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

    // Stops the running job between files, as closing the window does, but only this job:
    // waits for each worker to finish the file it holds (GUI thread blocked meanwhile), counts
    // what they reported, and ends the job as stopped, its reports listing the files not done.
    // Nothing happens when no job is open.
    void stopJob();

    // Each worker calls workerStarted() first and workerFinished() last. Together with the
    // count taken before a worker is queued, they hand its blocks to the worker and the bridge
    // back to the destructor through atomics of our own: the pool and QFuture synchronise
    // inside Qt, out of ThreadSanitizer's sight.
    void workerStarted() const { (void)m_workersRunning.load(std::memory_order_acquire); }
    void workerFinished() { m_workersRunning.fetch_sub(1, std::memory_order_release); }

    // Milliseconds on a steady clock; the progress throttle reads it. Tests put in their own
    // clock; the last progress time is taken from the new clock at once.
    using Clock = std::function<qint64()>;
    void setClockForTesting(Clock clock);

signals:
    void sendToQml(QString key, QVariant value);
    // A file that could not be read or written: the input's path when it could not be read,
    // the output's when its copy could not be written (a copy refused for its residue is
    // neither). The name is part of the bridge's published interface and stays.
    void readError(QString path);
    // One per input file, before its writeFile(): what became of it, with the reason.
    void fileFinished(FileOutcome outcome);
    // Every outcome the bridge adds to the job, on the GUI thread: the listing's own (skipped
    // entries, folders that cannot be read) as the job starts, then the workers'.
    void outcomeRecorded(FileOutcome outcome);
    void writeFile();

public slots:
    void receiveFromQml(QString key, QVariant value);

private slots:
    void writeFileHandler();

private:
    void startServerClient(const QStringList &serviceBaseUrls);
    void answerQmlCompleted();
    void submitSettings(const QVariant &value);
    // Any thread: keeps a worker's outcome for the GUI thread. Called inside fileFinished(),
    // so it is kept before the writeFile() that counts the file.
    void keepOutcome(const FileOutcome &outcome);
    // GUI thread: adds the kept outcomes to the job.
    void recordKeptOutcomes();
    void recordOutcome(const FileOutcome &outcome);
    // Before the reports are written: the files a stopped job did not reach, and the copies an
    // earlier job of the same input left in an output folder, each to its folder.
    void noteFilesBeyondOutcomes(bool stopped);
    void sendReportText(const QVariant &url);

    int m_workerCount = 1;
    QSettings *m_settings = nullptr; // no parent: lives until the process ends
    NetHandler *m_netHandler = nullptr; // no parent: lives until the process ends
    QMutex m_jobMutex;
    QJsonObject m_tagProfile;
    bool m_standardCleanup = false;
    bool m_strict = false;
    BurnedInText::OcrMode m_ocr = BurnedInText::OcrMode::Likely;
    bool m_blankText = false;
    StandardOptions::Set m_standardOptions = 0;
    bool m_rename = false;
    std::shared_ptr<LinkFile> m_links;
    std::shared_ptr<FileAnonymizer::Options::Claims> m_claims;
    JobPlan::Shard m_shard;
    std::shared_ptr<const UidMap> m_uids;
    // Edits of m_tagProfile and the three above; all under m_jobMutex.
    quint64 m_profileRevision = 0;
    Clock m_clock;
    qint64 m_lastProgressTime = 0; // by m_clock: a steady clock, immune to changes of the date
    int m_total = 0;
    int m_done = 0;
    JobReport::Job m_job;
    QJsonObject m_jobProfile; // the profile as the job began, for its reports
    JobReport::Method m_jobMethod; // and how it cleaned and named the copies
    QDateTime m_jobStart;
    bool m_jobOpen = false; // finishJob() not yet run for m_job
    // The files handed to the open job's workers, one list per drop; root i of a list is the
    // job's folder firstFolder + i.
    struct DroppedFiles
    {
        qsizetype firstFolder = 0;
        std::shared_ptr<const JobFiles> files;
    };
    QList<DroppedFiles> m_jobFiles;
    std::atomic<bool> m_jobStopRequested{ false }; // set only while stopJob() waits
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
