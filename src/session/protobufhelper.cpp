#include "session/protobufhelper.h"

#include "UpdateMessage.pb.h"

bool parseVersions(const QByteArray &data, VersionsResult *result)
{
    com::voxtrelle::update::Versions message;
    // Partial parse plus an explicit check keeps the library from printing its own diagnostic.
    if (!message.ParsePartialFromArray(data.constData(), data.size()) || !message.IsInitialized())
        return false;
    VersionsResult decoded;
    decoded.licenseAgreementId = message.licenseagreementid();
    for (const auto &channel : message.channels()) {
        decoded.channelNames.append(QByteArray::fromStdString(channel.name()));
        decoded.channels.emplace(channel.name(),
                                 std::make_pair(channel.version_string(), channel.version_number()));
    }
    *result = std::move(decoded);
    return true;
}

UpdateVersions toUpdateVersions(const VersionsResult &result)
{
    UpdateVersions versions;
    for (const QByteArray &name : result.channelNames) {
        const auto &entry = result.channels.at(name.toStdString());
        versions.insert(QString::fromUtf8(name),
                        qMakePair(QString::number(entry.second), QString::fromStdString(entry.first)));
    }
    return versions;
}
