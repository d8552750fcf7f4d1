#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>
#include <memory>

namespace Ui {
class MainWindow;
}

class Configuration;
class UpdateEngine;
class SingleInstanceChecker;
class QFile;

// The updater's only window: shows what is updated and how far the run is,
// starts the session and, at the end, hands over to the client or the new
// updater.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MainWindow(Configuration *configuration);
    ~MainWindow() override;

    // The window while it exists; install commands reach the restart question through it.
    static MainWindow *instance();

    void updateVersionLabel();
    void write_force_update_file(const QString &name);
    void delete_force_update_files();

    static const char HomePageUrl[];
    static const char BannerImageFile[];
    static const char BannerLinkFile[];
    static const char ForceUpdateFile[];
    static const char ForceUpdateCheckFile[];

public slots:
    void onRebootWithConfirmation();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void onStartUpdate();
    void onStartNewUpdater();
    void onStartVX3Client();
    void onAppendText(QString text);
    void onProgressUpdate(qreal doneFrac);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();

private:
    void showCriticalBox(const QString &text);
    // Files in the shared temp dir are created without following a symbolic
    // link planted there by someone else.
    static bool openForWriteNoFollow(const QString &path, QFile &file);
    static QString tempFilePath(const QString &name);

    std::unique_ptr<Ui::MainWindow> m_ui;
    Configuration *m_configuration;
    UpdateEngine *m_engine;
    bool m_updateFinished = false;
    bool m_closeRequested = false;
    bool m_updateStarted = false;
    bool m_rebootRequested = false;
    // Only one "Update cancelled" box at a time: boxes run nested event loops.
    bool m_cancelBoxOpen = false;
};
