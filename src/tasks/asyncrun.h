#pragma once

#include <QRunnable>

class ASyncFunc;

// Runs one worker on a pool thread and emits its result; owns the worker, so
// the worker is destroyed on that thread right after its result went out.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc *func);
    ~ASyncRun() override;

    void run() override;

private:
    ASyncFunc *m_func;
};
