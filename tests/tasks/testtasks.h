#pragma once

// Small tasks the tests steer: leaves that end when told to, a composed task
// that exposes its protected operations, and pool tasks whose worker runs a
// function given by the test.

#include "tasks/asyncfunc.h"
#include "tasks/asynctaskspecification.h"
#include "tasks/composedtaskspecification.h"
#include "tasks/slowfileopfunc.h"
#include "tasks/slowfileopspecification.h"

#include <QStringList>
#include <QTimer>
#include <functional>

// What the steered tasks of one test did, in order.
struct TaskLog
{
    QStringList events;
    int depth = 0;
    int maxDepth = 0;
    int running = 0;
    int maxRunning = 0;
    int executed = 0;
};

class ScriptedTask : public TaskSpecification
{
    Q_OBJECT
public:
    enum Mode
    {
        EndsWhenTold,
        FinishesInExecute,
        FailsInExecute,
        FinishesFromTimer
    };

    ScriptedTask(const QString &name, Mode mode, TaskLog *log, QObject *parent, qreal weight = 0.0)
        : TaskSpecification(parent, weight), m_name(name), m_mode(mode), m_log(log)
    {
    }

    void execute() override
    {
        setState(TASK_RUNNING);
        ++m_log->executed;
        m_log->events << "start " + m_name;
        m_log->maxDepth = qMax(m_log->maxDepth, ++m_log->depth);
        m_log->maxRunning = qMax(m_log->maxRunning, ++m_log->running);
        switch (m_mode) {
        case FinishesInExecute:
            finish();
            break;
        case FailsInExecute:
            fail();
            break;
        case FinishesFromTimer:
            QTimer::singleShot(m_timerMs, this, &ScriptedTask::finish);
            break;
        case EndsWhenTold:
            break;
        }
        --m_log->depth;
    }

    void finish()
    {
        end("end ");
        setFinished();
    }
    void fail()
    {
        end("fail ");
        setFailed();
    }
    void cancelNow()
    {
        end("cancel ");
        setCanceled();
    }
    void report(qreal fraction) { setProgress(fraction); }
    void forceState(State state) { setState(state); }
    void setTimerMs(int ms) { m_timerMs = ms; }
    void setDownloadCounters(qulonglong done, qulonglong total, qulonglong speed, bool downloading)
    {
        m_done = done;
        m_total = total;
        m_speed = speed;
        m_downloading = downloading;
    }

    void getDownloadProgress(qulonglong &downloadDone, qulonglong &downloadTotal, qulonglong &speed,
                             bool &downloading) override
    {
        downloadDone = m_done;
        downloadTotal = m_total;
        speed = m_speed;
        downloading = m_downloading;
    }

    using TaskSpecification::onOtherTaskCancelled;

    QList<TaskSpecification *> notices;

protected:
    void handleOtherTaskCancelled(TaskSpecification *other) override { notices << other; }

private:
    void end(const char *what)
    {
        --m_log->running;
        m_log->events << what + m_name;
    }

    const QString m_name;
    const Mode m_mode;
    TaskLog *const m_log;
    int m_timerMs = 0;
    qulonglong m_done = 0;
    qulonglong m_total = 0;
    qulonglong m_speed = 0;
    bool m_downloading = false;
};

// Sub-tasks are added before execute(); subtasksDone() can be held back so a
// test can look at the outcome without the task ending.
class TestComposed : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    TestComposed(int maxParallel, QObject *parent = nullptr, qreal weight = 1.0)
        : ComposedTaskSpecification(maxParallel, parent, weight)
    {
    }

    void add(TaskSpecification *task) { addSubTask(task); }
    void execute() override
    {
        setState(TASK_RUNNING);
        startSubTasks();
    }
    using ComposedTaskSpecification::clearSubTasks;
    using ComposedTaskSpecification::subTaskOutcome;

    bool holdEnd = false;
    int doneCalls = 0;

protected:
    void subtasksDone() override
    {
        ++doneCalls;
        if (!holdEnd)
            ComposedTaskSpecification::subtasksDone();
    }
};

using WorkerBody = std::function<bool(ASyncFunc &)>;

class BodyFunc : public ASyncFunc
{
    Q_OBJECT
public:
    explicit BodyFunc(const WorkerBody &body) : m_body(body) {}
    bool run() override { return m_body(*this); }

private:
    const WorkerBody m_body;
};

class PoolTask : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    PoolTask(const WorkerBody &body, QObject *parent, qreal weight)
        : ASyncTaskSpecification(parent, weight), m_body(body)
    {
    }
    void setBody(const WorkerBody &body) { m_body = body; }

protected:
    ASyncFunc *createFunc() override { return new BodyFunc(m_body); }

private:
    WorkerBody m_body;
};

class BodyFileFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    BodyFileFunc(const WorkerBody &body, const QString &srcFile, const QString &dstFile)
        : SlowFileOpFunc(srcFile, dstFile), m_body(body)
    {
    }
    bool run() override { return m_body(*this); }

private:
    const WorkerBody m_body;
};

class BodyFileOp : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    BodyFileOp(const WorkerBody &body, RollbackDataList *rollbackList, const QString &dstFile,
               QObject *parent)
        : SlowFileOpSpecification("Could not make '" + dstFile + "'", rollbackList, QString(), dstFile,
                                  parent, 1.0),
          m_body(body)
    {
    }

protected:
    ASyncFunc *createFunc() override { return new BodyFileFunc(m_body, m_srcFile, m_dstFile); }

private:
    const WorkerBody m_body;
};
