#pragma once

#include "bridge/jobcontroller.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <memory>

class LinkFile;

// One anonymization job without windows, for the headless command: it drives the same job
// controller as the window's bridge, so it runs exactly the code the window runs, with the
// installation's UID key from the core's settings store. It passes on what the command prints:
// the progress, every failure with its reason (as it comes: none is kept), the job's outcome
// folder by folder.
//
// GUI thread only.
class HeadlessRun : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HeadlessRun)

public:
    // workers < 1 picks every core; more than JobPlan::maxWorkers() are cut to that (see
    // workersFor). The global pool is widened when it holds fewer threads.
    explicit HeadlessRun(int workers, QObject *parent = nullptr);

    // The workers a request of `requested` gets: every core below 1, at most
    // JobPlan::maxWorkers(). `capped` tells whether the request was cut.
    static int workersFor(int requested, bool *capped = nullptr);

    // How the job started next cleans its files. The UID map is kept from the installation's
    // key (or setUidKey's) unless `options` brings one; the link file is setLinkFile's.
    void setOptions(FileAnonymizer::Options options);
    // Replaces the installation's UID key with another, e.g. a site's shared one.
    void setUidKey(const QByteArray &key);
    // The site's link file, open; null for none.
    void setLinkFile(std::shared_ptr<LinkFile> links);
    // This machine's shard of the job.
    void setShard(const JobPlan::Shard &shard) { m_jobs.setShard(shard); }

    // Starts the job on local folders; finished() follows on a later turn of the event loop,
    // once the job's outcome is in (its reports written), also for a job of no files.
    void start(const QStringList &folders);

    // Stops the job between files: each worker finishes the file it holds, the files done so
    // far are counted and reported, then finished() follows. Returns when the workers have
    // stopped.
    void stop();
    bool wasStopped() const { return m_stopped; }

    int files() const { return m_jobs.total(); }
    int done() const { return m_jobs.done(); }
    const JobReport::Job &job() const { return m_jobs.job(); }
    qint64 bytesRead() const { return m_jobs.bytesRead(); }
    qint64 elapsedMs() const { return m_elapsed.elapsed(); }
    bool isFinished() const { return m_finished; }

    // A text bar of `width` cells for a fraction from 0 to 1, with the percentage.
    static QString progressBar(float fraction, int width);
    // A duration as the summary prints it: "740 ms" under 10 s, else "12.34 s".
    static QString durationText(qint64 ms);

signals:
    void progress(float fraction);
    // A file or folder that failed: its input path and why. A dropped folder whose output
    // folder cannot be made fails once, as the folder, though each of its files is counted.
    void failed(QString path, QString reason);
    // A copy that was written but still holds identifying data, with the elements' paths.
    void residue(QString output, QStringList paths);
    void finished();

private:
    void onOutcome(const FileOutcome &outcome);
    void finish();

    JobController m_jobs;
    QSet<QString> m_failedOutputFolders; // named once each
    QElapsedTimer m_elapsed;
    bool m_finished = false;
    bool m_stopped = false;
};
