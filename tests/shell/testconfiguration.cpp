#include "UpdateMessage.pb.h"
#include "session/updatechecker.h"
#include "shell/configuration.h"
#include "testhttpserver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <sys/stat.h>

namespace {

const QByteArray VersionPath = "/vx3-client-2";

QByteArray versionsAnswer(const QList<QPair<QByteArray, int>> &channels)
{
    com::voxtrelle::update::Versions versions;
    versions.set_licenseagreementid(1);
    for (const auto &c : channels) {
        auto *channel = versions.add_channels();
        channel->set_name(c.first.toStdString());
        channel->set_version_number(c.second);
        channel->set_version_string("3.0." + std::to_string(c.second) + "-" + c.first.toStdString());
    }
    return QByteArray::fromStdString(versions.SerializeAsString());
}

// "key=value;key=value" into group `group` of an ini file; nothing for an empty text.
void writeIni(const QString &path, const QString &group, const QString &entries)
{
    if (entries.isEmpty())
        return;
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(group);
    for (const QString &entry : entries.split(';')) {
        const int eq = entry.indexOf('=');
        settings.setValue(entry.left(eq), entry.mid(eq + 1));
    }
    settings.endGroup();
}

QString installIniPath()
{
    return QCoreApplication::applicationDirPath() + "/update.ini";
}

QMessageBox *visibleMessageBox()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            return box;
    }
    return nullptr;
}

} // namespace

class TestConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void parsesCommandLine_data();
    void parsesCommandLine();
    void findsChannel_data();
    void findsChannel();
    void handlesServerAnswer_data();
    void handlesServerAnswer();
    void unreachableServerShowsErrorAndFails_data();
    void unreachableServerShowsErrorAndFails();
    void readsProxyAndStreams_data();
    void readsProxyAndStreams();
    void createsFreshTempDir_data();
    void createsFreshTempDir();
    void keepsGivenSessionDirs();
    void reportsWhenNoTempDirCanBeMade();

private:
    TestHttpServer m_server;
    std::unique_ptr<QTemporaryDir> m_temp;
    QString m_configDir;
};

void TestConfiguration::initTestCase()
{
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
    QLoggingCategory::setFilterRules("*.debug=false");
    QVERIFY(m_server.listen());
    qputenv("VX3_VERSION_URL", m_server.url(VersionPath).toEncoded());
}

void TestConfiguration::init()
{
    m_temp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_temp->isValid());
    m_configDir = m_temp->filePath("config");
    QVERIFY(QDir().mkdir(m_configDir));
    qputenv("VX3_CONFIG_DIR", m_configDir.toUtf8()); // no trailing "/"
    qputenv("VX3_UPDATE_IMAGES_URL", "http://127.0.0.1:9/images");
    m_server.setResponse(VersionPath, TestHttpServer::Response::ok(
                                          versionsAnswer({{"stable", 5}, {"beta", 6}, {"alpha", 8}})));
    QFile::remove(installIniPath());
}

void TestConfiguration::cleanup()
{
    QFile::remove(installIniPath());
    qunsetenv("TMPDIR");
    m_temp.reset();
}

void TestConfiguration::parsesCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("channelIni"); // group Channel of the channel file
    QTest::addColumn<QString>("fatal");      // empty: accepted
    QTest::addColumn<bool>("clientUpdate");
    QTest::addColumn<QString>("clientType");
    QTest::addColumn<bool>("asksServer");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("versionString");

    const QString client = "client_linux_amd64";
    const QString updater = "update_linux_amd64";
    QTest::newRow("no arguments") << QStringList() << ""
                                  << "" << false << updater << true << 5 << "3.0.5-stable";
    QTest::newRow("client update with target, no display string")
        << QStringList{"--clientupdate", client, "1234", "#"} << ""
        << "" << true << client << false << 1234 << "";
    QTest::newRow("client update with display string")
        << QStringList{"--clientupdate", client, "1234", "3.0.1234"} << ""
        << "" << true << client << false << 1234 << "3.0.1234";
    QTest::newRow("arguments after the display string ignored")
        << QStringList{"--nouser", "mytype", "77", "v77", "extra"} << ""
        << "" << false << "mytype" << false << 77 << "v77";
    QTest::newRow("client update alone") << QStringList{"--clientupdate"} << ""
                                         << "" << true << client << true << 5 << "3.0.5-stable";
    QTest::newRow("nouser with one more word ignored")
        << QStringList{"--nouser", "client_linux_amd64"} << ""
        << "" << false << updater << true << 5 << "3.0.5-stable";
    QTest::newRow("flag form version 0 asks the server")
        << QStringList{"--clientupdate", client, "0"} << ""
        << "" << true << client << true << 5 << "3.0.5-stable";
    QTest::newRow("flag form negative version") << QStringList{"--clientupdate", client, "-3"} << ""
                                                << "" << true << client << false << -3 << "";
    QTest::newRow("plain form") << QStringList{client, "77"} << ""
                                << "" << false << client << false << 77 << "";
    QTest::newRow("plain form version 0 asks the server")
        << QStringList{client, "0"} << ""
        << "" << false << client << true << 5 << "3.0.5-stable";
    QTest::newRow("plain form, three words ignored") << QStringList{"a", "b", "7"} << ""
                                                     << "" << false << updater << true << 5 << "3.0.5-stable";
    QTest::newRow("flag compared case-sensitively") << QStringList{"--ClientUpdate", client, "7"} << ""
                                                    << "" << false << updater << true << 5 << "3.0.5-stable";
    QTest::newRow("plain form invalid version")
        << QStringList{client, "abc"} << ""
        << "Invalid version nr (abc)" << false << client << false << 0 << "";
    QTest::newRow("flag form invalid version")
        << QStringList{"--clientupdate", client, "12x"} << ""
        << "Invalid version nr (12x)" << true << client << false << 0 << "";
    QTest::newRow("alpha revision beats the command line")
        << QStringList{"--clientupdate", client, "1234"} << "alpha=http://127.0.0.1:9/alpha;alphaRevno=987"
        << "" << true << client << false << 987 << "";
    QTest::newRow("alpha revision beats an invalid version")
        << QStringList{client, "abc"} << "alpha=http://127.0.0.1:9/alpha;alphaRevno=987"
        << "" << false << client << false << 987 << "";
    QTest::newRow("alpha without revision asks the server")
        << QStringList{"--clientupdate"} << "alpha=http://127.0.0.1:9/alpha"
        << "" << true << client << true << 8 << "3.0.8-alpha";
    QTest::newRow("beta channel asks the server") << QStringList() << "beta=true"
                                                  << "" << false << updater << true << 6 << "3.0.6-beta";
}

void TestConfiguration::parsesCommandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, channelIni);
    QFETCH(QString, fatal);
    QFETCH(bool, clientUpdate);
    QFETCH(QString, clientType);
    QFETCH(bool, asksServer);
    QFETCH(int, version);
    QFETCH(QString, versionString);

    writeIni(m_configDir + "/update.ini", "Channel", channelIni);
    const int requestsBefore = m_server.requestCount(VersionPath);
    Configuration config;
    QSignalSpy fatalSpy(&config, &Configuration::fatalError);
    QSignalSpy readySpy(&config, &Configuration::ready);

    const bool accepted = config.parseCommandLineOptions(QStringList{"/opt/vx3/update"} + args);
    QCOMPARE(accepted, fatal.isEmpty());
    QCOMPARE(config.isReady(), accepted);
    QCOMPARE(config.isClientUpdate(), clientUpdate);
    QCOMPARE(config.clientType(), clientType);
    if (!accepted) {
        QCOMPARE(fatalSpy.count(), 1);
        QCOMPARE(fatalSpy.at(0).at(0).toString(), fatal);
        return;
    }
    QCOMPARE(config.isVersionPending(), asksServer);
    QCOMPARE(config.findChildren<UpdateChecker *>().size(), asksServer ? 1 : 0);
    if (asksServer) {
        QCOMPARE(config.newVersion(), 0);
        QVERIFY(readySpy.wait(20000));
        QCOMPARE(m_server.requestCount(VersionPath), requestsBefore + 1);
        QVERIFY(!config.isVersionPending());
    }
    QCOMPARE(readySpy.count(), asksServer ? 1 : 0);
    QCOMPARE(fatalSpy.count(), 0);
    QCOMPARE(config.newVersion(), version);
    QCOMPARE(config.newVersionString(), versionString);
}

void TestConfiguration::findsChannel_data()
{
    QTest::addColumn<QString>("configIni");  // group Channel in the configuration directory
    QTest::addColumn<QString>("installIni"); // group Channel beside the updater
    QTest::addColumn<bool>("slashedConfigDir");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("url");

    const QString standard = "http://127.0.0.1:9/images/";
    QTest::newRow("no update.ini") << ""
                                   << "" << false << int(CHANNEL_STABLE) << standard;
    QTest::newRow("beta") << "beta=true"
                          << "" << false << int(CHANNEL_BETA) << standard;
    QTest::newRow("Beta spelled with capital") << "Beta=1"
                                               << "" << false << int(CHANNEL_BETA) << standard;
    QTest::newRow("Beta read when beta false") << "beta=false;Beta=true"
                                               << "" << false << int(CHANNEL_BETA) << standard;
    QTest::newRow("beta 0") << "beta=0"
                            << "" << false << int(CHANNEL_STABLE) << standard;
    QTest::newRow("beta any other text") << "beta=yes"
                                         << "" << false << int(CHANNEL_BETA) << standard;
    QTest::newRow("alpha gets a slash") << "alpha=http://127.0.0.1:9/alpha"
                                        << "" << false << int(CHANNEL_ALPHA) << "http://127.0.0.1:9/alpha/";
    QTest::newRow("alpha beats beta") << "beta=true;alpha=http://127.0.0.1:9/alpha/"
                                      << "" << false << int(CHANNEL_ALPHA) << "http://127.0.0.1:9/alpha/";
    QTest::newRow("beside the updater") << ""
                                        << "beta=true" << false << int(CHANNEL_BETA) << standard;
    QTest::newRow("configuration directory first")
        << "beta=false"
        << "alpha=http://127.0.0.1:9/alpha" << false << int(CHANNEL_STABLE) << standard;
    QTest::newRow("configuration directory with slash") << "beta=true"
                                                        << "" << true << int(CHANNEL_BETA) << standard;
}

void TestConfiguration::findsChannel()
{
    QFETCH(QString, configIni);
    QFETCH(QString, installIni);
    QFETCH(bool, slashedConfigDir);
    QFETCH(int, channel);
    QFETCH(QString, url);

    writeIni(m_configDir + "/update.ini", "Channel", configIni);
    writeIni(installIniPath(), "Channel", installIni);
    if (slashedConfigDir)
        qputenv("VX3_CONFIG_DIR", (m_configDir + "/").toUtf8());
    Configuration::s_updateImagesUrl.clear();

    Configuration config;
    QVERIFY(config.parseCommandLineOptions({"update", "--clientupdate", "client_linux_amd64", "5"}));
    QCOMPARE(config.channel(), channel);
    QCOMPARE(Configuration::s_updateImagesUrl, url);
}

void TestConfiguration::handlesServerAnswer_data()
{
    QTest::addColumn<QString>("channelIni");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("fatal");
    QTest::addColumn<int>("version");

    QTest::newRow("beta entry") << "beta=true" << versionsAnswer({{"stable", 5}, {"beta", 6}}) << "" << 6;
    QTest::newRow("channel missing") << "beta=true" << versionsAnswer({{"stable", 5}})
                                     << "Update server returned no version" << 0;
    QTest::newRow("version 0 is no target")
        << "" << versionsAnswer({{"stable", 0}}) << "Update server returned invalid version nr (0)" << 0;
    QTest::newRow("negative version")
        << "" << versionsAnswer({{"stable", -4}}) << "Update server returned invalid version nr (-4)" << 0;
}

void TestConfiguration::handlesServerAnswer()
{
    QFETCH(QString, channelIni);
    QFETCH(QByteArray, answer);
    QFETCH(QString, fatal);
    QFETCH(int, version);

    writeIni(m_configDir + "/update.ini", "Channel", channelIni);
    m_server.setResponse(VersionPath, TestHttpServer::Response::ok(answer));
    Configuration config;
    QSignalSpy fatalSpy(&config, &Configuration::fatalError);
    QSignalSpy readySpy(&config, &Configuration::ready);
    QVERIFY(config.parseCommandLineOptions({"update"}));
    QVERIFY(config.isVersionPending());
    QTRY_VERIFY_WITH_TIMEOUT(!config.isVersionPending(), 20000);
    QCOMPARE(readySpy.count(), fatal.isEmpty() ? 1 : 0);
    QCOMPARE(fatalSpy.count(), fatal.isEmpty() ? 0 : 1);
    if (!fatal.isEmpty())
        QCOMPARE(fatalSpy.at(0).at(0).toString(), fatal);
    QCOMPARE(config.newVersion(), version);
}

void TestConfiguration::unreachableServerShowsErrorAndFails_data()
{
    QTest::addColumn<bool>("withWindow");
    QTest::newRow("on the main window") << true;
    QTest::newRow("without a window") << false;
}

void TestConfiguration::unreachableServerShowsErrorAndFails()
{
    QFETCH(bool, withWindow);
    m_server.setResponse(VersionPath, TestHttpServer::Response::withStatus(404));
    QWidget other;
    other.setObjectName("SomethingElse");
    other.show();
    std::unique_ptr<QWidget> window;
    if (withWindow) {
        window = std::make_unique<QWidget>();
        window->setObjectName("MainWindow");
        window->show();
    }

    Configuration config;
    QSignalSpy fatalSpy(&config, &Configuration::fatalError);
    QSignalSpy readySpy(&config, &Configuration::ready);
    QVERIFY(config.parseCommandLineOptions({"update", "--clientupdate"}));
    QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox(), 20000);
    QMessageBox *box = visibleMessageBox();
    QCOMPARE(box->windowTitle(), QString("Error"));
    QCOMPARE(box->text(), QString("Failed to query latest client\nversion from update server."));
    QCOMPARE(box->icon(), QMessageBox::Critical);
    QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Abort));
    QCOMPARE(box->parentWidget(), window.get());
    QVERIFY(!config.isVersionPending());

    // The application's own loop, as in main: closing the box must end it with a failure code.
    QTimer::singleShot(0, box, [box] { box->button(QMessageBox::Abort)->click(); });
    QCOMPARE(QApplication::exec(), 1);
    QCOMPARE(readySpy.count(), 0);
    QCOMPARE(fatalSpy.count(), 0);
}

void TestConfiguration::readsProxyAndStreams_data()
{
    QTest::addColumn<QString>("updateGroup");
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<int>("streams");
    QTest::newRow("no update.ini") << ""
                                   << "" << 6;
    QTest::newRow("set") << "proxy=http://127.0.0.1:3128;streams=3"
                         << "http://127.0.0.1:3128" << 3;
    QTest::newRow("streams 0") << "streams=0"
                               << "" << 6;
    QTest::newRow("streams negative") << "streams=-2"
                                      << "" << 6;
    QTest::newRow("streams text") << "streams=many"
                                  << "" << 6;
}

void TestConfiguration::readsProxyAndStreams()
{
    QFETCH(QString, updateGroup);
    QFETCH(QString, proxy);
    QFETCH(int, streams);
    writeIni(installIniPath(), "update", updateGroup);
    Configuration config;
    QCOMPARE(config.streams(), 0);
    config.getProxySettings();
    QCOMPARE(config.proxy(), proxy);
    QCOMPARE(config.streams(), streams);
}

void TestConfiguration::createsFreshTempDir_data()
{
    QTest::addColumn<QStringList>("existing"); // "<n>:dir", "<n>:file" or "<n>:link"
    QTest::addColumn<int>("expected");
    QTest::newRow("none") << QStringList() << 0;
    QTest::newRow("0 and 1 taken") << QStringList{"0:dir", "1:dir"} << 2;
    QTest::newRow("a file is skipped") << QStringList{"0:file"} << 1;
    QTest::newRow("a link is never adopted") << QStringList{"0:link"} << 1;
    QTest::newRow("gap is used") << QStringList{"1:dir"} << 0;
}

void TestConfiguration::createsFreshTempDir()
{
    QFETCH(QStringList, existing);
    QFETCH(int, expected);
    const QString tmp = m_temp->filePath("tmp");
    const QString foreign = m_temp->filePath("foreign");
    QVERIFY(QDir().mkpath(tmp));
    QVERIFY(QDir().mkpath(foreign));
    for (const QString &e : existing) {
        const QString path = tmp + "/voxtrelle_temp_" + e.section(':', 0, 0);
        const QString kind = e.section(':', 1);
        if (kind == "dir")
            QVERIFY(QDir().mkdir(path));
        else if (kind == "file")
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        else
            QVERIFY(QFile::link(foreign, path));
    }
    qputenv("TMPDIR", tmp.toUtf8());

    Configuration config;
    QSignalSpy fatalSpy(&config, &Configuration::fatalError);
    QVERIFY(config.initalizeStart(QString(), QString()));
    QCOMPARE(config.tempDir(), tmp + "/voxtrelle_temp_" + QString::number(expected));
    QVERIFY(QFileInfo(config.tempDir()).isDir());
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(config.tempDir()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);
    QCOMPARE(config.installDir(), QCoreApplication::applicationDirPath());
    QVERIFY(QDir(foreign).isEmpty());
    QCOMPARE(fatalSpy.count(), 0);
}

void TestConfiguration::keepsGivenSessionDirs()
{
    qputenv("TMPDIR", m_temp->path().toUtf8());
    Configuration config;
    QVERIFY(config.initalizeStart("/var/tmp/session", "/opt/vx3"));
    QCOMPARE(config.tempDir(), QString("/var/tmp/session"));
    QCOMPARE(config.installDir(), QString("/opt/vx3"));
    QVERIFY(!QFileInfo::exists(m_temp->filePath("voxtrelle_temp_0")));
}

void TestConfiguration::reportsWhenNoTempDirCanBeMade()
{
    const QString notADir = m_temp->filePath("plainfile");
    QVERIFY(QFile(notADir).open(QIODevice::WriteOnly));
    qputenv("TMPDIR", notADir.toUtf8());
    Configuration config;
    QSignalSpy fatalSpy(&config, &Configuration::fatalError);
    QVERIFY(!config.initalizeStart(QString(), QString()));
    QCOMPARE(fatalSpy.count(), 1);
    QCOMPARE(fatalSpy.at(0).at(0).toString(), QString("Unable to create temp directory."));
}

QTEST_MAIN(TestConfiguration)
#include "testconfiguration.moc"
