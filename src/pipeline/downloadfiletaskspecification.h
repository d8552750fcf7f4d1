#pragma once

#include "tasks/composedtaskspecification.h"
#include "tasks/updatelists.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class QNetworkAccessManager;

// Downloads one entry of the download list into the temporary directory, then checks it
// against the digest the product ini gives for it. A file that fails the check is removed
// and fetched once more; a second mismatch fails the task, so a corrupted or forged file
// never counts as downloaded.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileTaskSpecification(const DownloadEntry &entry, QNetworkAccessManager *manager,
                                  Configuration *config, QObject *parent, qreal weight);

public slots:
    void execute() override;
    void reset() override;

protected:
    void subtasksDone() override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *check);

private:
    void makeSubtasksAndStart();
    QString localFile() const;

    DownloadEntry m_Entry;
    QNetworkAccessManager *m_Manager;
    Configuration *m_Config;
    DownloadTaskSpecification *m_Download = nullptr;
    bool m_CheckFailed = false;
    bool m_Refetched = false;
};
