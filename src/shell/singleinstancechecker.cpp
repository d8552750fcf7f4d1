#include "shell/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace {
constexpr int ConnectTimeoutMs = 1000;
constexpr int WriteTimeoutMs = 1000;
} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject *parent)
    : QObject(parent), m_server(new QLocalServer(this)), m_socket(nullptr)
{
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    // A stale socket file of a crashed updater makes this fail; we then run as
    // if alone, which is harmless.
    m_server->listen(serverName());
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    m_server->close();
    if (m_socket)
        m_socket->close();
}

QString SingleInstanceChecker::serverName()
{
    return serverName(QCoreApplication::applicationFilePath(), QDir::homePath());
}

QString SingleInstanceChecker::serverName(const QString &executablePath, const QString &homePath)
{
    QString key = QFileInfo(executablePath).absoluteFilePath().toLower() + homePath;
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const QByteArray bytes = key.toUtf8();
    const quint16 crc = qChecksum(bytes.constData(), uint(bytes.size()));
    return QStringLiteral("VX3ClientUpdate") + QString::number(crc, 16);
}

bool SingleInstanceChecker::notifyRunningInstance(const QString &message)
{
    QLocalSocket socket;
    socket.connectToServer(serverName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(ConnectTimeoutMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(WriteTimeoutMs);
}

void SingleInstanceChecker::onNewConnection()
{
    delete m_socket;
    m_socket = m_server->nextPendingConnection();
    if (m_socket)
        connect(m_socket, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!m_socket)
        return;
    QByteArray bytes = m_socket->readAll();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    emit otherInstanceActivate(QString::fromLatin1(bytes));
    m_socket->close();
    m_socket->deleteLater();
    m_socket = nullptr;
}
