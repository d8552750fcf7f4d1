#include "session/updatechecker.h"

#include "session/protobufhelper.h"
#include "shell/configuration.h"
#include "shell/serverurls.h"

#include <QNetworkRequest>
#include <QUrl>

UpdateChecker::UpdateChecker(QObject *parent) : QObject(parent) {}

UpdateChecker::~UpdateChecker()
{
    // The request thread must not outlive the checker that waits for it.
    if (m_downloader) {
        m_downloader->quit();
        m_downloader->wait();
    }
}

void UpdateChecker::checkForUpdate()
{
    QNetworkRequest request{QUrl(ServerUrls::versionUrl())};
    auto *downloader = new HTTPDownloader(request, m_timeoutMs);
    m_downloader = downloader;
    connect(downloader, &HTTPDownloader::download_available, this, &UpdateChecker::on_updateCheckAvailable);
    // Released only once its thread has ended.
    connect(downloader, &QThread::finished, downloader, &QObject::deleteLater);
    downloader->start();
}

void UpdateChecker::on_updateCheckAvailable(QByteArray updateData)
{
    UpdateVersions versions;
    VersionsResult result;
    if (parseVersions(updateData, &result))
        versions = toUpdateVersions(result);
    emit update_available(versions);
    deleteLater();
}

QPair<QString, QString> getChannelVersion(const UpdateVersions &versions, int channel)
{
    switch (channel) {
    case CHANNEL_ALPHA:
        return versions.value(QStringLiteral("alpha"));
    case CHANNEL_BETA:
        return versions.value(QStringLiteral("beta"));
    case CHANNEL_STABLE:
        return versions.value(QStringLiteral("stable"));
    default:
        return QPair<QString, QString>();
    }
}
