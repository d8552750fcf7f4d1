#include "ui/banner.h"

#include "shell/serverurls.h"

#include <QDebug>
#include <QTimerEvent>

Banner::Banner(QObject *parent) : QObject(parent), m_socket(new QUdpSocket(this)), m_retries(0)
{
    qDebug() << "Creating Banner";
    m_socket->bind(quint16(0));
    connect(m_socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &Banner::onError);
}

void Banner::run()
{
    qDebug() << "Looking up banner server";
    const QString host = ServerUrls::bannerHost();
    // Qt answers a literal address with a reverse lookup; a staging or test
    // address needs no name service at all.
    const QHostAddress literal(host);
    if (!literal.isNull()) {
        QHostInfo info;
        info.setAddresses({literal});
        QMetaObject::invokeMethod(
            this, [this, info] { onResolved(info); }, Qt::QueuedConnection);
        return;
    }
    QHostInfo::lookupHost(host, this, SLOT(onResolved(QHostInfo)));
}

void Banner::sendRequest()
{
    qDebug() << "Sending banner request to" << m_address;
    static const char request[2] = {0x01, 0x01};
    if (m_socket->writeDatagram(request, sizeof request, m_address, ServerPort) != sizeof request) {
        qDebug() << "Failed to write to banner server";
        m_timer.stop();
        return;
    }
    m_timer.start(ReplyTimeoutMs, this);
}

void Banner::timerEvent(QTimerEvent *event)
{
    qDebug() << "get banner from server timed out";
    if (event->timerId() == m_timer.timerId()) {
        if (m_retries++ <= 0)
            sendRequest();
        else
            m_timer.stop();
    }
    QObject::timerEvent(event);
}

void Banner::onResolved(QHostInfo hostInfo)
{
    qDebug() << "Banner server lookup resolved, error =" << int(hostInfo.error());
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty())
        return;
    m_address.clear();
    for (const QHostAddress &address : hostInfo.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_address = address;
            break;
        }
    }
    if (!m_address.isNull())
        sendRequest();
}

void Banner::onReadyRead()
{
    m_timer.stop();
    if (!m_socket)
        qFatal("m_socket");
    char buffer[MaxReplySize];
    const qint64 size = m_socket->readDatagram(buffer, sizeof buffer);
    if (size < 0) {
        qDebug() << "Received no data from banner server";
        return;
    }
    const QString reply = QString::fromLatin1(buffer, int(size));
    qDebug() << "Reply from banner server:" << reply;
    const QStringList parts = reply.split(QLatin1Char(','));
    if (parts.size() == 2)
        emit bannerFound(parts.at(0), parts.at(1));
    else
        qDebug() << "invalid response:" << reply;
}

void Banner::onError(QAbstractSocket::SocketError socketError)
{
    qDebug() << "banner had socketerror:" << socketError;
    m_timer.stop();
}
