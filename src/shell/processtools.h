#pragma once

#include <QString>
#include <QStringList>

// Hands over to another program when a run has ended: the client after a
// client update, the new updater after the updater updated itself.
class ProcessTools
{
public:
    static void startVx3Client(const QString &dir);
    static void startClientUpdater(const QString &dir, const QStringList &args);

private:
    static void startVx3Client_linux(const QString &dir);
    static void startNewUpdater_linux(const QString &dir, const QStringList &args);
};
