#include "tasks/rollback.h"
#include "testtasks.h"

#include <QSignalSpy>
#include <QThread>
#include <QThreadPool>
#include <QtTest>

class TestASyncTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void workerLinesPrecedeFailureMessageAndEnd();
    void recordsOneCreatedFilePerSuccess_data();
    void recordsOneCreatedFilePerSuccess();
    void reportsWorkerProgressTimesWeight();
    void dropsResultOfRunBeforeReset();
    void manyWorkersAllReport();
    void taskMayGoWhileItsWorkerRuns();
};

void TestASyncTaskSpecification::workerLinesPrecedeFailureMessageAndEnd()
{
    TestComposed parent(1);
    bool onPoolThread = false;
    QThread *guiThread = QThread::currentThread();
    auto *op = new BodyFileOp(
        [&onPoolThread, guiThread](ASyncFunc &f) {
            onPoolThread = QThread::currentThread() != guiThread;
            emit f.message("one");
            emit f.error("worker error");
            emit f.message("two");
            emit f.message("three");
            return false;
        },
        nullptr, "/nowhere/out.bin", &parent);
    parent.add(op);
    QStringList seen;
    connect(&parent, &TaskSpecification::message, [&seen](const QString &m) { seen << m; });
    connect(&parent, &TaskSpecification::error, [&seen](const QString &m) { seen << "error: " + m; });
    connect(op, &TaskSpecification::canceled,
            [&seen](TaskSpecification *t) { seen << QString("canceled %1").arg(t->state()); });
    parent.execute();
    QTRY_COMPARE(parent.state(), TaskSpecification::TASK_FAILED);
    QVERIFY(onPoolThread);
    QCOMPARE(seen,
             QStringList({"one", "error: worker error", "two", "three", "Could not make '/nowhere/out.bin'",
                          QString("canceled %1").arg(TaskSpecification::TASK_FAILED)}));
}

void TestASyncTaskSpecification::recordsOneCreatedFilePerSuccess_data()
{
    QTest::addColumn<bool>("withJournal");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<int>("records");
    QTest::newRow("success with journal") << true << true << 1;
    QTest::newRow("success without journal") << false << true << 0;
    QTest::newRow("failure with journal") << true << false << 0;
}

void TestASyncTaskSpecification::recordsOneCreatedFilePerSuccess()
{
    QFETCH(bool, withJournal);
    QFETCH(bool, succeeds);
    QFETCH(int, records);
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::DIR_CREATE, "/earlier"));
    BodyFileOp op([succeeds](ASyncFunc &) { return succeeds; }, withJournal ? &journal : nullptr,
                  "/made/file", nullptr);
    QSignalSpy ended(&op, succeeds ? &TaskSpecification::finished : &TaskSpecification::canceled);
    int recordsWhenEnded = -1;
    connect(&op, &TaskSpecification::finished, [&] { recordsWhenEnded = journal.count(); });
    op.execute();
    QCOMPARE(op.state(), TaskSpecification::TASK_RUNNING);
    QTRY_COMPARE(ended.count(), 1);
    QCOMPARE(journal.count(), 1 + records);
    if (records) {
        QCOMPARE(recordsWhenEnded, 2);
        QCOMPARE(journal.last().op, RollbackData::FILE_CREATE);
        QCOMPARE(journal.last().path, QString("/made/file"));
        QVERIFY(journal.last().oldPath.isEmpty());
    }
}

void TestASyncTaskSpecification::reportsWorkerProgressTimesWeight()
{
    QSemaphore gate;
    PoolTask task(
        [&gate](ASyncFunc &f) {
            emit f.progress(0.5);
            gate.acquire();
            return true;
        },
        nullptr, 0.2);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.execute();
    QTRY_COMPARE(progress.count(), 1);
    QVERIFY(qFuzzyCompare(progress.at(0).at(0).toReal(), 0.1));
    gate.release();
    QTRY_COMPARE(task.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(progress.last().at(0).toReal(), 0.2);
}

void TestASyncTaskSpecification::dropsResultOfRunBeforeReset()
{
    PoolTask task(
        [](ASyncFunc &f) {
            emit f.message("old run");
            return false;
        },
        nullptr, 1.0);
    QStringList seen;
    connect(&task, &TaskSpecification::message, [&seen](const QString &m) { seen << m; });
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    // The reset waits for the worker, whose result is then still queued.
    task.reset();
    task.setBody([](ASyncFunc &f) {
        emit f.message("new run");
        return true;
    });
    task.execute();
    QTRY_COMPARE(finished.count(), 1);
    QTest::qWait(10);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(seen, QStringList{"new run"});
}

void TestASyncTaskSpecification::manyWorkersAllReport()
{
    const int count = 50;
    TestComposed parent(8);
    for (int i = 0; i < count; ++i) {
        parent.add(new PoolTask(
            [i](ASyncFunc &f) {
                emit f.message(QString::number(i));
                return true;
            },
            &parent, 1.0 / count));
    }
    QStringList seen;
    connect(&parent, &TaskSpecification::message, [&seen](const QString &m) { seen << m; });
    parent.execute();
    QTRY_COMPARE(parent.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(seen.size(), count);
    for (int i = 0; i < count; ++i)
        QVERIFY(seen.contains(QString::number(i)));
}

void TestASyncTaskSpecification::taskMayGoWhileItsWorkerRuns()
{
    QSemaphore entered;
    QSemaphore gate;
    auto *task = new PoolTask(
        [&](ASyncFunc &f) {
            entered.release();
            gate.acquire();
            emit f.message("after the task is gone");
            emit f.progress(1.0);
            return true;
        },
        nullptr, 1.0);
    task->execute();
    QTRY_COMPARE(entered.available(), 1);
    delete task;
    gate.release();
    // The worker's queued reports must find no receiver rather than a freed one.
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QCoreApplication::processEvents();
}

QTEST_GUILESS_MAIN(TestASyncTaskSpecification)
#include "testasynctaskspecification.moc"
