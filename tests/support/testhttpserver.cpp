#include "testhttpserver.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <sys/socket.h>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// Makes the next close of the socket an abortive one (RST), as a crashed server would.
void setResetOnClose(QTcpSocket *socket)
{
    const struct linger lingerOption = {1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lingerOption, sizeof(lingerOption));
}

} // namespace

QByteArray TestHttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

TestHttpServer::Response TestHttpServer::Response::ok(const QByteArray &body)
{
    Response r;
    r.body = body;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::withStatus(int code, const QByteArray &body)
{
    Response r;
    r.status = code;
    r.body = body;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::redirect(int code, const QUrl &location)
{
    Response r;
    r.status = code;
    r.headers.append({"Location", location.toEncoded()});
    return r;
}

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

quint16 TestHttpServer::port() const
{
    return m_server.serverPort();
}

QUrl TestHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void TestHttpServer::setResponse(const QByteArray &path, const Response &response)
{
    m_handlers.insert(path, [response](const Request &) { return response; });
}

void TestHttpServer::setHandler(const QByteArray &path, const Handler &handler)
{
    m_handlers.insert(path, handler);
}

void TestHttpServer::removeHandler(const QByteArray &path)
{
    m_handlers.remove(path);
}

int TestHttpServer::requestCount(const QByteArray &path) const
{
    int n = 0;
    for (const auto &r : m_requests) {
        if (r.path == path)
            ++n;
    }
    return n;
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        m_buffers.insert(socket, QByteArray());
        m_connections.insert(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }
}

void TestHttpServer::onReadyRead(QTcpSocket *socket)
{
    auto it = m_buffers.find(socket);
    if (it == m_buffers.end()) {
        // One request per connection; anything after it is ignored.
        socket->readAll();
        return;
    }
    it->append(socket->readAll());
    const QByteArray &buffer = *it;
    const int headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;

    Request request;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    const QByteArray target = requestLine.value(1);
    const int q = target.indexOf('?');
    request.path = q < 0 ? target : target.left(q);
    request.query = q < 0 ? QByteArray() : target.mid(q + 1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    const qint64 bodyLength = request.header("Content-Length").toLongLong();
    if (buffer.size() - (headerEnd + 4) < bodyLength)
        return; // wait for the rest of the body
    request.body = buffer.mid(headerEnd + 4, int(bodyLength));
    m_buffers.erase(it);

    m_requests.append(request);
    emit requestReceived(request);
    const auto handler = m_handlers.constFind(request.path);
    respond(socket,
            handler == m_handlers.constEnd() ? Response::withStatus(404, "not found") : (*handler)(request));
}

void TestHttpServer::respond(QTcpSocket *socket, const Response &response)
{
    if (response.fault == Response::Fault::Stall)
        return;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                      (response.reason.isEmpty() ? reasonPhrase(response.status) : response.reason) + "\r\n";
    for (const auto &h : response.headers)
        head += h.first + ": " + h.second + "\r\n";
    if (response.sendContentLength)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);

    qint64 end = response.body.size();
    if (response.fault != Response::Fault::None)
        end = qBound<qint64>(0, response.faultOffset, end);
    sendBodyPiece(socket, response, 0, end);
}

void TestHttpServer::sendBodyPiece(QTcpSocket *socket, const Response &response, qint64 offset, qint64 end)
{
    const qint64 piece =
        response.chunkSize > 0 ? qMin<qint64>(response.chunkSize, end - offset) : end - offset;
    socket->write(response.body.constData() + offset, piece);
    offset += piece;
    if (offset >= end) {
        finish(socket, response);
        return;
    }
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(response.chunkIntervalMs, this, [this, guard, response, offset, end] {
        if (guard)
            sendBodyPiece(guard, response, offset, end);
    });
}

void TestHttpServer::finish(QTcpSocket *socket, const Response &response)
{
    switch (response.fault) {
    case Response::Fault::StallAfter:
    case Response::Fault::Stall:
        socket->flush();
        return;
    case Response::Fault::ResetAfter:
        setResetOnClose(socket);
        break;
    case Response::Fault::None:
    case Response::Fault::CloseAfter:
        break;
    }
    socket->disconnectFromHost();
}
