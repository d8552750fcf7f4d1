#include "pipeline/downloadfilelisttaskspecification.h"

#include "pipeline/downloadfiletaskspecification.h"
#include "shell/configuration.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(QList<DownloadEntry> *downloads,
                                                                     QNetworkAccessManager *manager,
                                                                     Configuration *config, QObject *parent,
                                                                     qreal weight)
    : ComposedTaskSpecification(config->streams(), parent, weight), m_Downloads(downloads),
      m_Manager(manager), m_Config(config)
{
}

void DownloadFileListTaskSpecification::execute()
{
    if (m_Downloads->isEmpty()) {
        emit message(QString("No downloads needed"));
        setFinished();
        return;
    }
    if (!createDirectories())
        return;
    emit message(QString("Downloading files"));
    const qreal weight = 1.0 / m_Downloads->size();
    for (const DownloadEntry &entry : qAsConst(*m_Downloads)) {
        addSubTask(new DownloadFileTaskSpecification(entry, m_Manager, m_Config, this, weight));
        m_TotalBytes += entry.size;
    }
    startSubTasks();
}

bool DownloadFileListTaskSpecification::createDirectories()
{
    QSet<QString> handled{QStringLiteral(".")};
    const QDir temp(m_Config->tempDir());
    for (const DownloadEntry &entry : qAsConst(*m_Downloads)) {
        const QString dir = QFileInfo(entry.name).path();
        if (handled.contains(dir))
            continue;
        if (!temp.mkpath(dir)) {
            emit message(QString("Could not create dir %1").arg(temp.canonicalPath() + "/" + dir));
            setFailed();
            return false;
        }
        handled.insert(dir);
    }
    return true;
}

void DownloadFileListTaskSpecification::reset()
{
    clearSubTasks();
    m_TotalBytes = 0;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::getDownloadProgress(qulonglong &downloadDone,
                                                            qulonglong &downloadTotal, qulonglong &speed,
                                                            bool &downloading)
{
    ComposedTaskSpecification::getDownloadProgress(downloadDone, downloadTotal, speed, downloading);
    downloadTotal = m_TotalBytes;
}
