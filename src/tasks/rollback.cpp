#include "tasks/rollback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QtDebug>

RollbackData::RollbackData(Op op, const QString &from, const QString &to) : path(to), oldPath(from), op(op)
{
    if (op != FILE_RENAME)
        qFatal("ASSERT: \"%s\" in file %s, line %d", "op==FILE_RENAME", __FILE__, __LINE__);
}

RollbackData::RollbackData(Op op, const QString &path) : path(path), op(op)
{
    if (op == FILE_RENAME)
        qFatal("ASSERT: \"%s\" in file %s, line %d", "op!=FILE_RENAME", __FILE__, __LINE__);
}

bool RollbackData::rollback(QObject *receiver) const
{
    switch (op) {
    case FILE_RENAME:
        if (!QFile::rename(path, oldPath)) {
            message(receiver, QString("warning: rollback rename %1 to %2 failed").arg(oldPath, path));
            return false;
        }
        return true;
    case FILE_CREATE:
        if (!QFile::remove(path)) {
            message(receiver, QString("warning: rollback create file %1 failed").arg(path));
            return false;
        }
        return true;
    case DIR_CREATE: {
        // rmdir through the parent fails for a directory that is not empty.
        const QFileInfo info(path);
        if (!info.dir().rmdir(info.fileName())) {
            message(receiver, QString("warning: rollback create dir %1 failed").arg(path));
            return false;
        }
        return true;
    }
    }
    qFatal("Should not reach here");
}

void RollbackData::message(QObject *receiver, const QString &text)
{
    if (!receiver)
        return;
    if (!QMetaObject::invokeMethod(receiver, "message", Qt::AutoConnection, Q_ARG(QString, text)))
        qDebug() << "Warning: message signal was not found in RollbackData::message";
}

bool RollbackDataList::rollback(QObject *receiver)
{
    bool result = true;
    while (!isEmpty()) {
        if (!takeLast().rollback(receiver))
            result = false;
    }
    return result;
}
