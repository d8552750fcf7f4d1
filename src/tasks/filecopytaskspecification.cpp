#include "tasks/filecopytaskspecification.h"

#include "tasks/filecopyfunc.h"

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList *rollbackList, const QString &srcFile,
                                                     const QString &dstFile, QObject *parent, qreal weight)
    : SlowFileOpSpecification(QString("Could not copy '%1' to '%2'").arg(srcFile, dstFile), rollbackList,
                              srcFile, dstFile, parent, weight)
{
}

ASyncFunc *FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(m_srcFile, m_dstFile);
}
