#include "session/updateengine.h"
#include "session/updateversions.h"
#include "shell/configuration.h"
#include "shell/logfile.h"
#include "shell/singleinstancechecker.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QTimer>
#include <QTranslator>
#include <google/protobuf/stubs/common.h>

namespace {

constexpr int StartDelayMs = 2000;

// Files that earlier self-updates set aside or that older versions shipped.
void removeLeftovers(const QString &appDir)
{
    UpdateEngine::removeQt4Files(appDir);
    UpdateEngine::removeOldFiles(appDir);
    for (const char *sub : {"/old", "/imageformats", "/accessible", "/sqldrivers"})
        UpdateEngine::removeOldFiles(appDir + QLatin1String(sub));
    QDir(appDir).rmdir(QStringLiteral("old"));
    qDebug() << "Removing old files done";
}

void loadTranslations(QApplication &app, QTranslator &own, QTranslator &qt, const QString &appDir)
{
    const QString locale = QLocale::system().name();
    // A missing translation leaves the built-in texts; nothing to report.
    own.load(QStringLiteral("update_") + locale, appDir + QStringLiteral("/translations"));
    qt.load(QStringLiteral("qt_") + locale, appDir + QStringLiteral("/translations"));
    app.installTranslator(&own);
    app.installTranslator(&qt);
}

void shutdown()
{
    LogFile::instance()->close();
    google::protobuf::ShutdownProtobufLibrary();
}

} // namespace

int main(int argc, char **argv)
{
    GOOGLE_PROTOBUF_VERIFY_VERSION;
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
    LogFile::instance();
    qInstallMessageHandler(logMessageHandler);

    QApplication app(argc, argv);
    const QString appDir = QCoreApplication::applicationDirPath();
    qDebug() << "Voxtrelle updater started";

    removeLeftovers(appDir);
    if (SingleInstanceChecker::notifyRunningInstance(QStringLiteral("#"))) {
        qDebug() << "Detected other instance running, aborting";
        return 0;
    }

    QTranslator ownTranslator;
    QTranslator qtTranslator;
    loadTranslations(app, ownTranslator, qtTranslator, appDir);

    Configuration configuration;
    MainWindow window(&configuration);

    if (!configuration.parseCommandLineOptions()) {
        qDebug() << "Failed to parse command line options, aborting";
        return 1;
    }

    QTimer::singleShot(StartDelayMs, &window,
                       [&window] { QMetaObject::invokeMethod(&window, "onStartUpdate"); });
    window.updateVersionLabel();
    window.show();
    window.delete_force_update_files();
    const int exitCode = app.exec();

    shutdown();
    return exitCode;
}
