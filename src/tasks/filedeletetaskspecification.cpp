#include "tasks/filedeletetaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool failOnError, const QString &path,
                                                         bool recursive, QObject *parent, qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight), m_failOnError(failOnError),
      m_recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const QFileInfo info(m_path);
    bool removed = false;
    // A link is removed itself: following a link to a directory would empty a
    // directory outside the one being updated.
    if (!info.isDir() || info.isSymLink()) {
        removed = QFile::remove(m_path);
        qDebug() << "Deleted file" << m_path << removed;
        if (removed)
            emit message(QString("Deleted file '%1'").arg(m_path));
    } else if (m_recursive) {
        removed = QDir(m_path).removeRecursively();
        qDebug() << "Recursively deleted directory" << m_path << removed;
        if (removed)
            emit message(QString("Recursively deleted directory '%1'").arg(m_path));
    } else {
        removed = QDir().rmpath(m_path);
        qDebug() << "Deleted directory" << m_path << removed;
        if (removed)
            emit message(QString("Deleted directory '%1'").arg(m_path));
    }
    if (!removed && m_failOnError) {
        emit message(QString("Could not delete '%1'").arg(m_path));
        return false;
    }
    return true;
}
