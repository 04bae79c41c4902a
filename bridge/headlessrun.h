#pragma once

#include "bridge/qmlhandler.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QStringList>

// One anonymization job without windows, for the headless command: it builds the same bridge
// as the GUI program (without the server client) and sends it the same "openFolder" message
// the window sends, so it runs exactly the code the window runs. It passes on what the command
// prints: the progress, every failure with its reason (as it comes: none is kept), the job's
// outcome folder by folder.
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

    // The "openFolder" value for the folders: one "file:" URL per line, as a drop sends it.
    static QString openFolderValue(const QStringList &folders);

    // Applies to the job started next: the standard clean-up on top of the profile, a copy
    // with residue failing instead of being kept, the key of the UID map.
    void setStandardCleanup(bool on) { m_handler.setStandardCleanup(on); }
    void setStrict(bool on) { m_handler.setStrict(on); }
    void setImageText(BurnedInText::OcrMode ocr, bool blank) { m_handler.setImageText(ocr, blank); }
    void setUidKey(const QByteArray &key) { m_handler.setUidKey(key); }
    // The standard clean-up's options, copies named from the data, the site's link file and
    // this machine's shard of the job.
    void setStandardOptions(StandardOptions::Set options) { m_handler.setStandardOptions(options); }
    void setRename(bool on) { m_handler.setRename(on); }
    void setLinkFile(std::shared_ptr<LinkFile> links) { m_handler.setLinkFile(std::move(links)); }
    void setShard(const JobPlan::Shard &shard) { m_handler.setShard(shard); }

    // Starts the job; finished() follows on a later turn of the event loop, once the job's
    // outcome is in (its reports written), also for a job of no files.
    void start(const QStringList &folders);

    // Stops the job between files: each worker finishes the file it holds, the files done so
    // far are counted and reported, then finished() follows. Returns when the workers have
    // stopped.
    void stop();
    bool wasStopped() const { return m_stopped; }

    int files() const { return m_handler.total(); }
    int done() const { return m_handler.done(); }
    const JobReport::Job &job() const { return m_handler.job(); }
    qint64 bytesRead() const { return m_handler.bytesRead(); }
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
    void onMessage(const QString &key, const QVariant &value);
    void finish();

    QmlHandler m_handler{ QmlHandler::ServerClient::None };
    QSet<QString> m_failedOutputFolders; // named once each
    QElapsedTimer m_elapsed;
    bool m_finished = false;
    bool m_stopped = false;
};
