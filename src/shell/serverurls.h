#pragma once

#include <QString>

// Addresses of the servers the updater talks to. Each has a default fixed at
// build time and can be redirected at run time through an environment variable
// (VX3_VERSION_URL, VX3_UPDATE_IMAGES_URL, VX3_BANNER_HOST), e.g. for a staging
// server or a local test server.
class ServerUrls
{
public:
    // Full URL of the version server's answer.
    static QString versionUrl();
    // Base URL of the update file server for the stable and beta channels, ending with "/".
    static QString updateImagesUrl();
    // Host name of the banner server.
    static QString bannerHost();
};
