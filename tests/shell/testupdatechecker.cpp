#include "UpdateMessage.pb.h"
#include "session/updatechecker.h"
#include "shell/configuration.h"
#include "testhttpserver.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {

struct ChannelEntry
{
    std::string name;
    int number;
    std::string text;
};

// A serialized Versions answer; withLicence false leaves out the required licence id.
QByteArray versionsAnswer(const std::vector<ChannelEntry> &channels, bool withLicence = true)
{
    com::voxtrelle::update::Versions versions;
    if (withLicence)
        versions.set_licenseagreementid(3);
    for (const auto &c : channels) {
        auto *channel = versions.add_channels();
        channel->set_name(c.name);
        channel->set_version_number(c.number);
        channel->set_version_string(c.text);
    }
    return QByteArray::fromStdString(versions.SerializePartialAsString());
}

UpdateVersions hash(const QList<QStringList> &entries)
{
    UpdateVersions versions;
    for (const QStringList &e : entries)
        versions.insert(e[0], qMakePair(e[1], e[2]));
    return versions;
}

} // namespace

Q_DECLARE_METATYPE(TestHttpServer::Response)

class TestUpdateChecker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void deliversServerAnswer_data();
    void deliversServerAnswer();
    void givesUpWhenServerNeverAnswers();
    void destroyingPendingCheckerEndsRequest();
    void picksChannelEntry_data();
    void picksChannelEntry();

private:
    TestHttpServer m_server;
};

void TestUpdateChecker::initTestCase()
{
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
    QVERIFY(m_server.listen());
    qputenv("VX3_VERSION_URL", m_server.url("/vx3-client-2").toEncoded());
}

void TestUpdateChecker::deliversServerAnswer_data()
{
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<UpdateVersions>("expected");

    using R = TestHttpServer::Response;
    QTest::newRow("stable and beta") << R::ok(versionsAnswer(
                                            {{"stable", 5, "3.0.5"}, {"beta", 6, "3.0.6-beta"}}))
                                     << hash({{"stable", "5", "3.0.5"}, {"beta", "6", "3.0.6-beta"}});
    QTest::newRow("first of duplicate channels wins")
        << R::ok(versionsAnswer({{"stable", 5, "3.0.5"}, {"stable", 7, "3.0.7"}}))
        << hash({{"stable", "5", "3.0.5"}});
    QTest::newRow("utf-8 texts") << R::ok(versionsAnswer({{"alpha", 12, "3.1 \xc3\xa4lpha"}}))
                                 << hash({{"alpha", "12", QString::fromUtf8("3.1 \xc3\xa4lpha")}});
    QTest::newRow("no channels") << R::ok(versionsAnswer({})) << UpdateVersions();
    QTest::newRow("missing licence id")
        << R::ok(versionsAnswer({{"stable", 5, "3.0.5"}}, false)) << UpdateVersions();
    QTest::newRow("not found") << R::withStatus(404, versionsAnswer({{"stable", 5, "3.0.5"}}))
                               << UpdateVersions();
    QTest::newRow("server error") << R::withStatus(500) << UpdateVersions();
    QTest::newRow("empty body") << R::ok(QByteArray()) << UpdateVersions();
    QTest::newRow("unreadable body") << R::ok("<html>maintenance</html>") << UpdateVersions();
    R cut = R::ok(versionsAnswer({{"stable", 5, "3.0.5"}, {"beta", 6, "3.0.6-beta"}}));
    cut.fault = R::Fault::CloseAfter;
    cut.faultOffset = cut.body.size() - 3;
    QTest::newRow("cut mid-body") << cut << UpdateVersions();
    R noLength = R::ok(versionsAnswer({{"beta", 6, "3.0.6-beta"}}));
    noLength.sendContentLength = false;
    QTest::newRow("no content length") << noLength << hash({{"beta", "6", "3.0.6-beta"}});
    // A valid message padded with an unknown field far beyond any real answer.
    QByteArray huge = versionsAnswer({{"stable", 5, "3.0.5"}});
    huge += QByteArray("\x1a\x80\x80\x50", 4) + QByteArray(0x140000, 'x');
    QTest::newRow("over-long answer") << R::ok(huge) << UpdateVersions();
}

void TestUpdateChecker::deliversServerAnswer()
{
    QFETCH(TestHttpServer::Response, response);
    QFETCH(UpdateVersions, expected);
    m_server.setResponse("/vx3-client-2", response);
    const int before = m_server.requestCount("/vx3-client-2");

    QPointer<UpdateChecker> checker = new UpdateChecker(nullptr);
    QSignalSpy answer(checker.data(), &UpdateChecker::update_available);
    checker->checkForUpdate();
    QVERIFY(answer.wait(20000));
    QCOMPARE(answer.count(), 1);
    QCOMPARE(answer.at(0).at(0).value<UpdateVersions>(), expected);
    // Qt may resend a request whose connection broke, so at least one.
    QVERIFY(m_server.requestCount("/vx3-client-2") > before);
    QCOMPARE(m_server.requests().last().method, QByteArray("GET"));
    // One answer per check, then the checker is gone.
    QTRY_VERIFY(checker.isNull());
}

void TestUpdateChecker::givesUpWhenServerNeverAnswers()
{
    TestHttpServer::Response stall;
    stall.fault = TestHttpServer::Response::Fault::Stall;
    m_server.setResponse("/vx3-client-2", stall);

    QPointer<UpdateChecker> checker = new UpdateChecker(nullptr);
    checker->setTimeout(300);
    QSignalSpy answer(checker.data(), &UpdateChecker::update_available);
    checker->checkForUpdate();
    QVERIFY(answer.wait(20000));
    QCOMPARE(answer.at(0).at(0).value<UpdateVersions>(), UpdateVersions());
    QTRY_VERIFY(checker.isNull());
}

void TestUpdateChecker::destroyingPendingCheckerEndsRequest()
{
    TestHttpServer::Response stall;
    stall.fault = TestHttpServer::Response::Fault::Stall;
    m_server.setResponse("/vx3-client-2", stall);
    const int before = m_server.requestCount("/vx3-client-2");

    auto *checker = new UpdateChecker(nullptr);
    checker->checkForUpdate();
    QTRY_COMPARE(m_server.requestCount("/vx3-client-2"), before + 1);
    QTRY_COMPARE(m_server.openConnections(), 1);
    // The request thread must end with its checker, not linger on the stalled connection.
    delete checker;
    QTRY_COMPARE(m_server.openConnections(), 0);
}

void TestUpdateChecker::picksChannelEntry_data()
{
    QTest::addColumn<UpdateVersions>("versions");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("text");

    const UpdateVersions all =
        hash({{"stable", "5", "3.0.5"}, {"beta", "6", "3.0.6-beta"}, {"alpha", "8", "a8"}});
    QTest::newRow("stable") << all << int(CHANNEL_STABLE) << "5"
                            << "3.0.5";
    QTest::newRow("beta") << all << int(CHANNEL_BETA) << "6"
                          << "3.0.6-beta";
    QTest::newRow("alpha") << all << int(CHANNEL_ALPHA) << "8"
                           << "a8";
    QTest::newRow("unknown channel 3") << all << 3 << QString() << QString();
    QTest::newRow("unknown channel -1") << all << -1 << QString() << QString();
    QTest::newRow("channel missing") << hash({{"stable", "5", "3.0.5"}}) << int(CHANNEL_BETA) << QString()
                                     << QString();
}

void TestUpdateChecker::picksChannelEntry()
{
    QFETCH(UpdateVersions, versions);
    QFETCH(int, channel);
    QFETCH(QString, number);
    QFETCH(QString, text);
    const QPair<QString, QString> entry = getChannelVersion(versions, channel);
    QCOMPARE(entry.first, number);
    QCOMPARE(entry.second, text);
}

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "testupdatechecker.moc"
