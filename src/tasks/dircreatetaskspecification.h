#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Creates a directory and its missing ancestors, outermost first, with one
// undo record per directory created.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString &path, RollbackDataList *rollbackList, QObject *parent,
                               qreal weight);

protected:
    bool doOp() override;

private:
    bool createDir(const QString &dir);
};
