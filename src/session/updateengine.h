#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class Configuration;
class MainTaskSpecification;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Runs one update session at a time for the window: prepares it, starts the
// main task, forwards its reports, polls download counters, cancels on
// request and cleans up at the end. Also fetches the advertising banner.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    enum State
    {
        PRE_INIT = 0,
        POST_INIT = 1,
        RUNNING = 2,
        FINISHED = 3,
        CANCELED = 4
    };
    Q_ENUM(State)

    static constexpr int PollIntervalMs = 1000;
    static constexpr qint64 MaxBannerSize = 270000;

    UpdateEngine(Configuration *config, QObject *parent);
    ~UpdateEngine() override;

    bool initialize();
    bool startUpdate();
    bool isSessionActive() const { return m_State == POST_INIT || m_State == RUNNING; }
    State state() const { return State(m_State); }
    // The running main task; null when no run exists.
    MainTaskSpecification *mainTask() const { return m_mainTask; }
    void resetAfterCancel();
    void getBanner();

    static void removeOldFiles(const QString &dir);
    static void removeQt4Files(const QString &dir);
    // True for a directory this program creates for a session: voxtrelle_temp_<n>
    // directly inside the temp dir, a real directory owned by this user.
    static bool isSessionDir(const QString &dir);

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(qulonglong downloadDone, qulonglong downloadTotal, qulonglong speed,
                          bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

public slots:
    void cancelUpdate();

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();
    void onBannerReadyRead();

private:
    void setupProxy();
    void cleanup();
    // Reads the session record, accepting it only when it names a session dir.
    static bool readSessionRecord(int *version, QString *dir, QString *vx3dir);
    static bool removeSessionDir(const QString &dir);
    static void removeDirectoryContents(const QString &path);
    void dropBannerReply();

    int m_State;
    Configuration *m_config;
    MainTaskSpecification *m_mainTask;
    QTimer *m_timer;
    QNetworkAccessManager *m_networkManager;
    QString m_bannerClickUrl;
    QNetworkReply *p_BannerReply;
    QByteArray m_bannerData;
    // An invalid proxy found while constructing; no session starts with it.
    QString m_proxyError;
};
