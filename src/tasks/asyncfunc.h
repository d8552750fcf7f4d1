#pragma once

#include <QObject>

// The blocking half of an asynchronous task. Created on the GUI thread with
// copies of all its inputs, then used only on one pool thread; it reports only
// through its signals, which reach the task queued.
class ASyncFunc : public QObject
{
    Q_OBJECT
public:
    ASyncFunc() = default;

    // Does the work; true means success.
    virtual bool run() = 0;

signals:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    // Fraction 0..1 of the worker's own work.
    void progress(qreal progress);
};
