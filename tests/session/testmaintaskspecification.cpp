#include "session/maintaskspecification.h"
#include "shell/configuration.h"
#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {
QStringList classNames(const QList<TaskSpecification *> &tasks)
{
    QStringList names;
    for (const TaskSpecification *task : tasks)
        names << QString::fromLatin1(task->metaObject()->className());
    return names;
}

QList<qreal> weights(const QList<TaskSpecification *> &tasks)
{
    QList<qreal> result;
    for (const TaskSpecification *task : tasks)
        result << task->weight();
    return result;
}
} // namespace

class TestMainTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_server.listen());
        qputenv("VX3_UPDATE_IMAGES_URL", m_server.url("/images/").toString().toUtf8());
        qputenv("VX3_CONFIG_DIR", m_configDir.path().toUtf8());
        const QByteArray data(1000, 'a');
        TestHttpServer::Response stalled = TestHttpServer::Response::ok(data);
        stalled.fault = TestHttpServer::Response::Fault::StallAfter;
        stalled.faultOffset = 10;
        m_server.setResponse("/images/1234/data/slow.bin", stalled);
        m_server.setResponse("/images/1234/data/gone.bin", TestHttpServer::Response::withStatus(404));
        m_slowHash = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
    }

    void init()
    {
        m_temp.reset(new QTemporaryDir);
        m_install.reset(new QTemporaryDir);
    }

    void stagesFollowTheKindOfRun_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("startMessage");
        QTest::addColumn<QStringList>("stages");
        QTest::addColumn<QList<qreal>>("stageWeights");
        QTest::newRow("client") << QStringList{"--clientupdate", "client_linux_amd64", "1234", "#"}
                                << "Starting update process for client"
                                << QStringList{"DownloadFileListTaskSpecification",
                                               "FileDeleteListTaskSpecification"}
                                << QList<qreal>{0.4, 0.05};
        QTest::newRow("updater") << QStringList{"--nouser", "update_linux_amd64", "1234", "#"}
                                 << "Starting update process for updater"
                                 << QStringList{"DownloadFileListTaskSpecification"} << QList<qreal>{0.4};
    }
    void stagesFollowTheKindOfRun()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, startMessage);
        QFETCH(QStringList, stages);
        QFETCH(QList<qreal>, stageWeights);
        auto config = makeConfig(args);
        MainTaskSpecification task(&m_manager, config.get(), nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        QCOMPARE(messages.value(0).value(0).toString(), startMessage);
        QCOMPARE(classNames(task.subTasks()), stages);
        QCOMPARE(weights(task.subTasks()), stageWeights);
        QCOMPARE(task.maxParallel(), 1);
        // Nothing to do: every stage finishes at once, and so does the run.
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(task.state(), TaskSpecification::TASK_FINISHED);
        QCOMPARE(classNames(task.endedSubTasks()), stages);
    }

    void stagesRunOneAfterAnotherOnTheirLists()
    {
        auto config = makeConfig({"--clientupdate", "client_linux_amd64", "1234", "#"});
        const QByteArray content = "fresh";
        m_server.setResponse("/images/1234/data/new.bin", TestHttpServer::Response::ok(content));
        QFile obsolete(m_install->path() + "/obsolete.txt");
        QVERIFY(obsolete.open(QIODevice::WriteOnly));
        obsolete.close();

        MainTaskSpecification task(&m_manager, config.get(), nullptr, 1.0);
        task.lists().downloadList << DownloadEntry{
            "data", "new.bin",
            QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex()),
            quint64(content.size())};
        task.lists().deleteList << DeleteEntry{"obsolete.txt", false};
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        task.execute();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QVERIFY(QFile::exists(m_temp->path() + "/new.bin"));
        QVERIFY(!QFile::exists(obsolete.fileName()));
        QCOMPARE(progress.last().at(0).toReal(), 1.0);

        task.reset();
        QVERIFY(task.lists().downloadList.isEmpty());
        QVERIFY(task.lists().deleteList.isEmpty());
        QVERIFY(task.subTasks().isEmpty());
        QCOMPARE(task.state(), TaskSpecification::TASK_IDLE);
        task.execute();
        QTRY_COMPARE(finished.count(), 2);
        QCOMPARE(m_server.requestCount("/images/1234/data/new.bin"), 1);
    }

    void endingStageStopsTheRun_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<int>("endState");
        QTest::newRow("cancel during downloads")
            << "slow.bin" << true << int(TaskSpecification::TASK_CANCELED);
        QTest::newRow("failed download") << "gone.bin" << false << int(TaskSpecification::TASK_FAILED);
    }
    void endingStageStopsTheRun()
    {
        QFETCH(QString, file);
        QFETCH(bool, cancel);
        QFETCH(int, endState);
        auto config = makeConfig({"--clientupdate", "client_linux_amd64", "1234", "#"});
        QFile kept(m_install->path() + "/kept.txt");
        QVERIFY(kept.open(QIODevice::WriteOnly));
        kept.close();

        MainTaskSpecification task(&m_manager, config.get(), nullptr, 1.0);
        task.lists().downloadList << DownloadEntry{"data", file, m_slowHash, 1000};
        task.lists().deleteList << DeleteEntry{"kept.txt", false};
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        if (cancel) {
            QTRY_COMPARE(m_server.requestCount("/images/1234/data/slow.bin"), 1);
            task.cancel();
        }
        QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 60000);
        QCOMPARE(int(task.state()), endState);
        QCOMPARE(task.subTasks().at(1)->state(), TaskSpecification::TASK_IDLE);
        QVERIFY(QFile::exists(kept.fileName()));
    }

private:
    std::unique_ptr<Configuration> makeConfig(const QStringList &args)
    {
        auto config = std::make_unique<Configuration>();
        [&] {
            QVERIFY(config->parseCommandLineOptions(QStringList{"update"} + args));
            config->getProxySettings();
            QVERIFY(config->initalizeStart(m_temp->path(), m_install->path()));
        }();
        return config;
    }

    TestHttpServer m_server;
    QNetworkAccessManager m_manager;
    QTemporaryDir m_configDir;
    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<QTemporaryDir> m_install;
    QString m_slowHash;
};

QTEST_GUILESS_MAIN(TestMainTaskSpecification)
#include "testmaintaskspecification.moc"
