#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Runs the built `update` executable with a private temporary directory.
class TestUpdateProcess : public QObject
{
    Q_OBJECT

private slots:
    void rejectsUnusableCommandLine_data();
    void rejectsUnusableCommandLine();
};

void TestUpdateProcess::rejectsUnusableCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("marker"); // none, file, dir
    QTest::addColumn<QByteArray>("box"); // title and text of the error box
    const QByteArray abc = "Error\tInvalid version nr (abc)\n";
    QTest::newRow("plain form, version not a number")
        << QStringList{"client_linux_amd64", "abc"} << "file" << abc;
    QTest::newRow("flag form, version not a number")
        << QStringList{"--clientupdate", "client_linux_amd64", "12x", "#"} << "file"
        << QByteArray("Error\tInvalid version nr (12x)\n");
    QTest::newRow("marker is a directory") << QStringList{"client_linux_amd64", "abc"} << "dir" << abc;
    QTest::newRow("no marker") << QStringList{"client_linux_amd64", "abc"} << "none" << abc;
}

void TestUpdateProcess::rejectsUnusableCommandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, marker);
    QFETCH(QByteArray, box);
    QTemporaryDir temp;
    const QString config = temp.filePath("config");
    const QString runtime = temp.filePath("runtime");
    QVERIFY(QDir().mkdir(config));
    QVERIFY(QDir().mkdir(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    if (marker == "file")
        QVERIFY(QFile(temp.filePath("vx3_update_log")).open(QIODevice::WriteOnly));
    else if (marker == "dir")
        QVERIFY(QDir().mkdir(temp.filePath("vx3_update_log")));

    QProcess update;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", temp.path());
    env.insert("VX3_CONFIG_DIR", config);
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // Its own single-instance name, apart from other updaters the tests run.
    env.insert("HOME", temp.path());
    // Nothing may reach a real server.
    env.insert("VX3_VERSION_URL", "http://127.0.0.1:9/vx3-client-2");
    env.insert("VX3_BANNER_HOST", "127.0.0.1");
    // Answers the error box that would otherwise wait for a user.
    env.insert("QT_PLUGIN_PATH", TEST_PLUGIN_PATH);
    env.insert("QT_QPA_GENERIC_PLUGINS", "vxboxcloser");
    const QString boxLog = temp.filePath("boxes");
    env.insert("VX_TEST_BOX_LOG", boxLog);
    update.setProcessEnvironment(env);
    update.start(UPDATE_EXECUTABLE, args);
    QVERIFY(update.waitForFinished(60000));
    QCOMPARE(update.exitStatus(), QProcess::NormalExit);
    QCOMPARE(update.exitCode(), 1);
    QFile boxes(boxLog);
    QVERIFY(boxes.open(QIODevice::ReadOnly));
    QCOMPARE(boxes.readAll(), box);

    const QDir logDir(temp.filePath("voxtrelle_update_log"));
    if (marker == "none") {
        QVERIFY(!logDir.exists());
        QCOMPARE(update.readAllStandardError(), QByteArray());
        return;
    }
    const QStringList logs = logDir.entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    QFile log(logDir.filePath(logs[0]));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().trimmed().split('\n');
    QVERIFY(lines.first().endsWith("\t|\tDebug\t|\tVoxtrelle updater started"));
    QVERIFY2(lines.last().endsWith("\t|\tDebug\t|\tFailed to parse command line options, aborting"),
             lines.last().constData());
}

QTEST_GUILESS_MAIN(TestUpdateProcess)
#include "testupdateprocess.moc"
