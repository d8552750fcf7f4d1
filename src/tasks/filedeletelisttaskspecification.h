#pragma once

#include "tasks/composedtaskspecification.h"
#include "tasks/updatelists.h"

class Configuration;

// Deletes the update's obsolete files one at a time. A deletion that fails
// does not fail the list.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteListTaskSpecification(const QList<DeleteEntry> *entries, Configuration *configuration,
                                    QObject *parent, qreal weight);

public slots:
    void execute() override;
    // The sub-tasks are built by execute(), so a new run builds them anew.
    void reset() override;

private:
    // Read when the task executes: an earlier stage fills the list.
    const QList<DeleteEntry> *const m_entries;
    Configuration *const m_configuration;
};
