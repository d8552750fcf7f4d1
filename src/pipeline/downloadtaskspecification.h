#pragma once

#include "tasks/taskspecification.h"

#include <QFile>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches one file below the version directory of the update server into one local file,
// chunk by chunk, with its own retries, time-out and progress counters. The network work
// goes through the session's shared access manager, which is not owned.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // expectedSize -1: unknown; a known size bounds what an attempt may receive.
    DownloadTaskSpecification(QNetworkAccessManager *manager, const QString &remotePath, int version,
                              const QString &localFile, qint64 expectedSize, QObject *parent, qreal weight);
    ~DownloadTaskSpecification() override;

    void getDownloadProgress(qulonglong &downloadDone, qulonglong &downloadTotal, qulonglong &speed,
                             bool &downloading) override;

public slots:
    void execute() override;
    void reset() override;
    void cancel() override;

protected:
    void handleOtherTaskCancelled(TaskSpecification *other) override;
    // Called once an attempt has ended without error and the file is closed.
    virtual void downloadFinished();

    void startDownload();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();

private:
    bool retryOrFail(const QString &reason);
    void abortTransfer();
    bool readAvailable();
    void dropReply();

    QNetworkAccessManager *m_Manager;
    // Guarded: the reply belongs to the network manager, which may be destroyed first.
    QPointer<QNetworkReply> m_Reply;
    int m_IdleTicks = 0;
    QString m_RemotePath;
    int m_Version;
    QFile m_File;
    int m_Attempts = 0;
    qint64 m_LastReportedBytes = 0;
    qint64 m_ExpectedSize;
    qint64 m_InitialExpectedSize;
    qint64 m_BytesReceived = 0;
};
