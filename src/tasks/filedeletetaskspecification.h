#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Deletes a file or a directory. Deletions cannot be undone, so it keeps no journal.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteTaskSpecification(bool failOnError, const QString &path, bool recursive, QObject *parent,
                                qreal weight);

protected:
    bool doOp() override;

private:
    const bool m_failOnError;
    const bool m_recursive;
};
