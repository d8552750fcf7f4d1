#include "testhttpserver.h"

#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Runs the built updater twice from the same executable.
class TestSecondInstance : public QObject
{
    Q_OBJECT
private slots:
    void secondInstanceHandsOverAndExits()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        // The first updater waits for a version answer that never comes, so it keeps running.
        TestHttpServer::Response stalled;
        stalled.fault = TestHttpServer::Response::Fault::Stall;
        server.setResponse("/version", stalled);

        QTemporaryDir temp;
        QTemporaryDir configDir;
        QVERIFY(temp.isValid() && configDir.isValid());
        QVERIFY(QDir(temp.path()).mkdir("vx3_update_log"));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", temp.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("VX3_CONFIG_DIR", configDir.path());
        env.insert("VX3_VERSION_URL", server.url("/version").toString());
        env.insert("VX3_UPDATE_IMAGES_URL", server.url("/images/").toString());
        // IPv6 only: the banner client sends nothing, keeping the banner test's port quiet.
        env.insert("VX3_BANNER_HOST", "::1");

        QProcess first;
        first.setProcessEnvironment(env);
        first.start(UPDATE_EXE, {"--clientupdate"});
        QVERIFY(first.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount("/version"), 1, 20000);

        QProcess second;
        second.setProcessEnvironment(env);
        second.start(UPDATE_EXE, {"--clientupdate", "client_linux_amd64", "1234", "#"});
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);
        first.kill();
        first.waitForFinished();

        QStringList lines;
        QDirIterator logs(temp.path() + "/voxtrelle_update_log", {"update__*.log"}, QDir::Files);
        while (logs.hasNext()) {
            QFile log(logs.next());
            QVERIFY(log.open(QIODevice::ReadOnly));
            lines += QString::fromLocal8Bit(log.readAll()).split('\n');
        }
        const QStringList hits = lines.filter("Detected other instance running, aborting");
        QCOMPARE(hits.size(), 1);
        // The second one stops before it creates a window or asks any server.
        QCOMPARE(server.requestCount("/version"), 1);
    }
};

QTEST_GUILESS_MAIN(TestSecondInstance)
#include "testsecondinstance.moc"
