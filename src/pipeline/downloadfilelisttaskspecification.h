#pragma once

#include "tasks/composedtaskspecification.h"
#include "tasks/updatelists.h"

class Configuration;
class QNetworkAccessManager;

// The download stage of an update run: one DownloadFileTaskSpecification per entry of the
// download list, up to the configured number of streams at a time.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileListTaskSpecification(QList<DownloadEntry> *downloads, QNetworkAccessManager *manager,
                                      Configuration *config, QObject *parent, qreal weight);

    void getDownloadProgress(qulonglong &downloadDone, qulonglong &downloadTotal, qulonglong &speed,
                             bool &downloading) override;

public slots:
    void execute() override;
    void reset() override;

private:
    // Creates the sub-directories of the temporary directory that the downloads go to.
    bool createDirectories();

    QList<DownloadEntry> *m_Downloads;
    QNetworkAccessManager *m_Manager;
    Configuration *m_Config;
    quint64 m_TotalBytes = 0;
};
