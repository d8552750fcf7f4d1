#include "shell/processtools.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>

namespace {
const char RunScriptName[] = "vx3client_runscript.sh";
}

void ProcessTools::startVx3Client(const QString &dir)
{
    qDebug() << "startVx3Client";
    startVx3Client_linux(dir);
}

void ProcessTools::startClientUpdater(const QString &dir, const QStringList &args)
{
    qDebug() << "startClientUpdater" << dir << args;
    startNewUpdater_linux(dir, args);
}

void ProcessTools::startVx3Client_linux(const QString &dir)
{
    const QString path = dir + QLatin1Char('/') + QLatin1String(RunScriptName);
    qDebug() << "starting" << path;
    QProcess::startDetached(path, QStringList(), dir);
}

void ProcessTools::startNewUpdater_linux(const QString &dir, const QStringList &args)
{
    const QString path = dir + QStringLiteral("/update");
    qDebug() << "startNewUpdater_linux" << path;
    if (!QFileInfo::exists(path)) {
        qDebug() << "Failed to find" << path;
        return;
    }
    qDebug() << "starting" << path;
    QProcess::startDetached(path, args, dir);
}
