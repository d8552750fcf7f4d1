#include "testhttpserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(TestHttpServer::Response)

// The fault modes other tests rely on must really reach a Qt client as described.
class TestTestHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void deliversAnswersAndFaults_data();
    void deliversAnswersAndFaults();
    void stallsWithoutAnswer();
    void recordsRequests();
};

void TestTestHttpServer::deliversAnswersAndFaults_data()
{
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("failed");
    QTest::addColumn<QByteArray>("received"); // null: not checked
    QTest::addColumn<QByteArray>("location");

    using R = TestHttpServer::Response;
    QTest::newRow("ok") << R::ok("hello") << 200 << false << QByteArray("hello") << QByteArray();
    QTest::newRow("unhandled path answers 404")
        << R() << 404 << true << QByteArray("not found") << QByteArray();
    R noLength = R::ok("no length header");
    noLength.sendContentLength = false;
    QTest::newRow("no content length")
        << noLength << 200 << false << QByteArray("no length header") << QByteArray();
    R cut = R::ok("hello world");
    cut.fault = R::Fault::CloseAfter;
    cut.faultOffset = 5;
    QTest::newRow("cut mid-body") << cut << 200 << true << QByteArray("hello") << QByteArray();
    R slow = R::ok("abcdef");
    slow.chunkSize = 2;
    slow.chunkIntervalMs = 10;
    R reset = cut;
    reset.fault = R::Fault::ResetAfter;
    QTest::newRow("reset mid-body") << reset << 200 << true << QByteArray() << QByteArray();
    QTest::newRow("slow pieces") << slow << 200 << false << QByteArray("abcdef") << QByteArray();
    QTest::newRow("redirect") << R::redirect(302, QUrl("http://127.0.0.1:1/elsewhere")) << 302 << false
                              << QByteArray("") << QByteArray("http://127.0.0.1:1/elsewhere");
}

void TestTestHttpServer::deliversAnswersAndFaults()
{
    QFETCH(TestHttpServer::Response, response);
    QFETCH(int, status);
    QFETCH(bool, failed);
    QFETCH(QByteArray, received);
    QFETCH(QByteArray, location);

    TestHttpServer server;
    QVERIFY(server.listen());
    if (QByteArray(QTest::currentDataTag()) != "unhandled path answers 404")
        server.setResponse("/file", response);

    QNetworkAccessManager manager;
    QNetworkRequest request(server.url("/file"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager.get(request);
    QByteArray body;
    connect(reply, &QNetworkReply::readyRead, this, [&] { body += reply->readAll(); });
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    body += reply->readAll();

    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(reply->error() != QNetworkReply::NoError, failed);
    if (!received.isNull())
        QCOMPARE(body, received);
    QCOMPARE(reply->rawHeader("Location"), location);
    delete reply;
}

void TestTestHttpServer::stallsWithoutAnswer()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    TestHttpServer::Response stall;
    stall.fault = TestHttpServer::Response::Fault::StallAfter;
    stall.body = "partial body";
    stall.faultOffset = 4;
    server.setResponse("/stall", stall);

    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(server.url("/stall")));
    QByteArray body;
    connect(reply, &QNetworkReply::readyRead, this, [&] { body += reply->readAll(); });
    QTRY_COMPARE(body, QByteArray("part"));
    QTest::qWait(200);
    QVERIFY(!reply->isFinished());
    QCOMPARE(server.openConnections(), 1);
    reply->abort();
    QTRY_COMPARE(server.openConnections(), 0);
    delete reply;
}

void TestTestHttpServer::recordsRequests()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    server.setHandler("/echo", [](const TestHttpServer::Request &r) {
        return TestHttpServer::Response::ok(r.method + ' ' + r.query + ' ' + r.header("x-probe") + ' ' +
                                            r.body);
    });

    QNetworkAccessManager manager;
    QNetworkRequest request(server.url("/echo?a=1"));
    request.setRawHeader("X-Probe", "42");
    request.setHeader(QNetworkRequest::ContentTypeHeader, "text/plain");
    QNetworkReply *reply = manager.post(request, QByteArray("payload"));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(reply->readAll(), QByteArray("POST a=1 42 payload"));
    QCOMPARE(server.requestCount("/echo"), 1);
    QCOMPARE(server.requests().value(0).path, QByteArray("/echo"));
    delete reply;
}

QTEST_GUILESS_MAIN(TestTestHttpServer)
#include "testtesthttpserver.moc"
