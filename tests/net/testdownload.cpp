#include "pipeline/downloadfilelisttaskspecification.h"
#include "pipeline/downloadfiletaskspecification.h"
#include "pipeline/downloadtaskspecification.h"
#include "session/updateengine.h"
#include "shell/configuration.h"
#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using Response = TestHttpServer::Response;

namespace {

constexpr int kVersion = 1234;

QByteArray pattern(int size, int seed = 0)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + seed * 13 + i / 251) % 256);
    return data;
}

QString sha512(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex();
}

Response stallAfter(const QByteArray &body, qint64 offset)
{
    Response r = Response::ok(body);
    r.fault = Response::Fault::StallAfter;
    r.faultOffset = offset;
    return r;
}

// Everything a task reports, in order.
struct Recorder
{
    QStringList messages;
    QStringList errors;
    QList<qreal> progress;
    int ends = 0;

    void attach(TaskSpecification *task)
    {
        QObject::connect(task, &TaskSpecification::message, [this](const QString &m) { messages << m; });
        QObject::connect(task, &TaskSpecification::error, [this](const QString &e) { errors << e; });
        QObject::connect(task, &TaskSpecification::updateProgress, [this](qreal p) { progress << p; });
        QObject::connect(task, &TaskSpecification::finished, [this] { ++ends; });
        QObject::connect(task, &TaskSpecification::canceled, [this] { ++ends; });
    }
    int count(const QString &text) const { return messages.count(text); }
};

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void endsAsServerBehaves_data();
    void endsAsServerBehaves();
    void retriesAfterFifteenIdlePollsFromByteZero();
    void reportsExpectedSize_data();
    void reportsExpectedSize();
    void capsProgressAtOne();
    void cancelMidTransferLeavesNoFile();

    void downloadsListIntoTempDir();
    void emptyListNeedsNoDownloads();
    void failsWithoutRequestWhenTargetUnwritable();
    void rejectsFilesNotMatchingDigest_data();
    void rejectsFilesNotMatchingDigest();
    void siblingFailureAbortsRunningDownloads();
    void limitsParallelDownloads_data();
    void limitsParallelDownloads();
    void downloadsThroughConfiguredProxy();

private:
    QString remoteUrlPath(const QString &remotePath) const
    {
        return QString("/images/%1/%2").arg(kVersion).arg(remotePath);
    }
    void serve(const QString &remotePath, const Response &response)
    {
        m_server->setResponse(remoteUrlPath(remotePath).toUtf8(), response);
    }
    int requests(const QString &remotePath) const
    {
        return m_server->requestCount(remoteUrlPath(remotePath).toUtf8());
    }
    QString local(const QString &name) const { return m_temp->filePath(name); }
    QByteArray readLocal(const QString &name) const
    {
        QFile f(local(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // Writes the updater's own update.ini ([update] group) and re-reads the configuration.
    void writeUpdateIni(const QString &key, const QString &value);
    void makeConfiguration();
    // Drives the download counters until the task has received `bytes`.
    static bool hasReceived(TaskSpecification *task, qulonglong bytes);

    QTemporaryDir m_configDir;
    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<Configuration> m_config;
};

void TestDownload::initTestCase()
{
    // Keep the user's own channel file out of the run.
    qputenv("VX3_CONFIG_DIR", m_configDir.path().toUtf8());
}

void TestDownload::init()
{
    QFile::remove(QCoreApplication::applicationDirPath() + "/update.ini");
    m_temp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_temp->isValid());
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->listen());
    m_manager = std::make_unique<QNetworkAccessManager>();
    m_manager->setProxy(QNetworkProxy::NoProxy);
    makeConfiguration();
}

void TestDownload::cleanup()
{
    m_config.reset();
    m_manager.reset();
    m_server.reset();
    m_temp.reset();
    QFile::remove(QCoreApplication::applicationDirPath() + "/update.ini");
}

void TestDownload::makeConfiguration()
{
    m_config = std::make_unique<Configuration>();
    QVERIFY(m_config->parseCommandLineOptions(
        {"update", "--clientupdate", "client_linux_amd64", QString::number(kVersion)}));
    QVERIFY(m_config->initalizeStart(m_temp->path(), m_temp->path()));
    m_config->getProxySettings();
    Configuration::s_updateImagesUrl = m_server->url("/images/").toString();
}

void TestDownload::writeUpdateIni(const QString &key, const QString &value)
{
    {
        QSettings ini(QCoreApplication::applicationDirPath() + "/update.ini", QSettings::IniFormat);
        ini.setValue("update/" + key, value);
    }
    makeConfiguration();
}

bool TestDownload::hasReceived(TaskSpecification *task, qulonglong bytes)
{
    qulonglong done = 0, total = 0, speed = 0;
    bool downloading = false;
    task->getDownloadProgress(done, total, speed, downloading);
    return done == bytes;
}

void TestDownload::endsAsServerBehaves_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<QStringList>("messages"); // patterns; %1 stands for the remote path
    QTest::addColumn<int>("endState");
    QTest::addColumn<bool>("fileKept");
    QTest::addColumn<int>("requestCount");

    const QString start = "^Downloading %1$";
    const QString done = "^Downloading %1 finished$";
    const QString unable = "^Unable to download %1$";
    const QString anyError = "^.+$";
    const int finished = TaskSpecification::TASK_FINISHED;
    const int failed = TaskSpecification::TASK_FAILED;
    QStringList notFound{start}, redirected{start}, tooLong{start}, cutEveryTime{start};
    for (int i = 0; i < 5; ++i) {
        notFound << "^%1 returned 404$";
        redirected << "^%1 returned 302$";
        tooLong << "^%1 sent more than the expected 100 bytes$";
        cutEveryTime << anyError;
    }
    notFound << unable;
    redirected << unable;
    tooLong << unable;
    cutEveryTime << unable;

    QTest::newRow("complete, size known")
        << "ok" << qint64(20000) << QStringList{start, done} << finished << true << 1;
    QTest::newRow("complete, size unknown")
        << "ok" << qint64(-1) << QStringList{start, done} << finished << true << 1;
    QTest::newRow("empty file") << "empty" << qint64(0) << QStringList{start, done} << finished << true << 1;
    QTest::newRow("404") << "404" << qint64(20000) << notFound << failed << false << 5;
    QTest::newRow("302 is not followed") << "302" << qint64(20000) << redirected << failed << false << 5;
    QTest::newRow("cut once, then complete")
        << "cut once" << qint64(20000) << QStringList{start, anyError, done} << finished << true << 2;
    QTest::newRow("reset once, then complete")
        << "reset once" << qint64(20000) << QStringList{start, anyError, done} << finished << true << 2;
    QTest::newRow("cut every time") << "cut always" << qint64(20000) << cutEveryTime << failed << false << 5;
    QTest::newRow("more data than expected") << "ok" << qint64(100) << tooLong << failed << false << 5;
}

void TestDownload::endsAsServerBehaves()
{
    QFETCH(QString, scenario);
    QFETCH(qint64, expectedSize);
    QFETCH(QStringList, messages);
    QFETCH(int, endState);
    QFETCH(bool, fileKept);
    QFETCH(int, requestCount);

    const QString remote = "files/data.bin";
    const QByteArray body = scenario == "empty" ? QByteArray() : pattern(20000);
    int served = 0;
    m_server->setHandler(remoteUrlPath(remote).toUtf8(), [&](const TestHttpServer::Request &) {
        ++served;
        Response r = Response::ok(body);
        if (scenario == "404")
            r = Response::withStatus(404, "missing");
        else if (scenario == "302")
            r = Response::redirect(302, m_server->url(remoteUrlPath("files/elsewhere.bin")));
        else if (scenario == "cut always" || (scenario == "cut once" && served == 1))
            r.fault = Response::Fault::CloseAfter;
        else if (scenario == "reset once" && served == 1)
            r.fault = Response::Fault::ResetAfter;
        r.faultOffset = 7000;
        return r;
    });
    serve("files/elsewhere.bin", Response::ok(body));

    DownloadTaskSpecification task(m_manager.get(), remote, kVersion, local("data.bin"), expectedSize,
                                   nullptr, 1.0);
    Recorder rec;
    rec.attach(&task);
    task.execute();
    QTRY_COMPARE(rec.ends, 1);

    QCOMPARE(int(task.state()), endState);
    QCOMPARE(rec.messages.size(), messages.size());
    for (int i = 0; i < messages.size(); ++i) {
        const QRegularExpression re(QString(messages[i]).replace("%1", QRegularExpression::escape(remote)));
        QVERIFY2(re.match(rec.messages[i]).hasMatch(), qPrintable(rec.messages[i] + " !~ " + re.pattern()));
    }
    QVERIFY(rec.errors.isEmpty());
    QCOMPARE(requests(remote), requestCount);
    QCOMPARE(requests("files/elsewhere.bin"), 0);
    QCOMPARE(QFile::exists(local("data.bin")), fileKept);
    if (fileKept)
        QCOMPARE(readLocal("data.bin"), body);
    if (endState == TaskSpecification::TASK_FINISHED)
        QCOMPARE(task.doneFrac(), 1.0);
}

void TestDownload::retriesAfterFifteenIdlePollsFromByteZero()
{
    const QString remote = "files/slow.bin";
    const QByteArray body = pattern(1000, 3);
    int served = 0;
    m_server->setHandler(remoteUrlPath(remote).toUtf8(), [&](const TestHttpServer::Request &) {
        return ++served == 1 ? stallAfter(body, 250) : Response::ok(body);
    });

    DownloadTaskSpecification task(m_manager.get(), remote, kVersion, local("slow.bin"), 1000, nullptr, 1.0);
    Recorder rec;
    rec.attach(&task);
    task.execute();
    // Watch the progress signal rather than polling: every poll counts towards the time-out.
    QTRY_COMPARE(task.doneFrac(), 0.25);

    // The poll normally comes once a second from the engine; here the test is the clock.
    for (int poll = 1; poll <= 15; ++poll) {
        qulonglong done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.getDownloadProgress(done, total, speed, downloading);
        QVERIFY2(downloading, qPrintable(QString("poll %1").arg(poll)));
        QCOMPARE(done, qulonglong(250));
        QCOMPARE(total, qulonglong(1000));
        QCOMPARE(speed, poll == 1 ? qulonglong(250) : qulonglong(0));
        QVERIFY(!rec.messages.contains("file files/slow.bin timed out"));
    }
    qulonglong done = 0, total = 0, speed = 0;
    bool downloading = false;
    task.getDownloadProgress(done, total, speed, downloading);
    QVERIFY(!downloading);
    QCOMPARE(rec.count("file files/slow.bin timed out"), 1);
    QCOMPARE(task.doneFrac(), 0.0);

    QTRY_COMPARE(rec.ends, 1);
    QCOMPARE(task.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(served, 2);
    QVERIFY(m_server->requests().at(1).header("Range").isEmpty());
    QCOMPARE(readLocal("slow.bin"), body);
}

void TestDownload::reportsExpectedSize_data()
{
    QTest::addColumn<qint64>("constructedSize");
    QTest::addColumn<qulonglong>("reportedTotal");
    QTest::addColumn<qreal>("fraction"); // of the weight after 250 bytes; -1: not checked

    QTest::newRow("unknown: the server's size") << qint64(-1) << qulonglong(1000) << qreal(-1);
    QTest::newRow("known: kept") << qint64(2000) << qulonglong(2000) << qreal(0.125);
    QTest::newRow("known and equal") << qint64(1000) << qulonglong(1000) << qreal(0.25);
}

void TestDownload::reportsExpectedSize()
{
    QFETCH(qint64, constructedSize);
    QFETCH(qulonglong, reportedTotal);
    QFETCH(qreal, fraction);

    // Pieces far enough apart that the access manager reports progress for them.
    Response r = stallAfter(pattern(1000), 250);
    r.chunkSize = 50;
    r.chunkIntervalMs = 150;
    serve("files/sized.bin", r);
    DownloadTaskSpecification task(m_manager.get(), "files/sized.bin", kVersion, local("sized.bin"),
                                   constructedSize, nullptr, 0.5);
    task.execute();
    QTRY_VERIFY(hasReceived(&task, 250));
    qulonglong done = 0, total = 0, speed = 0;
    bool downloading = false;
    task.getDownloadProgress(done, total, speed, downloading);
    QCOMPARE(total, reportedTotal);
    QVERIFY(downloading);
    if (fraction >= 0)
        QCOMPARE(task.doneFrac(), fraction * 0.5);
    task.cancel();
}

void TestDownload::capsProgressAtOne()
{
    // 1200 bytes where 1000 were announced: progress climbs to the full weight and no further,
    // and the surplus fails the attempt.
    Response r = Response::ok(pattern(1200));
    r.chunkSize = 250;
    r.chunkIntervalMs = 30;
    serve("files/long.bin", r);

    DownloadTaskSpecification task(m_manager.get(), "files/long.bin", kVersion, local("long.bin"), 1000,
                                   nullptr, 0.5);
    Recorder rec;
    rec.attach(&task);
    task.execute();
    QTRY_COMPARE(rec.ends, 1);

    QCOMPARE(task.state(), TaskSpecification::TASK_FAILED);
    QCOMPARE(rec.count("files/long.bin sent more than the expected 1000 bytes"), 5);
    QVERIFY(rec.progress.contains(0.5));
    for (qreal p : qAsConst(rec.progress))
        QVERIFY2(p >= 0 && p <= 0.5, qPrintable(QString::number(p)));
    QVERIFY(!QFile::exists(local("long.bin")));
}

void TestDownload::cancelMidTransferLeavesNoFile()
{
    serve("files/big.bin", stallAfter(pattern(100000), 30000));
    DownloadTaskSpecification task(m_manager.get(), "files/big.bin", kVersion, local("big.bin"), 100000,
                                   nullptr, 1.0);
    Recorder rec;
    rec.attach(&task);
    task.execute();
    QTRY_COMPARE(task.doneFrac(), 0.3);
    QVERIFY(QFile::exists(local("big.bin")));

    task.cancel();
    QCOMPARE(task.state(), TaskSpecification::TASK_CANCELED);
    QCOMPARE(rec.ends, 1);
    QVERIFY(!QFile::exists(local("big.bin")));
    QCOMPARE(rec.messages, QStringList{"Downloading files/big.bin"});
    qulonglong done = 1, total = 0, speed = 0;
    bool downloading = false;
    task.getDownloadProgress(done, total, speed, downloading);
    QVERIFY(!downloading);
    QCOMPARE(done, qulonglong(0));
}

void TestDownload::downloadsListIntoTempDir()
{
    const QStringList names{"a/x.bin", "a/y.bin", "z.bin", "b/c/d.bin"};
    QList<DownloadEntry> entries;
    quint64 totalSize = 0;
    for (int i = 0; i < names.size(); ++i) {
        const QByteArray body = pattern(3000 + i * 1000, i);
        serve("client/" + names[i], Response::ok(body));
        // The digest's letter case does not matter.
        entries.append(
            {"client", names[i], i % 2 ? sha512(body).toUpper() : sha512(body), quint64(body.size())});
        totalSize += quint64(body.size());
    }

    DownloadFileListTaskSpecification list(&entries, m_manager.get(), m_config.get(), nullptr, 1.0);
    Recorder rec;
    rec.attach(&list);
    list.execute();
    QCOMPARE(rec.messages.value(0), QString("Downloading files"));
    QVERIFY(QFileInfo(local("a")).isDir());
    QVERIFY(QFileInfo(local("b/c")).isDir());
    QTRY_COMPARE(rec.ends, 1);

    QCOMPARE(list.state(), TaskSpecification::TASK_FINISHED);
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(readLocal(names[i]), pattern(3000 + i * 1000, i));
    qulonglong done = 0, total = 0, speed = 0;
    bool downloading = true;
    list.getDownloadProgress(done, total, speed, downloading);
    QCOMPARE(total, totalSize);
    QCOMPARE(done, totalSize);
    QVERIFY(!downloading);
    QCOMPARE(list.doneFrac(), 1.0);
}

void TestDownload::emptyListNeedsNoDownloads()
{
    QList<DownloadEntry> entries;
    DownloadFileListTaskSpecification list(&entries, m_manager.get(), m_config.get(), nullptr, 1.0);
    Recorder rec;
    rec.attach(&list);
    list.execute();
    QCOMPARE(rec.ends, 1);
    QCOMPARE(list.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(rec.messages, QStringList{"No downloads needed"});
    QVERIFY(list.subTasks().isEmpty());
}

void TestDownload::failsWithoutRequestWhenTargetUnwritable()
{
    // A plain file where a directory is needed, and a directory where the file should go.
    {
        QFile blocker(local("blocked"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    QVERIFY(QDir(m_temp->path()).mkdir("taken.bin"));
    serve("client/blocked/x.bin", Response::ok("x"));
    serve("client/taken.bin", Response::ok("x"));

    QList<DownloadEntry> blocked{{"client", "blocked/x.bin", sha512("x"), 1}};
    DownloadFileListTaskSpecification list(&blocked, m_manager.get(), m_config.get(), nullptr, 1.0);
    Recorder listRec;
    listRec.attach(&list);
    list.execute();
    QCOMPARE(list.state(), TaskSpecification::TASK_FAILED);
    QCOMPARE(listRec.ends, 1);
    QCOMPARE(
        listRec.messages,
        QStringList{QString("Could not create dir %1/blocked").arg(QDir(m_temp->path()).canonicalPath())});

    DownloadTaskSpecification task(m_manager.get(), "client/taken.bin", kVersion, local("taken.bin"), 1,
                                   nullptr, 1.0);
    Recorder taskRec;
    taskRec.attach(&task);
    task.execute();
    QCOMPARE(task.state(), TaskSpecification::TASK_FAILED);
    QCOMPARE(taskRec.ends, 1);
    QCOMPARE(taskRec.errors,
             QStringList{QString("Unable to create file %1 for saving").arg(local("taken.bin"))});
    QVERIFY(QFileInfo(local("taken.bin")).isDir());

    QCOMPARE(m_server->requests().size(), 0);
}

void TestDownload::rejectsFilesNotMatchingDigest_data()
{
    QTest::addColumn<int>("badAnswers");
    QTest::addColumn<int>("endState");
    QTest::addColumn<int>("checkFailures");

    QTest::newRow("damaged once, fetched again") << 1 << int(TaskSpecification::TASK_FINISHED) << 1;
    QTest::newRow("wrong every time") << 100 << int(TaskSpecification::TASK_FAILED) << 2;
}

void TestDownload::rejectsFilesNotMatchingDigest()
{
    QFETCH(int, badAnswers);
    QFETCH(int, endState);
    QFETCH(int, checkFailures);

    const QByteArray good = pattern(5000);
    QByteArray bad = good;
    bad[4000] = 'X';
    int served = 0;
    m_server->setHandler(remoteUrlPath("client/lib/x.so").toUtf8(), [&](const TestHttpServer::Request &) {
        return Response::ok(++served <= badAnswers ? bad : good);
    });
    serve("client/ok.txt", Response::ok("fine"));
    QList<DownloadEntry> entries{{"client", "lib/x.so", sha512(good), quint64(good.size())},
                                 {"client", "ok.txt", sha512("fine"), 4}};

    DownloadFileListTaskSpecification list(&entries, m_manager.get(), m_config.get(), nullptr, 1.0);
    Recorder rec;
    rec.attach(&list);
    if (checkFailures)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Signature check failed for"));
    if (checkFailures > 1)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Signature check failed for"));
    list.execute();
    QTRY_COMPARE(rec.ends, 1);

    QCOMPARE(int(list.state()), endState);
    QCOMPARE(rec.count(QString("Signature check failed for %1").arg(local("lib/x.so"))), checkFailures);
    QCOMPARE(served, 2);
    if (endState == TaskSpecification::TASK_FINISHED)
        QCOMPARE(readLocal("lib/x.so"), good);
    else
        QVERIFY(!QFile::exists(local("lib/x.so")));
}

void TestDownload::siblingFailureAbortsRunningDownloads()
{
    serve("client/one.bin", stallAfter(pattern(50000), 1000));
    serve("client/two.bin", stallAfter(pattern(50000), 1000));
    // client/missing.bin is not served: 404 five times.
    QList<DownloadEntry> entries{{"client", "one.bin", sha512(pattern(50000)), 50000},
                                 {"client", "two.bin", sha512(pattern(50000)), 50000},
                                 {"client", "missing.bin", sha512("x"), 1}};

    DownloadFileListTaskSpecification list(&entries, m_manager.get(), m_config.get(), nullptr, 1.0);
    Recorder rec;
    rec.attach(&list);
    list.execute();
    QTRY_COMPARE(rec.ends, 1);

    QCOMPARE(list.state(), TaskSpecification::TASK_FAILED);
    QCOMPARE(rec.count("Unable to download client/missing.bin"), 1);
    QCOMPARE(rec.count("Abort downloading client/one.bin"), 1);
    QCOMPARE(rec.count("Abort downloading client/two.bin"), 1);
    QVERIFY(!QFile::exists(local("one.bin")));
    QVERIFY(!QFile::exists(local("two.bin")));
    QVERIFY(!QFile::exists(local("missing.bin")));
    for (TaskSpecification *t : list.subTasks())
        QCOMPARE(t->state(), TaskSpecification::TASK_FAILED);
}

void TestDownload::limitsParallelDownloads_data()
{
    QTest::addColumn<QString>("streams"); // empty: update.ini without the key
    QTest::addColumn<int>("peak");

    QTest::newRow("default") << QString() << 6;
    QTest::newRow("streams=1") << "1" << 1;
    QTest::newRow("streams=0 means default") << "0" << 6;
}

void TestDownload::limitsParallelDownloads()
{
    QFETCH(QString, streams);
    QFETCH(int, peak);

    if (!streams.isEmpty())
        writeUpdateIni("streams", streams);
    QList<DownloadEntry> entries;
    for (int i = 0; i < 9; ++i) {
        Response slow = Response::ok(pattern(400, i));
        slow.chunkSize = 100;
        slow.chunkIntervalMs = 100; // long enough for all first requests to arrive
        serve(QString("client/f%1").arg(i), slow);
        entries.append({"client", QString("f%1").arg(i), sha512(pattern(400, i)), 400});
    }

    DownloadFileListTaskSpecification list(&entries, m_manager.get(), m_config.get(), nullptr, 1.0);
    Recorder rec;
    rec.attach(&list);
    int received = 0;
    int highest = 0;
    connect(m_server.get(), &TestHttpServer::requestReceived, this, [&] {
        ++received;
        int ended = 0;
        for (const QString &m : qAsConst(rec.messages))
            ended += m.endsWith(" finished") ? 1 : 0;
        highest = qMax(highest, received - ended);
    });
    list.execute();
    QTRY_COMPARE_WITH_TIMEOUT(rec.ends, 1, 20000);

    QCOMPARE(list.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(received, 9);
    QCOMPARE(highest, peak);
}

void TestDownload::downloadsThroughConfiguredProxy()
{
    // The proxy answers for an origin that does not exist, so the files can only have come
    // through it.
    TestHttpServer proxy;
    QVERIFY(proxy.listen());
    const QByteArray body = pattern(7000);
    const QByteArray absolute =
        QString("http://updates.invalid/images/%1/client/via.bin").arg(kVersion).toUtf8();
    proxy.setResponse(absolute, Response::ok(body));
    writeUpdateIni("proxy", QString("http://127.0.0.1:%1").arg(proxy.port()));
    Configuration::s_updateImagesUrl = "http://updates.invalid/images/";

    UpdateEngine engine(m_config.get(), nullptr);
    auto *manager = engine.findChild<QNetworkAccessManager *>();
    QVERIFY(manager);
    QList<DownloadEntry> entries{{"client", "via.bin", sha512(body), quint64(body.size())}};
    DownloadFileListTaskSpecification list(&entries, manager, m_config.get(), nullptr, 1.0);
    Recorder rec;
    rec.attach(&list);
    list.execute();
    QTRY_COMPARE(rec.ends, 1);

    QCOMPARE(list.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(proxy.requestCount(absolute), 1);
    QCOMPARE(readLocal("via.bin"), body);
}

QTEST_GUILESS_MAIN(TestDownload)
#include "testdownload.moc"
