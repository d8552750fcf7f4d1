#include "session/updateversions.h"
#include "shell/configuration.h"
#include "shell/logfile.h"

#include <QApplication>
#include <QDebug>
#include <QLocale>
#include <QTranslator>
#include <google/protobuf/stubs/common.h>

namespace {

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

    QTranslator ownTranslator;
    QTranslator qtTranslator;
    loadTranslations(app, ownTranslator, qtTranslator, appDir);

    Configuration configuration;
    // Without a window nobody shows a fatal error, so it ends the run here.
    QObject::connect(&configuration, &Configuration::fatalError, &app, [](const QString &errorMessage) {
        qDebug() << "Fatal:" << errorMessage;
        QCoreApplication::exit(1);
    });

    if (!configuration.parseCommandLineOptions()) {
        qDebug() << "Failed to parse command line options, aborting";
        return 1;
    }

    // Nothing to update without a window: wait only for the version answer.
    if (configuration.isVersionPending())
        QObject::connect(&configuration, &Configuration::ready, &app, &QCoreApplication::quit);
    else
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    const int exitCode = app.exec();
    qDebug() << "Target version" << configuration.newVersion() << configuration.newVersionString();

    shutdown();
    return exitCode;
}
