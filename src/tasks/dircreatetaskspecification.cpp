#include "tasks/dircreatetaskspecification.h"

#include "tasks/rollback.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString &path, RollbackDataList *rollbackList,
                                                       QObject *parent, qreal weight)
    : FastFileOpTaskSpecification(path, rollbackList, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    // A trailing "/" would leave an empty last component to create.
    return createDir(QDir::cleanPath(m_path));
}

bool DirCreateTaskSpecification::createDir(const QString &dir)
{
    const QFileInfo info(dir);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(
            QString("Could not create dir '%1' because it already exists and is not a dir").arg(dir));
        return false;
    }
    // A relative path of one component has no parent we could work in.
    const QDir parent = info.dir();
    if (parent.path() == "." || info.isRoot()) {
        emit message(QString("Could not create dir %1").arg(m_path));
        return false;
    }
    if (!parent.exists() && !createDir(parent.path()))
        return false;
    if (!parent.mkdir(info.fileName())) {
        emit message(QString("unable to create dir %1").arg(dir));
        return false;
    }
    addRollbackData(RollbackData(RollbackData::DIR_CREATE, dir));
    return true;
}
