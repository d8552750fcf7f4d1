#include "tasks/fastfileoptaskspecification.h"

#include "tasks/rollback.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString &path, RollbackDataList *rollbackList,
                                                         QObject *parent, qreal weight)
    : TaskSpecification(parent, weight), m_rollbackList(rollbackList), m_path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    setState(TASK_RUNNING);
    if (doOp())
        setFinished();
    else
        setFailed();
}

void FastFileOpTaskSpecification::addRollbackData(const RollbackData &record)
{
    if (m_rollbackList)
        m_rollbackList->append(record);
}
