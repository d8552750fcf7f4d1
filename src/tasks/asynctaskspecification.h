#pragma once

#include "tasks/taskspecification.h"

class ASyncFunc;

// A task whose work blocks: it runs in a worker (createFunc()) on Qt's global
// thread pool, and the result comes back through runDone() on the GUI thread.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ASyncTaskSpecification(QObject *parent, qreal weight);

public slots:
    void execute() override;
    // Waits for the pool to run dry, so no worker of the old run is still busy.
    void reset() override;

protected:
    virtual ASyncFunc *createFunc() = 0;
    virtual void connectFunc(ASyncFunc *func);
    virtual void runDone(bool res);

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);

private:
    // Identifies the current run: signals of a worker from before a reset are
    // still queued and must not count for the next run.
    quint64 m_run = 0;
};
