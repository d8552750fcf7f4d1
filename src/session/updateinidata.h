#pragma once

#include <QString>

// The record of the current update session, group `current` of the update.ini
// beside the running updater. A later updater process continues the session
// from it or removes what the session left behind.
class UpdateIniData
{
public:
    // True when the record is valid (integer version, non-empty type, a dir that
    // exists); then every output that is not null receives its value. On false
    // the outputs stay untouched.
    static bool get(int *version, QString *type, QString *dir, QString *vx3dir);
    // Writes the record, keeping the file's other groups.
    static void modify(int version, const QString &dir, const QString &vx3dir, const QString &type);
    // Copies the record into targetDir/update.ini for the new updater started
    // from there, which then continues the session as a client update.
    static void modifyTempIni(const QString &targetDir);
    // Absolute path of the update.ini beside the running updater.
    static QString iniPath();
};
