#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QTcpServer>
#include <QUrl>
#include <functional>

class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for tests. It lives on the thread that
// created it, so that thread must run its event loop (QTRY_*, QSignalSpy::wait,
// QEventLoop) while clients talk to it.
//
// Answers are chosen per request path (the part of the URL before '?'):
//
//   TestHttpServer server;
//   QVERIFY(server.listen());
//   server.setResponse("/ok", TestHttpServer::Response::ok("hello"));
//   server.setResponse("/moved", TestHttpServer::Response::redirect(302, server.url("/ok")));
//   server.setResponse("/gone", TestHttpServer::Response::withStatus(404));
//   server.setHandler("/echo", [](const TestHttpServer::Request &r) {
//       return TestHttpServer::Response::ok(r.body);
//   });
//   QNetworkRequest req(server.url("/ok"));
//
// A path without a handler is answered with 404. Every answer carries
// "Connection: close" and the connection is closed after the body, so each
// request uses a connection of its own. Faults (stall, cut, slow delivery,
// missing Content-Length) are described in Response.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    struct Request
    {
        QByteArray method;
        QByteArray path;  // without the query
        QByteArray query; // without the '?'
        Headers headers;  // names as sent
        QByteArray body;

        // Case-insensitive lookup; empty when absent.
        QByteArray header(const QByteArray &name) const;
    };

    struct Response
    {
        // What happens after the request has been read.
        enum class Fault
        {
            None,       // send everything, then close
            Stall,      // send nothing, keep the connection open until the server goes away
            StallAfter, // send the headers and faultOffset body bytes, then keep the connection open
            CloseAfter, // send the headers and faultOffset body bytes, then close the connection
            ResetAfter, // like CloseAfter, but abort the connection instead of a graceful close
        };

        int status = 200;
        QByteArray reason; // empty: the usual phrase for the status
        Headers headers;   // extra headers, sent in this order
        QByteArray body;
        // False: no Content-Length header; the end of the body is the end of the connection.
        bool sendContentLength = true;
        Fault fault = Fault::None;
        qint64 faultOffset = 0;
        // Slow delivery: the body goes out in pieces of chunkSize bytes, one every
        // chunkIntervalMs milliseconds. chunkSize 0 sends it at once.
        int chunkSize = 0;
        int chunkIntervalMs = 0;

        static Response ok(const QByteArray &body);
        static Response withStatus(int code, const QByteArray &body = QByteArray());
        static Response redirect(int code, const QUrl &location);
    };

    using Handler = std::function<Response(const Request &)>;

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Listens on 127.0.0.1 at a free port.
    bool listen();
    quint16 port() const;
    // http://127.0.0.1:<port><path>
    QUrl url(const QString &path) const;

    void setResponse(const QByteArray &path, const Response &response);
    void setHandler(const QByteArray &path, const Handler &handler);
    void removeHandler(const QByteArray &path);

    // Requests received so far, in arrival order (complete requests only).
    QList<Request> requests() const { return m_requests; }
    int requestCount(const QByteArray &path) const;
    // Connections the client has not closed yet (a stalled one stays open until the client gives up).
    int openConnections() const { return m_connections.size(); }

signals:
    void requestReceived(const TestHttpServer::Request &request);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const Response &response);
    void sendBodyPiece(QTcpSocket *socket, const Response &response, qint64 offset, qint64 end);
    void finish(QTcpSocket *socket, const Response &response);

    QTcpServer m_server;
    QHash<QByteArray, Handler> m_handlers;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QSet<QTcpSocket *> m_connections;
    QList<Request> m_requests;
};
