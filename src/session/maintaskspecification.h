#pragma once

#include "tasks/composedtaskspecification.h"
#include "tasks/updatelists.h"

#include <QVector>

class Configuration;
class QNetworkAccessManager;

// The root of one update run: its stages run strictly one after another and
// hand their results on through the lists owned here.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    MainTaskSpecification(QNetworkAccessManager *networkManager, Configuration *config, QObject *parent,
                          qreal weight);

    UpdateLists &lists() { return m_lists; }

public slots:
    void execute() override;
    void reset() override;

protected:
    void makeSubtasksAndStart();

private:
    enum class RunKind
    {
        Any,
        ClientUpdate,
        UpdaterUpdate
    };
    // One row of a run: which kind of run it belongs to, its share of the
    // progress and how the stage is made.
    struct Stage
    {
        RunKind kind;
        qreal weight;
        TaskSpecification *(*make)(MainTaskSpecification &main, qreal weight);
    };
    static const QVector<Stage> &stages();

    QNetworkAccessManager *m_networkManager;
    Configuration *m_config;
    UpdateLists m_lists;
};
