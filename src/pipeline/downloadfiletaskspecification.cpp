#include "pipeline/downloadfiletaskspecification.h"

#include "pipeline/checksignaturetaskspecification.h"
#include "pipeline/downloadtaskspecification.h"
#include "shell/configuration.h"

#include <QFile>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadEntry &entry,
                                                             QNetworkAccessManager *manager,
                                                             Configuration *config, QObject *parent,
                                                             qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Entry(entry), m_Manager(manager), m_Config(config)
{
}

QString DownloadFileTaskSpecification::localFile() const
{
    return m_Config->tempDir() + "/" + m_Entry.name;
}

void DownloadFileTaskSpecification::execute()
{
    m_CheckFailed = false;
    m_Refetched = false;
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    m_Download =
        new DownloadTaskSpecification(m_Manager, m_Entry.section + "/" + m_Entry.name, m_Config->newVersion(),
                                      localFile(), qint64(m_Entry.size), this, 0.8);
    addSubTask(m_Download);

    auto *check = new CheckSignatureTaskSpecification(localFile(), m_Entry.hash, false, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);

    startSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification *)
{
    if (pass)
        return;
    // Nothing may install a file that does not match the signed product ini.
    m_CheckFailed = true;
    QFile::remove(localFile());
}

void DownloadFileTaskSpecification::subtasksDone()
{
    if (!m_CheckFailed || subTaskOutcome() != TASK_FINISHED) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    if (cancelRequested()) {
        setCanceled();
        return;
    }
    if (m_Refetched) {
        setFailed();
        return;
    }
    // One fresh download: a transfer may have been damaged on the way.
    clearSubTasks();
    // Re-arms the composition for a second round within this run (no sub-tasks are left).
    ComposedTaskSpecification::reset();
    m_Refetched = true;
    m_CheckFailed = false;
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    clearSubTasks();
    m_Download = nullptr;
    m_CheckFailed = false;
    m_Refetched = false;
    TaskSpecification::reset();
}
