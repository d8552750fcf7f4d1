#pragma once

#include "tasks/taskspecification.h"

class RollbackData;
class RollbackDataList;

// A quick file operation done synchronously inside execute(); the task has
// ended when execute() returns.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    FastFileOpTaskSpecification(const QString &path, RollbackDataList *rollbackList, QObject *parent,
                                qreal weight);

public slots:
    void execute() override;

protected:
    virtual bool doOp() = 0;
    void addRollbackData(const RollbackData &record);

    RollbackDataList *const m_rollbackList;
    const QString m_path;
};
