#include "session/updateengine.h"

#include "pipeline/crypt_exception.h"
#include "pipeline/crypto.h"
#include "session/maintaskspecification.h"
#include "session/updateinidata.h"
#include "shell/configuration.h"
#include "ui/banner.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>
#include <unistd.h>

// A broken precondition is a programming error: the fatal log line names it and ends the process.
#define VX_ASSERT(cond)                                                                                      \
    do {                                                                                                     \
        if (!(cond))                                                                                         \
            qFatal("%s", #cond);                                                                             \
    } while (false)

namespace {
constexpr quint16 DefaultProxyPort = 3128;
const char BannerImageFile[] = "/voxtrelle_banner.jpg";
const char BannerLinkFile[] = "/voxtrelle_banner.txt";

const char *const Qt4Files[] = {"libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4"};

const char *const OldFiles[] = {
    "update",         "libQtCore.so.4",  "libQtGui.so.4",  "libQtNetwork.so.4",
    "libQtSql.so.4",  "libQt5Core.so.5", "libQt5Gui.so.5", "libQt5Network.so.5",
    "libQt5Sql.so.5", "libqgif.so",      "libqjpeg.so",    "libqtaccessiblewidgets.so",
    "libsqlite.so"};

// The cache lives in the shared temp dir: links and oversized files are not ours and are ignored.
QByteArray readCacheFile(const QString &path)
{
    constexpr qint64 MaxCacheFileSize = 1 << 20;
    const QFileInfo info(path);
    if (info.isSymLink() || info.size() > MaxCacheFileSize)
        return QByteArray();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(MaxCacheFileSize);
}
} // namespace

UpdateEngine::UpdateEngine(Configuration *config, QObject *parent)
    : QObject(parent), m_State(PRE_INIT), m_config(config), m_mainTask(nullptr), m_timer(new QTimer(this)),
      m_networkManager(new QNetworkAccessManager(this)), p_BannerReply(nullptr)
{
    connect(m_config, &Configuration::message, this, &UpdateEngine::message);
    connect(m_timer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    setupProxy();
}

UpdateEngine::~UpdateEngine()
{
    // A running task tree still holds replies of the network manager, which as an
    // older child would otherwise be destroyed first.
    delete m_mainTask;
}

void UpdateEngine::setupProxy()
{
    m_config->getProxySettings();
    const QString proxyText = m_config->proxy();
    if (proxyText.isEmpty()) {
        m_networkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    const QUrl url(proxyText, QUrl::TolerantMode);
    // "host:port" parses as a valid URL without a host; it would send every
    // request to no proxy at all, so it counts as invalid too.
    if (!url.isValid() || url.host().isEmpty()) {
        m_proxyError = QStringLiteral("'%1' is an invalid proxy setting").arg(proxyText);
        qDebug() << "Invalid proxy" << proxyText;
        // Nobody is connected yet while the owner constructs us: report it from
        // the event loop, before any session can start.
        QMetaObject::invokeMethod(
            this, [this] { emit fatalError(m_proxyError); }, Qt::QueuedConnection);
        return;
    }
    m_networkManager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, url.host(QUrl::FullyDecoded),
                                             quint16(url.port(DefaultProxyPort))));
}

bool UpdateEngine::isSessionDir(const QString &dir)
{
    if (dir.isEmpty())
        return false;
    const QFileInfo info(QDir::cleanPath(dir));
    if (info.isSymLink() || !info.isDir())
        return false;
    static const QRegularExpression name(QStringLiteral("^voxtrelle_temp_[0-9]+$"));
    if (!name.match(info.fileName()).hasMatch())
        return false;
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    const QString temp = QFileInfo(QDir::tempPath()).canonicalFilePath();
    return !parent.isEmpty() && parent == temp && info.ownerId() == ::getuid();
}

bool UpdateEngine::readSessionRecord(int *version, QString *dir, QString *vx3dir)
{
    int recordVersion = 0;
    QString recordDir;
    QString recordVx3dir;
    if (!UpdateIniData::get(&recordVersion, nullptr, &recordDir, &recordVx3dir))
        return false;
    // The record lives in a file anyone who can write the install dir may edit;
    // it must never make us delete anything but our own session directory.
    if (!isSessionDir(recordDir)) {
        qDebug() << "Session record names no session directory:" << recordDir;
        return false;
    }
    if (version)
        *version = recordVersion;
    if (dir)
        *dir = recordDir;
    if (vx3dir)
        *vx3dir = recordVx3dir;
    return true;
}

bool UpdateEngine::removeSessionDir(const QString &dir)
{
    removeDirectoryContents(dir);
    const QFileInfo info(QDir::cleanPath(dir));
    QDir parent(info.absolutePath());
    if (!parent.exists())
        return false;
    return parent.rmdir(info.fileName());
}

bool UpdateEngine::initialize()
{
    VX_ASSERT(m_State == PRE_INIT);
    if (!m_proxyError.isEmpty()) {
        qDebug() << "Not starting a session with an invalid proxy";
        return false;
    }
    try {
        registerCrypto();
    } catch (const crypt_exception &e) {
        emit fatalError(QString::fromUtf8(e.what()));
        return false;
    }

    int version = 0;
    QString dir;
    QString vx3dir;
    if (readSessionRecord(&version, &dir, &vx3dir)) {
        qDebug() << "Current version =" << version << "/ new version =" << m_config->newVersion();
        if (version == m_config->newVersion()) {
            qDebug() << "Continuing previous session";
            emit message(QStringLiteral("Previous update session for v. %1 found").arg(version));
        } else {
            qDebug() << "Cleaning up previous session";
            emit message(
                QStringLiteral("Cleanup previous session (v. %1, %2) files...").arg(version).arg(dir));
            emit message(removeSessionDir(dir) ? QStringLiteral("Ok")
                                               : QStringLiteral("Failed to remove directory"));
            dir.clear();
            vx3dir.clear();
            QFile::remove(UpdateIniData::iniPath());
        }
    }

    if (!m_config->initalizeStart(dir, vx3dir))
        return false;
    qDebug() << "initialize"
             << "modifying update.ini" << bool(m_config->isClientUpdate());
    UpdateIniData::modify(m_config->newVersion(), m_config->tempDir(), m_config->installDir(),
                          m_config->clientType());
    m_State = POST_INIT;
    return true;
}

bool UpdateEngine::startUpdate()
{
    qDebug() << "Starting update";
    VX_ASSERT(m_State == POST_INIT);
    m_mainTask = new MainTaskSpecification(m_networkManager, m_config, this, 1.0);
    connect(m_mainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(m_mainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(m_mainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(m_mainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(m_mainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    m_State = RUNNING;
    m_timer->start(PollIntervalMs);
    m_mainTask->execute();
    return true;
}

void UpdateEngine::cancelUpdate()
{
    if (m_State == RUNNING)
        m_mainTask->cancel();
}

void UpdateEngine::onTimer()
{
    if (m_State != RUNNING)
        return;
    qulonglong downloadDone = 0;
    qulonglong downloadTotal = 0;
    qulonglong speed = 0;
    bool downloading = false;
    m_mainTask->getDownloadProgress(downloadDone, downloadTotal, speed, downloading);
    emit downloadProgress(downloadDone, downloadTotal, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    m_timer->stop();
    cleanup();
    m_State = FINISHED;
    emit message(QStringLiteral("Update successfully finished"));
    m_mainTask->deleteLater();
    m_mainTask = nullptr;
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    m_timer->stop();
    m_State = CANCELED;
    if (m_mainTask->state() == TaskSpecification::TASK_CANCELED)
        emit message(QStringLiteral("User aborted update"));
    m_mainTask->deleteLater();
    m_mainTask = nullptr;
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::resetAfterCancel()
{
    // The log text of this assertion has always been written without spaces.
    // clang-format off
    VX_ASSERT(m_State==CANCELED);
    // clang-format on
    m_State = PRE_INIT;
    if (m_mainTask) {
        disconnect(m_mainTask, nullptr, this, nullptr);
        m_mainTask->deleteLater();
        m_mainTask = nullptr;
    }
}

void UpdateEngine::cleanup()
{
    qDebug() << "cleanup";
    if (m_config->isClientUpdate()) {
        qDebug() << "Removing temporary files";
        emit message(QStringLiteral("Remove temporary files..."));
        QString dir;
        if (readSessionRecord(nullptr, &dir, nullptr)) {
            removeSessionDir(dir);
            QFile::remove(UpdateIniData::iniPath());
        }
        emit message(QStringLiteral("Temporary files removed."));
    } else {
        // The new updater continues this session from the temp dir, so only the record beside us goes.
        QFile::remove(UpdateIniData::iniPath());
        qDebug() << "Deleted local update.ini" << UpdateIniData::iniPath();
        emit message(QStringLiteral("Removed temporary update.ini"));
    }
}

void UpdateEngine::removeDirectoryContents(const QString &path)
{
    // Symbolic links are neither followed nor removed: nothing outside the tree is touched.
    QDir dir(path);
    const QDir::Filters filters = QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot;
    for (const QFileInfo &file : dir.entryInfoList(QDir::Files | filters))
        QFile::remove(file.absoluteFilePath());
    for (const QFileInfo &sub : dir.entryInfoList(QDir::Dirs | filters)) {
        removeDirectoryContents(sub.absoluteFilePath());
        dir.rmdir(sub.fileName());
    }
}

void UpdateEngine::removeQt4Files(const QString &dir)
{
    for (const char *name : Qt4Files) {
        const QString path = dir + QLatin1Char('/') + QLatin1String(name);
        if (QFile::exists(path)) {
            qDebug() << "Remove Qt4 file:" << path;
            QFile::remove(path);
        }
    }
}

void UpdateEngine::removeOldFiles(const QString &dir)
{
    for (const char *name : OldFiles) {
        const QString path = dir + QStringLiteral("/_old_") + QLatin1String(name);
        if (QFile::exists(path))
            qDebug() << "Remove old file:" << path;
        QFile::remove(path);
    }
}

void UpdateEngine::getBanner()
{
    const QByteArray image = readCacheFile(QDir::tempPath() + QLatin1String(BannerImageFile));
    QByteArray link =
        QByteArray::fromPercentEncoding(readCacheFile(QDir::tempPath() + QLatin1String(BannerLinkFile)));
    const int nul = link.indexOf('\0');
    if (nul >= 0)
        link.truncate(nul);
    const QString clickUrl = QString::fromUtf8(link);
    if (!image.isEmpty() && !clickUrl.isEmpty()) {
        qDebug() << "Found temp banner" << clickUrl;
        emit bannerFound(image, clickUrl);
        return;
    }
    if (p_BannerReply)
        return;
    auto *banner = new Banner(this);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->run();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    qDebug() << "Found banner" << bannerUrl << clickUrl;
    const QUrl url(bannerUrl);
    const QString scheme = url.scheme().toLower();
    // The answer comes over plain UDP: only web URLs are fetched, never local files.
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        qDebug() << "Banner url is invalid:" << bannerUrl;
        return;
    }
    if (p_BannerReply)
        dropBannerReply();
    qDebug() << "Requesting banner from" << url;
    m_bannerClickUrl = clickUrl;
    m_bannerData.clear();
    p_BannerReply = m_networkManager->get(QNetworkRequest(url));
    VX_ASSERT(p_BannerReply);
    connect(p_BannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(p_BannerReply, &QNetworkReply::metaDataChanged, this, &UpdateEngine::onBannermetaDataChanged);
    connect(p_BannerReply, &QNetworkReply::readyRead, this, &UpdateEngine::onBannerReadyRead);
}

void UpdateEngine::dropBannerReply()
{
    disconnect(p_BannerReply, nullptr, this, nullptr);
    p_BannerReply->abort();
    p_BannerReply->deleteLater();
    p_BannerReply = nullptr;
    m_bannerData.clear();
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!p_BannerReply)
        return;
    const QVariant length = p_BannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > MaxBannerSize) {
        qDebug() << "Banner size too large: " << length.toLongLong();
        dropBannerReply();
    }
}

void UpdateEngine::onBannerReadyRead()
{
    if (!p_BannerReply)
        return;
    // Without a Content-Length only counting what arrived keeps a rogue server from filling memory.
    m_bannerData += p_BannerReply->read(MaxBannerSize + 1 - m_bannerData.size());
    if (m_bannerData.size() > MaxBannerSize) {
        qDebug() << "Banner size too large: " << m_bannerData.size();
        dropBannerReply();
    }
}

void UpdateEngine::onBannerDownloadFinished()
{
    qDebug() << "Banner download finished";
    if (!p_BannerReply)
        return;
    onBannerReadyRead();
    if (!p_BannerReply)
        return;
    const QByteArray bytes = m_bannerData;
    p_BannerReply->deleteLater();
    p_BannerReply = nullptr;
    m_bannerData.clear();
    emit bannerFound(bytes, m_bannerClickUrl);
}
