#include "tasks/filedeletelisttaskspecification.h"

#include "shell/configuration.h"
#include "tasks/filedeletetaskspecification.h"

#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(const QList<DeleteEntry> *entries,
                                                                 Configuration *configuration,
                                                                 QObject *parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_entries(entries), m_configuration(configuration)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message("Starting deleting files");
    const QList<DeleteEntry> entries = *m_entries;
    const qreal weight = entries.isEmpty() ? 0.0 : 1.0 / entries.size();
    const QDir installDir(m_configuration->installDir());
    for (const DeleteEntry &entry : entries) {
        const QString path = QFileInfo(installDir, entry.name).filePath();
        addSubTask(new FileDeleteTaskSpecification(false, path, entry.recursive, this, weight));
    }
    startSubTasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    ComposedTaskSpecification::reset();
}
