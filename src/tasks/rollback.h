#pragma once

#include <QList>
#include <QString>

class QObject;

// One undo record of the in-memory journal: how to reverse one successful
// file change.
class RollbackData
{
public:
    enum Op : int
    {
        FILE_RENAME = 0,
        FILE_CREATE = 1,
        DIR_CREATE = 2
    };

    // A rename from `from` to `to`.
    RollbackData(Op op, const QString &from, const QString &to);
    // A created file or directory.
    RollbackData(Op op, const QString &path);

    // Undoes this record; on failure warns `receiver` and returns false.
    bool rollback(QObject *receiver) const;

    // Sends `text` through the `message` method of `receiver`, if it has one.
    static void message(QObject *receiver, const QString &text);

    QString path;
    QString oldPath;
    Op op;
};

// The undo journal, oldest record first; played back newest first.
class RollbackDataList : public QList<RollbackData>
{
public:
    // Undoes every record, newest first, also past a record that fails; the
    // list is empty afterwards. True when every record was undone.
    bool rollback(QObject *receiver);
};
