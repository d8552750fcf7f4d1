#include "tasks/slowfileopspecification.h"

#include "tasks/rollback.h"

SlowFileOpSpecification::SlowFileOpSpecification(const QString &errorMessage, RollbackDataList *rollbackList,
                                                 const QString &srcFile, const QString &dstFile,
                                                 QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), m_rollbackList(rollbackList), m_srcFile(srcFile),
      m_dstFile(dstFile), m_errorMessage(errorMessage)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString &errorMessage, RollbackDataList *rollbackList,
                                                 const QString &srcFile, const QString &patchFile,
                                                 const QString &dstFile, QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), m_rollbackList(rollbackList), m_srcFile(srcFile),
      m_patchFile(patchFile), m_dstFile(dstFile), m_errorMessage(errorMessage)
{
}

void SlowFileOpSpecification::runDone(bool res)
{
    if (state() == TASK_RUNNING) {
        if (res && m_rollbackList)
            m_rollbackList->append(RollbackData(RollbackData::FILE_CREATE, m_dstFile));
        else if (!res)
            emit message(m_errorMessage);
    }
    ASyncTaskSpecification::runDone(res);
}
