#include "tasks/composedtaskspecification.h"

#include <QtDebug>

namespace {
int atLeastOne(int maxParallel)
{
    // A count of 0 would end the task at once with nothing started; a bad
    // configured download count must not turn the whole run into a failure.
    if (maxParallel < 1) {
        qWarning() << "ComposedTaskSpecification: maxParallel" << maxParallel << "raised to 1";
        return 1;
    }
    return maxParallel;
}
} // namespace

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, QObject *parent, qreal weight)
    : TaskSpecification(parent, weight), m_maxParallel(atLeastOne(maxParallel))
{
    // Starting from the event loop keeps a sub-task that ends inside its own
    // execute() from starting the next one from within that call.
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    clearSubTasks();
}

void ComposedTaskSpecification::reset()
{
    for (TaskSpecification *task : qAsConst(m_subTasks))
        task->reset();
    m_pending = m_subTasks;
    m_running.clear();
    m_ended.clear();
    m_subTaskCanceled = false;
    m_doneReported = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::getDownloadProgress(qulonglong &downloadDone, qulonglong &downloadTotal,
                                                    qulonglong &speed, bool &downloading)
{
    downloading = false;
    for (TaskSpecification *task : qAsConst(m_subTasks)) {
        qulonglong done = 0;
        qulonglong total = 0;
        qulonglong taskSpeed = 0;
        bool taskDownloading = false;
        task->getDownloadProgress(done, total, taskSpeed, taskDownloading);
        downloading = downloading || taskDownloading;
        speed += taskSpeed;
        // A download that does not know its size yet would distort the ratio.
        if (total != 0) {
            downloadDone += done;
            downloadTotal += total;
        }
    }
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state() != TASK_RUNNING)
        return;
    // A sub-task may end inside its cancel() and make this task end; iterate a copy.
    const QList<TaskSpecification *> subTasks = m_subTasks;
    for (TaskSpecification *task : subTasks)
        task->cancel();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (subTaskOutcome()) {
    case TASK_CANCELED:
        setCanceled();
        break;
    case TASK_FINISHED:
        setFinished();
        break;
    default:
        setFailed();
        break;
    }
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification *task)
{
    connect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(task, &TaskSpecification::updateProgress, this, &ComposedTaskSpecification::onUpdateProgress);
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, task,
            &ComposedTaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::addSubTask(TaskSpecification *task)
{
    m_subTasks.append(task);
    m_pending.append(task);
    connectSubTask(task);
    reportSummedProgress();
}

void ComposedTaskSpecification::startSubTasks()
{
    setState(TASK_RUNNING);
    const int n = qMin(m_maxParallel, m_pending.size());
    if (n == 0) {
        endOnce();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::clearSubTasks()
{
    for (TaskSpecification *task : qAsConst(m_subTasks)) {
        disconnect(task, nullptr, this, nullptr);
        // The sub-task may be inside one of its own signals right now.
        task->deleteLater();
    }
    m_subTasks.clear();
    m_pending.clear();
    m_running.clear();
    m_ended.clear();
    // The run's bookkeeping goes with its sub-tasks, so a task that builds its
    // sub-tasks anew can run (and end) again.
    m_subTaskCanceled = false;
    m_doneReported = false;
}

TaskSpecification::State ComposedTaskSpecification::subTaskOutcome() const
{
    bool anyCanceled = false;
    bool allFinished = true;
    for (const TaskSpecification *task : m_subTasks) {
        switch (task->state()) {
        case TASK_FAILED:
            return TASK_FAILED;
        case TASK_CANCELED:
            anyCanceled = true;
            allFinished = false;
            break;
        case TASK_FINISHED:
            break;
        default:
            allFinished = false;
            break;
        }
    }
    if (anyCanceled)
        return TASK_CANCELED;
    if (allFinished)
        return TASK_FINISHED;
    if (cancelRequested())
        return TASK_CANCELED;
    if (m_subTaskCanceled)
        return TASK_FAILED;
    return TASK_RUNNING;
}

void ComposedTaskSpecification::onStartNextTask()
{
    // Requests queued before a reset or after the end belong to no run; the
    // running count keeps such a request from exceeding m_maxParallel.
    if (state() != TASK_RUNNING || m_running.size() >= m_maxParallel)
        return;
    if (m_pending.isEmpty() || m_subTaskCanceled || cancelRequested()) {
        if (m_running.isEmpty())
            endOnce();
        return;
    }
    TaskSpecification *task = m_pending.takeFirst();
    m_running.append(task);
    task->execute();
}

void ComposedTaskSpecification::onUpdateProgress(qreal)
{
    reportSummedProgress();
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification *task)
{
    m_running.removeOne(task);
    m_ended.append(task);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification *task)
{
    m_running.removeOne(task);
    m_ended.append(task);
    if (!m_subTaskCanceled) {
        m_subTaskCanceled = true;
        emit otherTaskCancelled(task);
    }
    if (m_running.isEmpty())
        endOnce();
}

void ComposedTaskSpecification::reportSummedProgress()
{
    qreal sum = 0;
    for (const TaskSpecification *task : qAsConst(m_subTasks))
        sum += task->doneFrac();
    setProgress(sum);
}

void ComposedTaskSpecification::endOnce()
{
    if (m_doneReported)
        return;
    m_doneReported = true;
    subtasksDone();
}
