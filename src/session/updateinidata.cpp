#include "session/updateinidata.h"

#include "shell/configuration.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

void writeRecord(const QString &path, int version, const QString &dir, const QString &vx3dir,
                 const QString &type)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("vx3dir"), vx3dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError)
        qWarning() << "Failed to write" << path;
}

} // namespace

bool UpdateIniData::get(int *version, QString *type, QString *dir, QString *vx3dir)
{
    const QString path = iniPath();
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    bool versionOk = false;
    const int readVersion = settings.value(QStringLiteral("version")).toInt(&versionOk);
    const QString readDir = settings.value(QStringLiteral("dir")).toString();
    const QString readVx3dir = settings.value(QStringLiteral("vx3dir")).toString();
    const QString readType = settings.value(QStringLiteral("type")).toString();
    settings.endGroup();
    qDebug() << "get" << path << readVersion << readDir << readVx3dir << readType;

    if (!versionOk || readType.isEmpty() || readDir.isEmpty() || !QFileInfo::exists(readDir))
        return false;
    if (version)
        *version = readVersion;
    if (type)
        *type = readType;
    if (dir)
        *dir = readDir;
    if (vx3dir)
        *vx3dir = readVx3dir;
    return true;
}

void UpdateIniData::modify(int version, const QString &dir, const QString &vx3dir, const QString &type)
{
    const QString path = iniPath();
    qDebug() << "modify" << path << version << dir << vx3dir << type;
    writeRecord(path, version, dir, vx3dir, type);
}

void UpdateIniData::modifyTempIni(const QString &targetDir)
{
    const QString target = targetDir + QStringLiteral("/") + QStringLiteral("update.ini");
    qDebug() << "modifyTempIni" << target;
    int version = 0;
    QString dir;
    QString vx3dir;
    if (!get(&version, nullptr, &dir, &vx3dir)) {
        qDebug() << "Failed to read existing update.ini";
        return;
    }
    writeRecord(target, version, dir, vx3dir, Configuration::typeForProduct(QStringLiteral("client")));
}

QString UpdateIniData::iniPath()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("update.ini"));
}
