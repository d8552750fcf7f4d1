#pragma once

#include "session/httpdownloader.h"
#include "session/updateversions.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

// Asks the version server once which version each release channel offers.
// Delivers exactly one update_available per checkForUpdate(), empty when the
// server could not be reached in time or its answer could not be read, and then
// deletes itself.
class UpdateChecker : public QObject
{
    Q_OBJECT

public:
    explicit UpdateChecker(QObject *parent);
    ~UpdateChecker() override;

    // Time limit for the whole request; takes effect at the next checkForUpdate().
    void setTimeout(int timeoutMs) { m_timeoutMs = timeoutMs; }
    void checkForUpdate();

signals:
    void update_available(UpdateVersions versions);

private slots:
    void on_updateCheckAvailable(QByteArray updateData);

private:
    int m_timeoutMs = HTTPDownloader::DefaultTimeoutMs;
    QPointer<HTTPDownloader> m_downloader;
};

// The entry of a channel (CHANNEL_STABLE, CHANNEL_BETA, CHANNEL_ALPHA); an empty pair when there is none.
QPair<QString, QString> getChannelVersion(const UpdateVersions &versions, int channel);
