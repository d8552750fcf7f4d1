#pragma once

#include <QObject>

// The unit of work of an update run. A task is started with execute() and ends
// exactly once per run with finished() or canceled(); it never reports through
// return values or exceptions.
class TaskSpecification : public QObject
{
    Q_OBJECT
public:
    enum State
    {
        TASK_IDLE = 0,
        TASK_RUNNING = 1,
        TASK_FINISHED = 2,
        TASK_FAILED = 3,
        TASK_CANCELED = 4
    };
    Q_ENUM(State)

    TaskSpecification(QObject *parent, qreal weight);

    virtual void getDownloadProgress(qulonglong &downloadDone, qulonglong &downloadTotal, qulonglong &speed,
                                     bool &downloading);

    State state() const { return m_state; }
    qreal weight() const { return m_weight; }
    // Weighted progress: fraction done times weight.
    qreal doneFrac() const { return m_doneFrac; }
    bool cancelRequested() const { return m_cancelRequested; }

public slots:
    virtual void execute() = 0;
    virtual void reset();
    virtual void cancel();

signals:
    void finished(TaskSpecification *task);
    void canceled(TaskSpecification *task);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification *other);

protected:
    // Reaction of a running task to a sibling that ended with canceled().
    virtual void handleOtherTaskCancelled(TaskSpecification *other);

    void setState(State state) { m_state = state; }
    void setProgress(qreal fraction);
    void setFinished();
    void setFailed();
    void setCanceled();

protected slots:
    void onOtherTaskCancelled(TaskSpecification *other);

private:
    bool m_cancelRequested = false;
    const qreal m_weight;
    qreal m_doneFrac = 0;
    State m_state = TASK_IDLE;
};
