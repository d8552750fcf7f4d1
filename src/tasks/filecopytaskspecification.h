#pragma once

#include "tasks/slowfileopspecification.h"

// Copies a file on the thread pool; the copy is recorded as a created file.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileCopyTaskSpecification(RollbackDataList *rollbackList, const QString &srcFile, const QString &dstFile,
                              QObject *parent, qreal weight);

protected:
    ASyncFunc *createFunc() override;
};
