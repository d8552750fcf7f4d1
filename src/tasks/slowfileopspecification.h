#pragma once

#include "tasks/asynctaskspecification.h"

class RollbackDataList;

// An asynchronous file operation that creates m_dstFile: on success it records
// the created file in the journal, on failure it reports m_errorMessage.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    SlowFileOpSpecification(const QString &errorMessage, RollbackDataList *rollbackList,
                            const QString &srcFile, const QString &dstFile, QObject *parent, qreal weight);
    SlowFileOpSpecification(const QString &errorMessage, RollbackDataList *rollbackList,
                            const QString &srcFile, const QString &patchFile, const QString &dstFile,
                            QObject *parent, qreal weight);

protected:
    void runDone(bool res) override;

    RollbackDataList *const m_rollbackList;
    const QString m_srcFile;
    const QString m_patchFile;
    const QString m_dstFile;
    const QString m_errorMessage;
};
