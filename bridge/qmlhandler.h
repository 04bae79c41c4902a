#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

class NetHandler;
class QSettings;

// The one object through which the QML windows and the core meet, published to QML as
// `Handler`. The windows call receiveFromQml(key, value); the core answers with
// sendToQml(key, value). It owns the tag profile and the counters of the running job, starts
// anonymization jobs and owns the server client.
//
// Lives on the GUI thread. Worker threads only copy the tag profile (tagProfileSnapshot) and
// emit readError and writeFile.
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
    // starts the workers on the global thread pool. Returns without waiting for them.
    void anonymizeFolders(const QStringList &pieces);

    // A copy of the whole tag profile, taken under the job mutex so that it never overlaps
    // an edit made on the GUI thread. Safe to call from any thread.
    QJsonObject tagProfileSnapshot();

    int workerCount() const { return m_workerCount; }
    void setWorkerCount(int count) { m_workerCount = count < 1 ? 1 : count; }

signals:
    void sendToQml(QString key, QVariant value);
    void readError(QString path);
    void writeFile();

public slots:
    void receiveFromQml(QString key, QVariant value);

private slots:
    void writeFileHandler();

private:
    void startServerClient(const QStringList &serviceBaseUrls);
    void answerQmlCompleted();
    void submitSettings(const QVariant &value);

    int m_workerCount = 1;
    QSettings *m_settings = nullptr; // no parent: lives until the process ends
    NetHandler *m_netHandler = nullptr; // no parent: lives until the process ends
    QMutex m_jobMutex;
    QJsonObject m_tagProfile;
    QDateTime m_lastProgressTime;
    int m_total = 0;
    int m_done = 0;
};
