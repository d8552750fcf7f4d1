#include "session/httpdownloader.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

HTTPDownloader::HTTPDownloader(const QNetworkRequest &request, int timeoutMs)
    : m_request(request), m_timeoutMs(timeoutMs)
{
}

void HTTPDownloader::run()
{
    // No proxy of the updater's own: this manager only talks to the version server.
    QNetworkAccessManager manager;
    // The reply lives on this thread, so it is read here too; the result reaches
    // its receivers on their threads through the queued signal.
    connect(&manager, &QNetworkAccessManager::finished, this, &HTTPDownloader::on_downloadFinished,
            Qt::DirectConnection);
    QNetworkReply *reply = manager.get(m_request);
    // Stop an endless answer early rather than buffer it.
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > MaxAnswerSize)
            reply->abort();
    });
    // A server that never answers must not keep the run waiting for ever.
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, reply, &QNetworkReply::abort);
    limit.start(m_timeoutMs);
    exec();
}

void HTTPDownloader::on_downloadFinished(QNetworkReply *reply)
{
    QByteArray data;
    if (reply->error() == QNetworkReply::NoError) {
        data = reply->read(MaxAnswerSize + 1);
        if (data.size() > MaxAnswerSize)
            data.clear();
    }
    emit download_available(data);
    reply->deleteLater();
    quit();
}
