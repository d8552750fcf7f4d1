#include "session/maintaskspecification.h"

#include "pipeline/downloadfilelisttaskspecification.h"
#include "shell/configuration.h"
#include "tasks/filedeletelisttaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager *networkManager, Configuration *config,
                                             QObject *parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_networkManager(networkManager), m_config(config)
{
}

// The stages of a run in the order they run. A stage joins the run by adding
// its row at its place: product ini (0.1), list compilation (0.05), downloads
// (0.4), pre-install commands (0.1), replacement (client, 0.4) or self-update
// (updater, 0.4), deletion (client, 0.05), post-install commands (0.1).
const QVector<MainTaskSpecification::Stage> &MainTaskSpecification::stages()
{
    static const QVector<Stage> table = {
        {RunKind::Any, 0.4,
         [](MainTaskSpecification &main, qreal weight) -> TaskSpecification * {
             return new DownloadFileListTaskSpecification(&main.m_lists.downloadList, main.m_networkManager,
                                                          main.m_config, &main, weight);
         }},
        {RunKind::ClientUpdate, 0.05,
         [](MainTaskSpecification &main, qreal weight) -> TaskSpecification * {
             return new FileDeleteListTaskSpecification(&main.m_lists.deleteList, main.m_config, &main,
                                                        weight);
         }},
    };
    return table;
}

void MainTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting update process for ") +
                 (m_config->isClientUpdate() ? QStringLiteral("client") : QStringLiteral("updater")));
    makeSubtasksAndStart();
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    m_lists.clear();
    // The stages are built anew by each execute(), so the composed reset does not apply.
    TaskSpecification::reset();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    const RunKind kind = m_config->isClientUpdate() ? RunKind::ClientUpdate : RunKind::UpdaterUpdate;
    for (const Stage &stage : stages()) {
        if (stage.kind == RunKind::Any || stage.kind == kind)
            addSubTask(stage.make(*this, stage.weight));
    }
    setState(TASK_RUNNING);
    startSubTasks();
}
