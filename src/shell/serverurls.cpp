#include "serverurls.h"

#include <QtGlobal>

namespace {

QString fromEnvironment(const char *name, const char *builtIn)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? QString::fromUtf8(builtIn) : value;
}

} // namespace

QString ServerUrls::versionUrl()
{
    return fromEnvironment("VX3_VERSION_URL", VX_VERSION_URL);
}

QString ServerUrls::updateImagesUrl()
{
    QString url = fromEnvironment("VX3_UPDATE_IMAGES_URL", VX_UPDATE_IMAGES_URL);
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url;
}

QString ServerUrls::bannerHost()
{
    return fromEnvironment("VX3_BANNER_HOST", VX_BANNER_HOST);
}
