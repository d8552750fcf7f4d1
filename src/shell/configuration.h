#pragma once

#include "session/updateversions.h"

#include <QObject>
#include <QString>
#include <QStringList>

enum UpdateChannel
{
    CHANNEL_STABLE = 0,
    CHANNEL_BETA = 1,
    CHANNEL_ALPHA = 2,
};

// What a run needs to know before an update can start: client or updater
// update, product, target version, channel, directories, proxy and parallel
// downloads. Filled from the command line, the update.ini files and, when no
// target version is given, the version server.
class Configuration : public QObject
{
    Q_OBJECT

public:
    explicit Configuration(QObject *parent = nullptr);

    // Base URL of the update file server for this run's channel, ending with "/"; set while parsing the
    // command line.
    static QString s_updateImagesUrl;

    // Product name for this platform, e.g. "client" -> "client_linux_amd64".
    static QString typeForProduct(const QString &product);

    // Reads the application's arguments. True when the run may go on.
    bool parseCommandLineOptions();
    // The same for a given argument list (args[0] is the program path).
    bool parseCommandLineOptions(const QStringList &args);
    // Fixes the session's directories; an empty tempDir creates a new one, an empty installDir means the
    // updater's own directory.
    bool initalizeStart(const QString &tempDir, const QString &installDir);
    // Reads proxy and parallel download count from the updater's own update.ini.
    void getProxySettings();

    bool isReady() const { return m_ready; }
    // True while the version server has been asked and its answer is not yet handled.
    // A session must not start then: ready() or fatalError() (or the error box) follows.
    bool isVersionPending() const { return m_versionPending; }
    bool isClientUpdate() const { return m_clientUpdate != 0; }
    int channel() const { return m_channel; }
    QString clientType() const { return m_clientType; }
    int newVersion() const { return m_newVersion; }
    QString newVersionString() const { return m_newVersionString; }
    QString tempDir() const { return m_tempDir; }
    QString installDir() const { return m_installDir; }
    QString proxy() const { return m_proxy; }
    int streams() const { return m_streams; }

signals:
    void ready();
    void fatalError(QString errorMessage);
    void message(QString message);

private slots:
    void on_updateAvailable(UpdateVersions versions);

private:
    void getUpdateChannel();
    bool getDefaultParameters();
    bool createTempDir();
    bool parseClientParameters(const QStringList &args, int i);
    bool setNewVersion(const QString &text, const QString &errorFormat);
    QString getConfigDir() const;

    bool m_ready = false;
    int m_clientUpdate = 0;
    int m_channel = CHANNEL_STABLE;
    QString m_clientType;
    int m_newVersion = 0;
    QString m_newVersionString;
    QString m_tempDir;
    QString m_installDir;
    QString m_proxy;
    int m_streams = 0;
    bool m_versionPending = false;
};
