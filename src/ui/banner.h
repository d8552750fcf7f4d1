#pragma once

#include <QBasicTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QUdpSocket>

// Client of the banner server: one small UDP exchange that names the banner
// image and the page to open when it is clicked.
class Banner : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 ServerPort = 2009;
    static constexpr int ReplyTimeoutMs = 5000;
    static constexpr int MaxReplySize = 1024;

    explicit Banner(QObject *parent);

    void run();
    void sendRequest();

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void onResolved(QHostInfo hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    QUdpSocket *m_socket;
    QBasicTimer m_timer;
    QHostAddress m_address;
    int m_retries;
};
