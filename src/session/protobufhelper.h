#pragma once

#include "session/updateversions.h"

#include <QByteArray>
#include <QList>
#include <map>
#include <string>
#include <utility>

// The version server's answer, decoded but not yet converted to Qt types.
struct VersionsResult
{
    int licenseAgreementId = 0;
    // Every channel's name in message order, duplicates kept.
    QList<QByteArray> channelNames;
    // name -> (version string, version number); for a repeated name the first channel wins.
    std::map<std::string, std::pair<std::string, int>> channels;
};

// Decodes a serialized Versions message. False when the data is not one or lacks a required field.
bool parseVersions(const QByteArray &data, VersionsResult *result);

UpdateVersions toUpdateVersions(const VersionsResult &result);
