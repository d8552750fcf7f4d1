#include "tasks/asynctaskspecification.h"

#include "tasks/asyncfunc.h"
#include "tasks/asyncrun.h"

#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject *parent, qreal weight)
    : TaskSpecification(parent, weight)
{
}

void ASyncTaskSpecification::execute()
{
    ++m_run;
    ASyncFunc *func = createFunc();
    connectFunc(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    setState(TASK_RUNNING);
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone();
    ++m_run;
    TaskSpecification::reset();
}

void ASyncTaskSpecification::connectFunc(ASyncFunc *func)
{
    // All queued: the worker emits on a pool thread, the task lives on the GUI
    // thread. One sender and one receiving thread keep the emission order, so
    // runResult arrives after every message and progress report.
    const quint64 run = m_run;
    connect(
        func, &ASyncFunc::runResult, this,
        [this, run](bool res) {
            if (run == m_run)
                onRunResult(res);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::message, this,
        [this, run](const QString &text) {
            if (run == m_run)
                emit message(text);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::error, this,
        [this, run](const QString &text) {
            if (run == m_run)
                emit error(text);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::progress, this,
        [this, run](qreal progress) {
            if (run == m_run)
                onProgress(progress);
        },
        Qt::QueuedConnection);
}

void ASyncTaskSpecification::runDone(bool res)
{
    if (state() != TASK_RUNNING)
        return;
    if (res)
        setFinished();
    else
        setFailed();
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}
