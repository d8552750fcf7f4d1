#include "tasks/taskspecification.h"

TaskSpecification::TaskSpecification(QObject *parent, qreal weight) : QObject(parent), m_weight(weight) {}

void TaskSpecification::reset()
{
    m_cancelRequested = false;
    m_state = TASK_IDLE;
    m_doneFrac = 0 * m_weight;
    emit updateProgress(m_doneFrac);
}

void TaskSpecification::getDownloadProgress(qulonglong &downloadDone, qulonglong &downloadTotal,
                                            qulonglong &speed, bool &downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::cancel()
{
    m_cancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification *) {}

void TaskSpecification::setProgress(qreal fraction)
{
    m_doneFrac = fraction * m_weight;
    emit updateProgress(m_doneFrac);
}

void TaskSpecification::setFinished()
{
    m_state = TASK_FINISHED;
    m_doneFrac = m_weight;
    emit updateProgress(m_weight);
    emit finished(this);
}

void TaskSpecification::setFailed()
{
    m_state = TASK_FAILED;
    emit canceled(this);
}

void TaskSpecification::setCanceled()
{
    m_state = TASK_CANCELED;
    emit canceled(this);
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification *other)
{
    if (other != this && m_state == TASK_RUNNING)
        handleOtherTaskCancelled(other);
}
