#include "testtasks.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

using State = TaskSpecification::State;

class TestComposedTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void runsOneAtATimeInOrder();
    void boundsParallelStarts_data();
    void boundsParallelStarts();
    void instantSubTasksDoNotNest_data();
    void instantSubTasksDoNotNest();
    void emptyListFinishesInsideStart();
    void firstFailureStopsStartsAndNotifiesOnce_data();
    void firstFailureStopsStartsAndNotifiesOnce();
    void noticeReachesRunningGrandchildren();
    void outcomeRules_data();
    void outcomeRules();
    void cancelBeforeStartEndsCanceled();
    void cancelWhilePoolWorkerRuns_data();
    void cancelWhilePoolWorkerRuns();
    void sumsWeightedProgress_data();
    void sumsWeightedProgress();
    void sumsDownloadCountersOfKnownTotals();
    void forwardsMessagesAndErrorsUnchanged();
    void staleStartRequestsAfterResetStayBounded();
    void clearedSubTasksAreDeletedLater_data();
    void clearedSubTasksAreDeletedLater();
};

void TestComposedTaskSpecification::runsOneAtATimeInOrder()
{
    TaskLog log;
    TestComposed parent(1);
    QList<ScriptedTask *> tasks;
    for (const char *name : {"A", "B", "C"}) {
        auto *task = new ScriptedTask(name, ScriptedTask::FinishesFromTimer, &log, &parent);
        tasks << task;
        parent.add(task);
    }
    connect(&parent, &TaskSpecification::finished, [&log] { log.events << "parent finished"; });
    parent.execute();
    QCOMPARE(log.events, QStringList());
    QTRY_COMPARE(parent.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(log.events,
             QStringList({"start A", "end A", "start B", "end B", "start C", "end C", "parent finished"}));
    QCOMPARE(parent.endedSubTasks(), (QList<TaskSpecification *>{tasks[0], tasks[1], tasks[2]}));
}

void TestComposedTaskSpecification::boundsParallelStarts_data()
{
    QTest::addColumn<int>("maxParallel");
    QTest::addColumn<int>("count");
    QTest::newRow("one") << 1 << 4;
    QTest::newRow("two") << 2 << 5;
    QTest::newRow("three") << 3 << 7;
    QTest::newRow("more places than tasks") << 8 << 3;
    // A bad configured count must not end the list with nothing started.
    QTest::newRow("zero means one at a time") << 0 << 3;
}

void TestComposedTaskSpecification::boundsParallelStarts()
{
    QFETCH(int, maxParallel);
    QFETCH(int, count);
    TaskLog log;
    if (maxParallel < 1)
        QTest::ignoreMessage(QtWarningMsg, "ComposedTaskSpecification: maxParallel 0 raised to 1");
    TestComposed parent(maxParallel);
    for (int i = 0; i < count; ++i) {
        auto *task = new ScriptedTask(QString::number(i), ScriptedTask::FinishesFromTimer, &log, &parent);
        task->setTimerMs(1 + (i * 7) % 5);
        parent.add(task);
    }
    parent.execute();
    QTRY_COMPARE(parent.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(log.executed, count);
    QCOMPARE(log.maxRunning, qMin(qMax(1, maxParallel), count));
    // Starts follow the order added even when ends do not.
    QStringList starts = log.events.filter("start ");
    for (int i = 0; i < count; ++i)
        QCOMPARE(starts[i], "start " + QString::number(i));
}

void TestComposedTaskSpecification::instantSubTasksDoNotNest_data()
{
    QTest::addColumn<int>("maxParallel");
    QTest::newRow("sequential") << 1;
    QTest::newRow("four at a time") << 4;
}

void TestComposedTaskSpecification::instantSubTasksDoNotNest()
{
    QFETCH(int, maxParallel);
    const int count = 10000;
    TaskLog log;
    TestComposed parent(maxParallel);
    for (int i = 0; i < count; ++i)
        parent.add(new ScriptedTask("t", ScriptedTask::FinishesInExecute, &log, &parent, 1.0 / count));
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    parent.execute();
    QCOMPARE(log.executed, 0);
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(log.executed, count);
    // No sub-task was started while another one's execute() was on the stack.
    QCOMPARE(log.maxDepth, 1);
    QCOMPARE(parent.endedSubTasks().size(), count);
}

void TestComposedTaskSpecification::emptyListFinishesInsideStart()
{
    TestComposed parent(1, nullptr, 0.4);
    QStringList order;
    connect(&parent, &TaskSpecification::updateProgress,
            [&order](qreal p) { order << "progress " + QString::number(p); });
    connect(&parent, &TaskSpecification::finished, [&order] { order << "finished"; });
    parent.execute();
    QCOMPARE(order, QStringList({"progress 0.4", "finished"}));
    QCOMPARE(parent.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(parent.doneCalls, 1);
    QTest::qWait(10);
    QCOMPARE(parent.doneCalls, 1);
}

void TestComposedTaskSpecification::firstFailureStopsStartsAndNotifiesOnce_data()
{
    QTest::addColumn<bool>("secondFails");
    QTest::addColumn<bool>("lastRunningFinishes");
    QTest::newRow("running sibling finishes") << false << true;
    QTest::newRow("running sibling fails") << false << false;
    QTest::newRow("second failure, then finish") << true << true;
}

void TestComposedTaskSpecification::firstFailureStopsStartsAndNotifiesOnce()
{
    QFETCH(bool, secondFails);
    QFETCH(bool, lastRunningFinishes);
    TaskLog log;
    TestComposed parent(3);
    auto *a = new ScriptedTask("A", ScriptedTask::EndsWhenTold, &log, &parent);
    auto *b = new ScriptedTask("B", ScriptedTask::EndsWhenTold, &log, &parent);
    auto *c = new ScriptedTask("C", ScriptedTask::EndsWhenTold, &log, &parent);
    auto *d = new ScriptedTask("D", ScriptedTask::EndsWhenTold, &log, &parent);
    for (auto *t : {a, b, c, d})
        parent.add(t);
    QSignalSpy notices(&parent, &TaskSpecification::otherTaskCancelled);
    QSignalSpy canceled(&parent, &TaskSpecification::canceled);
    parent.execute();
    QTRY_COMPARE(log.executed, 3);

    b->fail();
    QCOMPARE(notices.count(), 1);
    QCOMPARE(notices.at(0).at(0).value<TaskSpecification *>(), b);
    QCOMPARE(a->notices, (QList<TaskSpecification *>{b}));
    QCOMPARE(c->notices, (QList<TaskSpecification *>{b}));
    QVERIFY(b->notices.isEmpty());

    if (secondFails)
        c->fail();
    else
        c->finish();
    QCOMPARE(notices.count(), 1);
    QCOMPARE(canceled.count(), 0);

    if (lastRunningFinishes)
        a->finish();
    else
        a->fail();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(parent.state(), TaskSpecification::TASK_FAILED);
    QTest::qWait(10);
    QCOMPARE(d->state(), TaskSpecification::TASK_IDLE);
    QCOMPARE(log.executed, 3);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(parent.doneCalls, 1);
}

void TestComposedTaskSpecification::noticeReachesRunningGrandchildren()
{
    TaskLog log;
    TestComposed root(2);
    auto *branch = new TestComposed(1, &root, 0.5);
    auto *leaf = new ScriptedTask("leaf", ScriptedTask::EndsWhenTold, &log, branch);
    branch->add(leaf);
    auto *failing = new ScriptedTask("failing", ScriptedTask::EndsWhenTold, &log, &root, 0.5);
    root.add(branch);
    root.add(failing);
    root.execute();
    QTRY_COMPARE(log.executed, 2);
    failing->fail();
    QCOMPARE(leaf->notices, (QList<TaskSpecification *>{failing}));
    leaf->finish();
    QTRY_COMPARE(root.state(), TaskSpecification::TASK_FAILED);
    QCOMPARE(branch->state(), TaskSpecification::TASK_FINISHED);
}

void TestComposedTaskSpecification::outcomeRules_data()
{
    // One letter per sub-task: I idle, R running, F finished, X failed, C canceled.
    QTest::addColumn<QString>("states");
    QTest::addColumn<bool>("cancelRequested");
    QTest::addColumn<bool>("subTaskCanceled");
    QTest::addColumn<State>("expected");
    QTest::newRow("1: failed beats canceled") << "FCX" << true << true << TaskSpecification::TASK_FAILED;
    QTest::newRow("1: failed among finished") << "XF" << false << true << TaskSpecification::TASK_FAILED;
    QTest::newRow("2: canceled") << "FCF" << false << true << TaskSpecification::TASK_CANCELED;
    QTest::newRow("2: canceled beats pending") << "CI" << false << true << TaskSpecification::TASK_CANCELED;
    QTest::newRow("3: all finished") << "FFF" << false << false << TaskSpecification::TASK_FINISHED;
    QTest::newRow("3: no sub-tasks") << "" << false << false << TaskSpecification::TASK_FINISHED;
    QTest::newRow("3 before 4: finished despite cancel")
        << "FF" << true << false << TaskSpecification::TASK_FINISHED;
    QTest::newRow("4: cancel request, one never started")
        << "FI" << true << false << TaskSpecification::TASK_CANCELED;
    QTest::newRow("4 before 5") << "FI" << true << true << TaskSpecification::TASK_CANCELED;
    QTest::newRow("5: sibling was cancelled") << "FI" << false << true << TaskSpecification::TASK_FAILED;
    QTest::newRow("6: one never ended") << "FR" << false << false << TaskSpecification::TASK_RUNNING;
}

void TestComposedTaskSpecification::outcomeRules()
{
    QFETCH(QString, states);
    QFETCH(bool, cancelRequested);
    QFETCH(bool, subTaskCanceled);
    QFETCH(State, expected);
    const QHash<QChar, State> byLetter{{'I', TaskSpecification::TASK_IDLE},
                                       {'R', TaskSpecification::TASK_RUNNING},
                                       {'F', TaskSpecification::TASK_FINISHED},
                                       {'X', TaskSpecification::TASK_FAILED},
                                       {'C', TaskSpecification::TASK_CANCELED}};
    TaskLog log;
    TestComposed parent(qMax(1, states.size()));
    parent.holdEnd = true;
    QList<ScriptedTask *> tasks;
    for (int i = 0; i < states.size(); ++i) {
        tasks << new ScriptedTask(QString::number(i), ScriptedTask::EndsWhenTold, &log, &parent);
        parent.add(tasks.last());
    }
    parent.execute();
    QTRY_COMPARE(log.executed, states.size());
    if (cancelRequested)
        parent.cancel();
    // The flags come from the real signal path; the states are then set per row.
    if (subTaskCanceled)
        tasks.first()->fail();
    for (int i = 0; i < states.size(); ++i)
        tasks[i]->forceState(byLetter.value(states[i]));
    QCOMPARE(parent.subTaskOutcome(), expected);
}

void TestComposedTaskSpecification::cancelBeforeStartEndsCanceled()
{
    TaskLog log;
    TestComposed parent(2);
    auto *a = new ScriptedTask("A", ScriptedTask::FinishesInExecute, &log, &parent);
    parent.add(a);
    QSignalSpy canceled(&parent, &TaskSpecification::canceled);
    QSignalSpy progress(&parent, &TaskSpecification::updateProgress);
    parent.cancel();
    QVERIFY(parent.cancelRequested());
    QVERIFY(!a->cancelRequested());
    QCOMPARE(canceled.count() + progress.count(), 0);
    parent.execute();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(parent.state(), TaskSpecification::TASK_CANCELED);
    QCOMPARE(log.executed, 0);
}

void TestComposedTaskSpecification::cancelWhilePoolWorkerRuns_data()
{
    QTest::addColumn<bool>("pendingSibling");
    QTest::addColumn<State>("expected");
    QTest::newRow("a sibling is still pending") << true << TaskSpecification::TASK_CANCELED;
    QTest::newRow("the worker is the last sub-task") << false << TaskSpecification::TASK_FINISHED;
}

void TestComposedTaskSpecification::cancelWhilePoolWorkerRuns()
{
    QFETCH(bool, pendingSibling);
    QFETCH(State, expected);
    TaskLog log;
    QSemaphore entered;
    QSemaphore gate;
    TestComposed parent(1);
    auto *first = new ScriptedTask("first", ScriptedTask::FinishesInExecute, &log, &parent);
    auto *worker = new PoolTask(
        [&](ASyncFunc &) {
            entered.release();
            gate.acquire();
            return true;
        },
        &parent, 0.5);
    auto *sibling = new ScriptedTask("sibling", ScriptedTask::FinishesInExecute, &log, &parent);
    parent.add(first);
    parent.add(worker);
    if (pendingSibling)
        parent.add(sibling);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    QSignalSpy canceled(&parent, &TaskSpecification::canceled);
    parent.execute();
    QTRY_COMPARE(entered.available(), 1);
    parent.cancel();
    QVERIFY(worker->cancelRequested());
    QTest::qWait(10);
    QCOMPARE(finished.count() + canceled.count(), 0);
    gate.release();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(worker->state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(parent.state(), expected);
    QCOMPARE(sibling->state(), TaskSpecification::TASK_IDLE);
    if (!pendingSibling)
        delete sibling;
}

void TestComposedTaskSpecification::sumsWeightedProgress_data()
{
    QTest::addColumn<qreal>("parentWeight");
    QTest::addColumn<qreal>("expected");
    QTest::newRow("root") << 1.0 << 0.625;
    QTest::newRow("weighted branch") << 0.4 << 0.25;
}

void TestComposedTaskSpecification::sumsWeightedProgress()
{
    QFETCH(qreal, parentWeight);
    QFETCH(qreal, expected);
    TaskLog log;
    TestComposed parent(2, nullptr, parentWeight);
    auto *quarter = new ScriptedTask("quarter", ScriptedTask::EndsWhenTold, &log, &parent, 0.25);
    auto *rest = new ScriptedTask("rest", ScriptedTask::EndsWhenTold, &log, &parent, 0.75);
    parent.add(quarter);
    parent.add(rest);
    QSignalSpy progress(&parent, &TaskSpecification::updateProgress);
    parent.execute();
    QTRY_COMPARE(log.executed, 2);
    quarter->finish();
    rest->report(0.5);
    QVERIFY(qFuzzyCompare(parent.doneFrac(), expected));
    QVERIFY(qFuzzyCompare(progress.last().at(0).toReal(), expected));
    rest->finish();
    QTRY_COMPARE(parent.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(progress.last().at(0).toReal(), parentWeight);
}

void TestComposedTaskSpecification::sumsDownloadCountersOfKnownTotals()
{
    TaskLog log;
    TestComposed root(1);
    auto *branch = new TestComposed(1, &root, 0.5);
    auto *known = new ScriptedTask("known", ScriptedTask::EndsWhenTold, &log, branch);
    auto *unknown = new ScriptedTask("unknown", ScriptedTask::EndsWhenTold, &log, branch);
    auto *idle = new ScriptedTask("idle", ScriptedTask::EndsWhenTold, &log, &root);
    known->setDownloadCounters(100, 400, 10, true);
    unknown->setDownloadCounters(50, 0, 5, true);
    idle->setDownloadCounters(7, 70, 1, false);
    branch->add(known);
    branch->add(unknown);
    root.add(branch);
    root.add(idle);

    qulonglong done = 0, total = 0, speed = 0;
    bool downloading = false;
    root.getDownloadProgress(done, total, speed, downloading);
    QCOMPARE(done, 107ull);
    QCOMPARE(total, 470ull);
    QCOMPARE(speed, 16ull);
    QVERIFY(downloading);

    known->setDownloadCounters(400, 400, 0, false);
    unknown->setDownloadCounters(0, 0, 0, false);
    done = total = speed = 0;
    root.getDownloadProgress(done, total, speed, downloading);
    QCOMPARE(done, 407ull);
    QCOMPARE(total, 470ull);
    QCOMPARE(speed, 1ull);
    QVERIFY(!downloading);
}

void TestComposedTaskSpecification::forwardsMessagesAndErrorsUnchanged()
{
    TaskLog log;
    TestComposed root(1);
    auto *branch = new TestComposed(1, &root, 1.0);
    auto *leaf = new ScriptedTask("leaf", ScriptedTask::EndsWhenTold, &log, branch);
    branch->add(leaf);
    root.add(branch);
    QStringList seen;
    connect(&root, &TaskSpecification::message, [&seen](const QString &m) { seen << "message " + m; });
    connect(&root, &TaskSpecification::error, [&seen](const QString &m) { seen << "error " + m; });
    root.execute();
    QTRY_COMPARE(log.executed, 1);
    emit leaf->message("one");
    emit leaf->error("Connection refused");
    emit leaf->message("two");
    QCOMPARE(seen, QStringList({"message one", "error Connection refused", "message two"}));
}

void TestComposedTaskSpecification::staleStartRequestsAfterResetStayBounded()
{
    TaskLog log;
    TestComposed parent(1);
    for (const char *name : {"A", "B", "C"})
        parent.add(new ScriptedTask(name, ScriptedTask::FinishesFromTimer, &log, &parent));
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    parent.execute();
    // The first start request is still queued when the task is re-armed and started again.
    parent.reset();
    QCOMPARE(parent.state(), TaskSpecification::TASK_IDLE);
    parent.execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(log.maxRunning, 1);
    QCOMPARE(log.executed, 3);
    QTest::qWait(10);
    QCOMPARE(finished.count(), 1);
}

void TestComposedTaskSpecification::clearedSubTasksAreDeletedLater_data()
{
    QTest::addColumn<bool>("fails");
    QTest::newRow("cleared while it finishes") << false;
    QTest::newRow("cleared while it fails") << true;
}

void TestComposedTaskSpecification::clearedSubTasksAreDeletedLater()
{
    QFETCH(bool, fails);
    TaskLog log;
    TestComposed parent(1);
    QPointer<ScriptedTask> task = new ScriptedTask("A", ScriptedTask::EndsWhenTold, &log, &parent);
    parent.add(task);
    parent.execute();
    QTRY_COMPARE(log.executed, 1);
    // The sub-task is inside its own terminal signal when the parent drops it.
    bool aliveAfterClear = false;
    auto clear = [&parent, &task, &aliveAfterClear] {
        parent.clearSubTasks();
        aliveAfterClear = !task.isNull();
    };
    connect(task.data(), &TaskSpecification::finished, &parent, clear);
    connect(task.data(), &TaskSpecification::canceled, &parent, clear);
    QSignalSpy parentEnded(&parent, fails ? &TaskSpecification::canceled : &TaskSpecification::finished);
    if (fails)
        task->fail();
    else
        task->finish();
    QVERIFY(aliveAfterClear);
    QVERIFY(parent.subTasks().isEmpty());
    QTRY_VERIFY(task.isNull());
    QTRY_COMPARE(parentEnded.count(), 1);
    QCOMPARE(parent.doneCalls, 1);
}

QTEST_GUILESS_MAIN(TestComposedTaskSpecification)
#include "testcomposedtaskspecification.moc"
