#include "testtasks.h"

#include <QSignalSpy>
#include <QtTest>

using State = TaskSpecification::State;

class TestTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void reactsToSiblingOnlyWhileRunning_data();
    void reactsToSiblingOnlyWhileRunning();
    void cancelOnPlainTaskOnlySetsFlag_data();
    void cancelOnPlainTaskOnlySetsFlag();
    void finishReportsFullWeightLast();
    void resetRearmsEndedTask();
    void terminalSlotSeesFinalState_data();
    void terminalSlotSeesFinalState();
};

void TestTaskSpecification::reactsToSiblingOnlyWhileRunning_data()
{
    QTest::addColumn<State>("state");
    QTest::addColumn<bool>("self");
    QTest::addColumn<bool>("handled");
    QTest::newRow("running, other task") << TaskSpecification::TASK_RUNNING << false << true;
    QTest::newRow("running, itself") << TaskSpecification::TASK_RUNNING << true << false;
    QTest::newRow("idle") << TaskSpecification::TASK_IDLE << false << false;
    QTest::newRow("finished") << TaskSpecification::TASK_FINISHED << false << false;
    QTest::newRow("failed") << TaskSpecification::TASK_FAILED << false << false;
    QTest::newRow("canceled") << TaskSpecification::TASK_CANCELED << false << false;
}

void TestTaskSpecification::reactsToSiblingOnlyWhileRunning()
{
    QFETCH(State, state);
    QFETCH(bool, self);
    QFETCH(bool, handled);
    TaskLog log;
    ScriptedTask task("task", ScriptedTask::EndsWhenTold, &log, nullptr);
    ScriptedTask other("other", ScriptedTask::EndsWhenTold, &log, nullptr);
    task.forceState(state);
    task.onOtherTaskCancelled(self ? &task : &other);
    QCOMPARE(task.notices.size(), handled ? 1 : 0);
    QCOMPARE(task.state(), state);
}

void TestTaskSpecification::cancelOnPlainTaskOnlySetsFlag_data()
{
    QTest::addColumn<State>("state");
    QTest::newRow("idle") << TaskSpecification::TASK_IDLE;
    QTest::newRow("running") << TaskSpecification::TASK_RUNNING;
    QTest::newRow("finished") << TaskSpecification::TASK_FINISHED;
}

void TestTaskSpecification::cancelOnPlainTaskOnlySetsFlag()
{
    QFETCH(State, state);
    TaskLog log;
    ScriptedTask task("task", ScriptedTask::EndsWhenTold, &log, nullptr);
    task.forceState(state);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.cancel();
    QVERIFY(task.cancelRequested());
    QCOMPARE(task.state(), state);
    QCOMPARE(finished.count() + canceled.count() + progress.count(), 0);
}

void TestTaskSpecification::finishReportsFullWeightLast()
{
    TaskLog log;
    ScriptedTask task("task", ScriptedTask::EndsWhenTold, &log, nullptr, 0.5);
    QStringList order;
    connect(&task, &TaskSpecification::updateProgress, [&order](qreal p) { order << QString::number(p); });
    connect(&task, &TaskSpecification::finished, [&order] { order << "finished"; });
    task.execute();
    task.report(0.3);
    task.finish();
    QCOMPARE(order, QStringList({"0.15", "0.5", "finished"}));
    QCOMPARE(task.doneFrac(), 0.5);
}

void TestTaskSpecification::resetRearmsEndedTask()
{
    TaskLog log;
    ScriptedTask task("task", ScriptedTask::FinishesInExecute, &log, nullptr, 0.5);
    task.cancel();
    task.execute();
    QCOMPARE(task.state(), TaskSpecification::TASK_FINISHED);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.reset();
    QCOMPARE(task.state(), TaskSpecification::TASK_IDLE);
    QVERIFY(!task.cancelRequested());
    QCOMPARE(task.doneFrac(), 0.0);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toReal(), 0.0);
}

void TestTaskSpecification::terminalSlotSeesFinalState_data()
{
    QTest::addColumn<QString>("ending");
    QTest::addColumn<State>("expected");
    QTest::newRow("finish") << "finish" << TaskSpecification::TASK_FINISHED;
    QTest::newRow("fail") << "fail" << TaskSpecification::TASK_FAILED;
    QTest::newRow("cancel") << "cancel" << TaskSpecification::TASK_CANCELED;
}

void TestTaskSpecification::terminalSlotSeesFinalState()
{
    QFETCH(QString, ending);
    QFETCH(State, expected);
    TaskLog log;
    ScriptedTask task("task", ScriptedTask::EndsWhenTold, &log, nullptr, 0.5);
    task.execute();
    task.report(0.4);
    QList<State> seen;
    auto record = [&seen](TaskSpecification *t) { seen << t->state(); };
    connect(&task, &TaskSpecification::finished, record);
    connect(&task, &TaskSpecification::canceled, record);
    if (ending == "finish")
        task.finish();
    else if (ending == "fail")
        task.fail();
    else
        task.cancelNow();
    QCOMPARE(seen, QList<State>{expected});
    // Only a successful end claims the full weight; the others keep their last report.
    QCOMPARE(task.doneFrac(), expected == TaskSpecification::TASK_FINISHED ? 0.5 : 0.2);
}

QTEST_GUILESS_MAIN(TestTaskSpecification)
#include "testtaskspecification.moc"
