#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Renames m_from to m_path, creating the target's directory (one level) when
// it is missing; the rename and that directory are recorded for undo.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString &from, const QString &to, RollbackDataList *rollbackList,
                                QObject *parent, qreal weight);

protected:
    bool doOp() override;

private:
    const QString m_from;
};
