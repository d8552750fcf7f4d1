#include "shell/configuration.h"

#include "session/updatechecker.h"
#include "session/updateinidata.h"
#include "shell/serverurls.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QWidget>
#include <sys/stat.h>

QString Configuration::s_updateImagesUrl;

namespace {

const int DefaultStreams = 6;
const int TempDirCandidates = 1000;

QString updaterDir()
{
    return QCoreApplication::applicationDirPath();
}

} // namespace

Configuration::Configuration(QObject *parent) : QObject(parent) {}

QString Configuration::typeForProduct(const QString &product)
{
    return product + QStringLiteral("_linux_amd64");
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList &args)
{
    qDebug() << "parseCommandLineOptions" << args;
    const int n = args.size();
    const bool flagForm =
        n >= 2 && (args[1] == QLatin1String("--clientupdate") || args[1] == QLatin1String("--nouser"));
    m_clientUpdate = n >= 2 && args[1] == QLatin1String("--clientupdate") ? 1 : 0;

    // Before any version is parsed, so that the alpha revision of update.ini wins.
    getUpdateChannel();

    if (flagForm) {
        qDebug() << "CLIENTUPDATE" << (m_clientUpdate ? "true" : "false");
        if (n >= 4 && !parseClientParameters(args, 2))
            return false;
        if (n >= 5 && args[4] != QLatin1String("#"))
            m_newVersionString = args[4];
        getDefaultParameters();
        m_ready = true;
        return true;
    }
    if (n == 3) {
        if (!parseClientParameters(args, 1))
            return false;
        // A version of 0 means unknown here too: ask the server rather than start without a target.
        if (m_newVersion == 0)
            getDefaultParameters();
        m_ready = true;
        return true;
    }
    qDebug() << "Empty cmdline params";
    getDefaultParameters();
    m_ready = true;
    return true;
}

bool Configuration::parseClientParameters(const QStringList &args, int i)
{
    if (i >= args.size()) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    m_clientType = args[i];
    if (i + 1 >= args.size()) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return setNewVersion(args[i + 1], tr("Invalid version nr (%1)"));
}

bool Configuration::setNewVersion(const QString &text, const QString &errorFormat)
{
    if (m_newVersion != 0)
        return true;
    bool ok = false;
    m_newVersion = text.toInt(&ok, 10);
    if (!ok) {
        emit fatalError(errorFormat.arg(text));
        return false;
    }
    return true;
}

QString Configuration::getConfigDir() const
{
    QString dir = qEnvironmentVariable("VX3_CONFIG_DIR");
    if (dir.isEmpty())
        return QDir::homePath() + QStringLiteral("/.vx3client/");
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

void Configuration::getUpdateChannel()
{
    qDebug() << "Searching update.ini";
    QString path = getConfigDir() + QStringLiteral("update.ini");
    qDebug() << "Update ini check #1 in CONFIG" << path;
    if (QFileInfo::exists(path)) {
        qDebug() << "Found CONFIG/update.ini";
    } else {
        path = updaterDir() + QStringLiteral("/update.ini");
        qDebug() << "Update ini check #2 in INSTALL" << path;
        if (QFileInfo::exists(path)) {
            qDebug() << "Found INSTALL/update.ini";
        } else {
            m_channel = CHANNEL_STABLE;
            m_newVersion = 0;
            s_updateImagesUrl = ServerUrls::updateImagesUrl();
            qDebug() << "No update.ini found, using stable channel, URL =" << s_updateImagesUrl;
            return;
        }
    }

    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!beta)
        beta = settings.value(QStringLiteral("Beta"), false).toBool();

    if (!alpha.isEmpty()) {
        m_channel = CHANNEL_ALPHA;
        m_newVersion = settings.value(QStringLiteral("alphaRevno")).toInt();
        s_updateImagesUrl = alpha.endsWith(QLatin1Char('/')) ? alpha : alpha + QLatin1Char('/');
        qDebug() << "Alpha channel detected, URL =" << s_updateImagesUrl;
    } else {
        m_channel = beta ? CHANNEL_BETA : CHANNEL_STABLE;
        m_newVersion = 0;
        s_updateImagesUrl = ServerUrls::updateImagesUrl();
        qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << s_updateImagesUrl;
    }
    settings.endGroup();
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << m_clientType;
    if (m_clientType.isEmpty())
        m_clientType = typeForProduct(m_clientUpdate ? QStringLiteral("client") : QStringLiteral("update"));
    qDebug() << "clientType" << m_clientType;
    if (m_newVersion != 0)
        return true;

    auto *checker = new UpdateChecker(this);
    connect(checker, &UpdateChecker::update_available, this, &Configuration::on_updateAvailable);
    m_versionPending = true;
    checker->checkForUpdate();
    return true;
}

void Configuration::on_updateAvailable(UpdateVersions versions)
{
    qDebug() << "on_updateAvailable" << versions;
    m_versionPending = false;
    if (versions.isEmpty()) {
        QWidget *window = nullptr;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == QLatin1String("MainWindow")) {
                window = widget;
                break;
            }
        }
        auto *box = new QMessageBox(QMessageBox::Critical, tr("Error"),
                                    tr("Failed to query latest client\nversion from update server."),
                                    QMessageBox::Abort, window);
        box->setAttribute(Qt::WA_DeleteOnClose);
        // The run failed, so the process must not report success.
        connect(box, &QMessageBox::finished, qApp, [] { QCoreApplication::exit(1); });
        box->open();
        return;
    }

    const QPair<QString, QString> pair = getChannelVersion(versions, m_channel);
    qDebug() << "Received version from remote server:" << pair;
    if (pair.first.isEmpty()) {
        emit fatalError(tr("Update server returned no version"));
        return;
    }
    const QString invalidFormat = tr("Update server returned invalid version nr (%1)");
    // 0 would mean "unknown" again and a session without a target.
    if (pair.first.toInt() <= 0) {
        emit fatalError(invalidFormat.arg(pair.first));
        return;
    }
    if (!setNewVersion(pair.first, invalidFormat))
        return;
    m_newVersionString = pair.second;
    m_ready = true;
    emit ready();
}

bool Configuration::initalizeStart(const QString &tempDir, const QString &installDir)
{
    qDebug() << "initalizeStart" << tempDir << installDir;
    if (!tempDir.isEmpty())
        m_tempDir = tempDir;
    else if (!createTempDir())
        return false;
    m_installDir = installDir.isEmpty() ? updaterDir() : installDir;
    return true;
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        qDebug() << "*Error* Unable to get temp directory";
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    QDir().mkpath(base);
    base += QStringLiteral("voxtrelle_temp_");
    for (int j = 0; j < TempDirCandidates; ++j) {
        const QString candidate = base + QString::number(j);
        // One mkdir that fails when the name exists: a directory someone else
        // prepared in the shared temporary directory is never taken over.
        if (::mkdir(QFile::encodeName(candidate).constData(), 0700) == 0) {
            m_tempDir = candidate;
            return true;
        }
    }
    qDebug() << "*Error* Unable to create temp directory";
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

void Configuration::getProxySettings()
{
    QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    m_proxy = settings.value(QStringLiteral("proxy")).toString();
    m_streams = settings.value(QStringLiteral("streams"), DefaultStreams).toInt();
    if (m_streams < 1)
        m_streams = DefaultStreams;
    settings.endGroup();
}
