#include "shell/singleinstancechecker.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QtTest>

class TestSingleInstanceChecker : public QObject
{
    Q_OBJECT
private slots:
    void serverNameDependsOnPathAndHome_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("home");
        QTest::addColumn<QString>("otherPath");
        QTest::addColumn<QString>("otherHome");
        QTest::addColumn<bool>("same");

        QTest::newRow("other copy") << "/opt/vx/update"
                                    << "/home/ann"
                                    << "/opt/vx2/update"
                                    << "/home/ann" << false;
        QTest::newRow("other user") << "/opt/vx/update"
                                    << "/home/ann"
                                    << "/opt/vx/update"
                                    << "/home/bob" << false;
        QTest::newRow("path case ignored") << "/opt/VX/Update"
                                           << "/home/ann"
                                           << "/opt/vx/update"
                                           << "/home/ann" << true;
        QTest::newRow("home case kept") << "/opt/vx/update"
                                        << "/home/Ann"
                                        << "/opt/vx/update"
                                        << "/home/ann" << false;
    }
    void serverNameDependsOnPathAndHome()
    {
        QFETCH(QString, path);
        QFETCH(QString, home);
        QFETCH(QString, otherPath);
        QFETCH(QString, otherHome);
        QFETCH(bool, same);
        QCOMPARE(SingleInstanceChecker::serverName(path, home) ==
                     SingleInstanceChecker::serverName(otherPath, otherHome),
                 same);
    }

    void serverNameIsCrc16OfKeyWithoutSeparators()
    {
        // Key "/1234" + "/56789" loses its slashes: "123456789", whose CRC-16 (ISO 3309) is 0x906E.
        QCOMPARE(SingleInstanceChecker::serverName(QStringLiteral("/1234"), QStringLiteral("/56789")),
                 QStringLiteral("VX3ClientUpdate906e"));
        QCOMPARE(SingleInstanceChecker::serverName(QStringLiteral("/12:34"), QStringLiteral("/5:6789")),
                 QStringLiteral("VX3ClientUpdate906e"));
    }

    void nobodyListening() { QVERIFY(!SingleInstanceChecker::notifyRunningInstance(QStringLiteral("#"))); }

    void runningInstanceReceivesText_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("received");
        QTest::newRow("raise") << QByteArray("#") << "#";
        QTest::newRow("other text") << QByteArray("hello") << "hello";
        QTest::newRow("cut at NUL") << QByteArray("#\0tail", 6) << "#";
    }
    void runningInstanceReceivesText()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QString, received);
        SingleInstanceChecker checker(nullptr);
        QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
        if (sent.contains('\0')) {
            QLocalSocket socket;
            socket.connectToServer(SingleInstanceChecker::serverName());
            QVERIFY(socket.waitForConnected(1000));
            socket.write(sent);
            QVERIFY(socket.waitForBytesWritten(1000));
        } else {
            QVERIFY(SingleInstanceChecker::notifyRunningInstance(QString::fromLatin1(sent)));
        }
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), received);
    }

    void serverStopsWithItsOwner()
    {
        {
            SingleInstanceChecker checker(nullptr);
        }
        QVERIFY(!SingleInstanceChecker::notifyRunningInstance(QStringLiteral("#")));
    }
};

QTEST_GUILESS_MAIN(TestSingleInstanceChecker)
#include "testsingleinstancechecker.moc"
