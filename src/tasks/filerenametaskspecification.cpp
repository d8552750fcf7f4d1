#include "tasks/filerenametaskspecification.h"

#include "tasks/rollback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &from, const QString &to,
                                                         RollbackDataList *rollbackList, QObject *parent,
                                                         qreal weight)
    : FastFileOpTaskSpecification(to, rollbackList, parent, weight), m_from(from)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const QFileInfo dir(QFileInfo(m_path).path());
    const QDir dirParent = dir.dir();
    const bool createdDir = !dir.exists() && dirParent.mkdir(dir.fileName());
    if (!QFile::rename(m_from, m_path)) {
        // Leave nothing behind that no record would undo.
        if (createdDir)
            dirParent.rmdir(dir.fileName());
        emit message(QString("Could not rename '%1' to '%2'").arg(m_from, m_path));
        return false;
    }
    if (createdDir)
        addRollbackData(RollbackData(RollbackData::DIR_CREATE, dir.filePath()));
    addRollbackData(RollbackData(RollbackData::FILE_RENAME, m_from, m_path));
    return true;
}
