#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QThread>

class QNetworkReply;

// Performs one GET on a thread of its own and hands the body over; the body is
// empty on any network or HTTP error, on an over-long answer and when the time
// limit expires.
class HTTPDownloader : public QThread
{
    Q_OBJECT

public:
    static constexpr int DefaultTimeoutMs = 30000;
    // The version answer is a few hundred bytes; anything far larger is not one.
    static constexpr qint64 MaxAnswerSize = 1024 * 1024;

    explicit HTTPDownloader(const QNetworkRequest &request, int timeoutMs = DefaultTimeoutMs);

signals:
    void download_available(QByteArray data);

protected:
    void run() override;

private slots:
    virtual void on_downloadFinished(QNetworkReply *reply);

private:
    const QNetworkRequest m_request;
    const int m_timeoutMs;
};
