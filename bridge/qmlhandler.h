#pragma once

#include "bridge/jobcontroller.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

class NetHandler;
class QSettings;

// The one object through which the QML windows and the core meet, published to QML as
// `Handler`. The windows call receiveFromQml(key, value); the core answers with
// sendToQml(key, value). It translates: the windows' messages into calls of the job controller,
// the server client and the settings store, and what they report into messages. The job
// controller owns the tag profile, the job's settings and the running job.
//
// Lives on the GUI thread. Its readError() and writeFile() are its controller's, passed on as
// the workers emit them, on their threads.
class QmlHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QmlHandler)

public:
    // The GUI program's bridge creates the server client and logs in; tests build one without.
    enum class ServerClient { Create, None };
    // Tests: a bridge whose server client talks to the given base URLs instead of the built-in.
    explicit QmlHandler(const QStringList &serviceBaseUrls, QObject *parent = nullptr);

    explicit QmlHandler(QObject *parent = nullptr);
    explicit QmlHandler(ServerClient serverClient, QObject *parent = nullptr);
    ~QmlHandler() override;

    // The "openFolder" message: the folders named by the "file:" URLs (one per piece) go to
    // the job controller, which starts on them and returns without waiting.
    void anonymizeFolders(const QStringList &pieces);

    // The job controller, for the tests and the program's end.
    JobController &jobs() { return m_jobs; }

signals:
    void sendToQml(QString key, QVariant value);
    // A file that could not be read or written: the input's path when it could not be read,
    // the output's when its copy could not be written. From worker threads.
    void readError(QString path);
    // One per input file, whatever became of it, from worker threads.
    void writeFile();

public slots:
    void receiveFromQml(QString key, QVariant value);

private:
    void startServerClient(const QStringList &serviceBaseUrls);
    void answerQmlCompleted();
    void submitSettings(const QVariant &value);
    void changeStandardOptions(const QVariant &value);
    void sendProgress(int done, int total);
    void sendJobOutcome(bool stopped);
    void sendReportText(const QVariant &url);

    QSettings *m_settings = nullptr; // no parent: lives until the process ends
    NetHandler *m_netHandler = nullptr; // no parent: lives until the process ends
    JobController m_jobs;
};
