#pragma once

#include "tasks/taskspecification.h"

#include <QList>

// A task whose work is a list of sub-tasks, started in the order added with at
// most m_maxParallel running at a time. Sub-tasks are QObject children of this
// task; their progress is summed and their messages and errors are forwarded.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ComposedTaskSpecification(int maxParallel, QObject *parent, qreal weight);
    ~ComposedTaskSpecification() override;

    void getDownloadProgress(qulonglong &downloadDone, qulonglong &downloadTotal, qulonglong &speed,
                             bool &downloading) override;

    int maxParallel() const { return m_maxParallel; }
    const QList<TaskSpecification *> &subTasks() const { return m_subTasks; }
    // Sub-tasks in the order they ended.
    const QList<TaskSpecification *> &endedSubTasks() const { return m_ended; }

public slots:
    void reset() override;
    void cancel() override;

signals:
    void startNextTask();

protected:
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    // Decides how this task ends once nothing runs any more.
    virtual void subtasksDone();
    virtual void connectSubTask(TaskSpecification *task);

    void addSubTask(TaskSpecification *task);
    void startSubTasks();
    void clearSubTasks();
    State subTaskOutcome() const;

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification *task);
    void onSubTaskCanceled(TaskSpecification *task);

private:
    void reportSummedProgress();
    void endOnce();

    QList<TaskSpecification *> m_subTasks;
    QList<TaskSpecification *> m_pending;
    QList<TaskSpecification *> m_running;
    QList<TaskSpecification *> m_ended;
    const int m_maxParallel;
    bool m_subTaskCanceled = false;
    bool m_doneReported = false;
};
