#include "ui/banner.h"

#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>
#include <memory>

namespace {
QStringList s_log;

void collect(QtMsgType, const QMessageLogContext &, const QString &text)
{
    s_log << text;
}

int countLines(const QString &text)
{
    int n = 0;
    for (const QString &line : s_log)
        n += line.startsWith(text) ? 1 : 0;
    return n;
}

// A banner server on 127.0.0.1 that records each request and answers it
// with the configured datagram (or not at all).
class FakeBannerServer : public QObject
{
public:
    // A socket whose bind failed cannot be bound again, so each attempt uses a new one.
    bool listen()
    {
        m_socket.reset(new QUdpSocket);
        if (!m_socket->bind(QHostAddress::LocalHost, Banner::ServerPort))
            return false;
        connect(m_socket.get(), &QUdpSocket::readyRead, this, [this] {
            while (m_socket->hasPendingDatagrams()) {
                QByteArray request(int(m_socket->pendingDatagramSize()), '\0');
                QHostAddress sender;
                quint16 port = 0;
                m_socket->readDatagram(request.data(), request.size(), &sender, &port);
                m_requests << qMakePair(port, request);
                if (m_answers)
                    m_socket->writeDatagram(m_answer, sender, port);
            }
        });
        return true;
    }

    void expect(const QByteArray &answer, bool answers)
    {
        m_answer = answer;
        m_answers = answers;
        m_requests.clear();
    }

    // Requests from one client: another process on this machine may talk to the port too.
    QList<QByteArray> requestsFrom(const Banner &banner) const
    {
        const quint16 port = banner.findChild<QUdpSocket *>()->localPort();
        QList<QByteArray> result;
        for (const auto &request : m_requests)
            if (request.first == port)
                result << request.second;
        return result;
    }

private:
    std::unique_ptr<QUdpSocket> m_socket;
    QByteArray m_answer;
    bool m_answers = false;
    QList<QPair<quint16, QByteArray>> m_requests;
};
} // namespace

class TestBanner : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("VX3_BANNER_HOST", "127.0.0.1");
        qInstallMessageHandler(collect);
        // The port is fixed; another run of this test elsewhere on the machine may hold it for a while.
        QTRY_VERIFY2_WITH_TIMEOUT(m_server.listen(), "UDP port 2009 on 127.0.0.1 stays taken", 120000);
    }
    void init() { s_log.clear(); }

    void interpretsAnswer_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("bannerUrl");
        QTest::addColumn<QString>("clickUrl");

        QTest::newRow("image and link") << QByteArray("http://img.example/b.jpg,https://www.example/x?a=1")
                                        << true << "http://img.example/b.jpg"
                                        << "https://www.example/x?a=1";
        QTest::newRow("two commas") << QByteArray("http://a/b.jpg,http://c,d") << false << QString()
                                    << QString();
        QTest::newRow("no comma") << QByteArray("http://a/b.jpg") << false << QString() << QString();
        QTest::newRow("trailing comma")
            << QByteArray("http://a/b.jpg,") << true << "http://a/b.jpg" << QString();
        QTest::newRow("spaces kept") << QByteArray(" a , b ") << true << " a "
                                     << " b ";

        // Only the first 1024 bytes count: the second comma at byte 1100 is cut away.
        const QByteArray image = "http://img.example/long.jpg";
        const QByteArray link = "http://l/" + QByteArray(1024 - image.size() - 1 - 9, 'c');
        QByteArray longAnswer = image + ',' + link;
        QCOMPARE(longAnswer.size(), 1024);
        longAnswer += QByteArray(75, 'z') + ',' + QByteArray(1500 - 1024 - 76, 'y');
        QCOMPARE(longAnswer.size(), 1500);
        QTest::newRow("1500 bytes") << longAnswer << true << QString::fromLatin1(image)
                                    << QString::fromLatin1(link);
    }

    void interpretsAnswer()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, accepted);
        QFETCH(QString, bannerUrl);
        QFETCH(QString, clickUrl);

        m_server.expect(answer, true);
        Banner banner(nullptr);
        QSignalSpy found(&banner, &Banner::bannerFound);
        banner.run();

        if (accepted) {
            QTRY_COMPARE(found.count(), 1);
            QCOMPARE(found.at(0).at(0).toString(), bannerUrl);
            QCOMPARE(found.at(0).at(1).toString(), clickUrl);
        } else {
            QTRY_COMPARE(countLines(QStringLiteral("invalid response:")), 1);
            QCOMPARE(found.count(), 0);
        }
        QCOMPARE(m_server.requestsFrom(banner), QList<QByteArray>{QByteArray("\x01\x01", 2)});
        QCOMPARE(countLines(QStringLiteral("get banner from server timed out")), 0);
    }

    void ipv6OnlyHostGetsNoRequest()
    {
        qputenv("VX3_BANNER_HOST", "::1");
        m_server.expect("a,b", true);
        Banner banner(nullptr);
        QSignalSpy found(&banner, &Banner::bannerFound);
        banner.run();
        QTRY_COMPARE(countLines(QStringLiteral("Banner server lookup resolved, error = 0")), 1);
        QTest::qWait(200);
        QCOMPARE(countLines(QStringLiteral("Sending banner request")), 0);
        QVERIFY(m_server.requestsFrom(banner).isEmpty());
        QCOMPARE(found.count(), 0);
        qputenv("VX3_BANNER_HOST", "127.0.0.1");
    }

    void unansweredRequestIsRepeatedOnce()
    {
        m_server.expect(QByteArray(), false);
        Banner banner(nullptr);
        QSignalSpy found(&banner, &Banner::bannerFound);
        banner.run();

        const QString timedOut = QStringLiteral("get banner from server timed out");
        QTRY_COMPARE_WITH_TIMEOUT(countLines(timedOut), 2, 20000);
        QCOMPARE(m_server.requestsFrom(banner).size(), 2);
        // Long enough for a third timeout to show if the timer kept running.
        QTest::qWait(Banner::ReplyTimeoutMs + 1000);
        QCOMPARE(countLines(timedOut), 2);
        QCOMPARE(m_server.requestsFrom(banner).size(), 2);
        QCOMPARE(found.count(), 0);
    }

private:
    FakeBannerServer m_server;
};

QTEST_GUILESS_MAIN(TestBanner)
#include "testbanner.moc"
