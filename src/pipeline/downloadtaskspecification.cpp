#include "pipeline/downloadtaskspecification.h"

#include "shell/configuration.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {
constexpr qint64 kChunkSize = 4096;
constexpr qint64 kReplyBufferSize = 1 << 20;
constexpr int kRetries = 4;        // so at most 5 attempts
constexpr int kIdleTickLimit = 15; // progress polls without data before an attempt times out
} // namespace

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager *manager,
                                                     const QString &remotePath, int version,
                                                     const QString &localFile, qint64 expectedSize,
                                                     QObject *parent, qreal weight)
    : TaskSpecification(parent, weight), m_Manager(manager), m_RemotePath(remotePath), m_Version(version),
      m_File(localFile), m_ExpectedSize(expectedSize), m_InitialExpectedSize(expectedSize)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    dropReply();
    // A transfer cut short by destruction must not leave a partial file behind.
    if (m_File.isOpen()) {
        m_File.close();
        m_File.remove();
    }
}

void DownloadTaskSpecification::execute()
{
    qDebug() << "Downloading" << m_RemotePath;
    emit message(QString("Downloading %1").arg(m_RemotePath));
    setState(TASK_RUNNING);
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    if (!m_File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit error(QString("Unable to create file %1 for saving").arg(m_File.fileName()));
        setFailed();
        return;
    }
    const QUrl url(Configuration::s_updateImagesUrl + QString::number(m_Version) + "/" + m_RemotePath,
                   QUrl::TolerantMode);
    qDebug() << "Requesting download of" << url;
    m_Reply = m_Manager->get(QNetworkRequest(url));
    if (!m_Reply) {
        m_File.close();
        m_File.remove();
        emit error(QString("Download failed to initialize"));
        setFailed();
        return;
    }
    // Without a bound the access manager buffers whatever the socket delivers ahead of the
    // file; a fast server would then grow memory with the file size.
    m_Reply->setReadBufferSize(kReplyBufferSize);
    if (!m_Reply->isRunning()) {
        retryOrFail(m_Reply->errorString());
        return;
    }
    connect(m_Reply, &QNetworkReply::downloadProgress, this, &DownloadTaskSpecification::onDownloadProgress);
    connect(m_Reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(m_Reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(m_Reply, &QNetworkReply::metaDataChanged, this, &DownloadTaskSpecification::onMetaDataChanged);
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    if (bytesTotal > 0 && m_ExpectedSize == -1)
        m_ExpectedSize = bytesTotal;
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_Reply)
        return;
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Redirects are not followed: the update server serves every file directly.
    if (status.isValid() && status.toInt() != 200)
        retryOrFail(QString("%1 returned %2").arg(m_RemotePath).arg(status.toInt()));
}

void DownloadTaskSpecification::onReadyRead()
{
    readAvailable();
}

bool DownloadTaskSpecification::readAvailable()
{
    char buffer[kChunkSize];
    // m_Reply is re-read on every turn: a failure handled inside the loop drops the reply.
    while (m_Reply) {
        m_IdleTicks = 0;
        const qint64 available = m_Reply->bytesAvailable();
        if (available <= 0)
            return true;
        const qint64 got = m_Reply->read(buffer, qMin(available, kChunkSize));
        if (got == 0)
            return true;
        if (got < 0) {
            retryOrFail(m_Reply->errorString());
            return false;
        }
        // A server that sends more than the product ini announced is broken or hostile;
        // stop before it fills the disk.
        if (m_InitialExpectedSize > 0 && m_BytesReceived + got > m_InitialExpectedSize) {
            retryOrFail(QString("%1 sent more than the expected %2 bytes")
                            .arg(m_RemotePath)
                            .arg(m_InitialExpectedSize));
            return false;
        }
        const qint64 written = m_File.write(buffer, got);
        if (written < 0) {
            retryOrFail(m_File.errorString());
            return false;
        }
        if (written != got) {
            retryOrFail(QString("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                            .arg(m_File.fileName())
                            .arg(got)
                            .arg(written));
            return false;
        }
        m_BytesReceived += got;
        if (m_ExpectedSize > 0)
            setProgress(qMin(1.0, qreal(m_BytesReceived) / qreal(m_ExpectedSize)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (m_Reply->error() != QNetworkReply::NoError) {
        if (m_Reply->error() == QNetworkReply::AuthenticationRequiredError)
            m_Reply->close();
        retryOrFail(m_Reply->errorString());
        return;
    }
    if (!readAvailable())
        return;
    m_Reply->close();
    dropReply();
    m_File.close();
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    qDebug() << "Download finished:" << m_RemotePath << m_File.fileName() << m_File.isOpen()
             << m_File.exists();
    emit message(QString("Downloading %1 finished").arg(m_RemotePath));
    setFinished();
}

bool DownloadTaskSpecification::retryOrFail(const QString &reason)
{
    abortTransfer();
    emit message(reason);
    if (m_Attempts++ < kRetries) {
        startDownload();
        return true;
    }
    emit message(QString("Unable to download %1").arg(m_RemotePath));
    m_File.remove();
    setFailed();
    return false;
}

void DownloadTaskSpecification::dropReply()
{
    if (!m_Reply)
        return;
    // Disconnected first, so a late signal of the abandoned reply never reaches this task.
    m_Reply->disconnect(this);
    m_Reply->deleteLater();
    m_Reply = nullptr;
}

void DownloadTaskSpecification::abortTransfer()
{
    dropReply();
    m_IdleTicks = 0;
    if (m_File.isOpen()) {
        m_File.close();
        m_File.remove();
    }
    m_LastReportedBytes = 0;
    m_ExpectedSize = m_InitialExpectedSize;
    m_BytesReceived = 0;
    setProgress(0);
}

void DownloadTaskSpecification::reset()
{
    abortTransfer();
    m_Attempts = 0;
    TaskSpecification::reset();
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state() != TASK_RUNNING)
        return;
    abortTransfer();
    setCanceled();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification *)
{
    if (m_Reply) {
        emit message(QString("Abort downloading %1").arg(m_RemotePath));
        abortTransfer();
    }
    setFailed();
}

void DownloadTaskSpecification::getDownloadProgress(qulonglong &downloadDone, qulonglong &downloadTotal,
                                                    qulonglong &speed, bool &downloading)
{
    downloadDone = qulonglong(m_BytesReceived);
    downloadTotal = m_ExpectedSize < 0 ? 0 : qulonglong(m_ExpectedSize);
    speed = qulonglong(m_BytesReceived - m_LastReportedBytes);
    m_LastReportedBytes = m_BytesReceived;
    if (state() != TASK_RUNNING || !m_Reply)
        return;
    if (m_IdleTicks++ < kIdleTickLimit)
        downloading = true;
    else
        retryOrFail(QString("file %1 timed out").arg(m_RemotePath));
}
