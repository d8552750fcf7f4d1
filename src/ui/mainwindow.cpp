#include "ui/mainwindow.h"

#include "session/updateengine.h"
#include "shell/configuration.h"
#include "shell/processtools.h"
#include "shell/singleinstancechecker.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>
#include <fcntl.h>
#include <unistd.h>

// The form's resources live in this static library; they must be registered
// explicitly (outside any namespace).
static void initResources()
{
    Q_INIT_RESOURCE(update);
}

namespace {
MainWindow *s_mainWindow = nullptr;
constexpr int HandOverDelayMs = 1000;
constexpr int ProgressScale = 1000;
} // namespace

const char MainWindow::HomePageUrl[] = "https://www.voxtrelle.com/";
const char MainWindow::BannerImageFile[] = "voxtrelle_banner.jpg";
const char MainWindow::BannerLinkFile[] = "voxtrelle_banner.txt";
const char MainWindow::ForceUpdateFile[] = "vx3_force_update";
const char MainWindow::ForceUpdateCheckFile[] = "vx3_force_update_check";

MainWindow::MainWindow(Configuration *configuration)
    : QWidget(nullptr), m_ui(new Ui::MainWindow), m_configuration(configuration)
{
    s_mainWindow = this;
    initResources();

    m_engine = new UpdateEngine(configuration, this);
    connect(m_engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(m_engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(m_engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(m_engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(m_engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(m_engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(m_engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    m_ui->setupUi(this);
    connect(m_ui->detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed,
            Qt::QueuedConnection);
    m_ui->voxtrelleLabel->setUrl(QLatin1String(HomePageUrl));
    m_ui->outputTextEdit->hide();

    auto *checker = new SingleInstanceChecker(this);
    connect(checker, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);

    connect(configuration, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
    connect(configuration, &Configuration::ready, this, &MainWindow::onStartUpdate);

    m_engine->getBanner();

    // Centred in the available area by its size only, as the window has always been placed.
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    move(available.width() / 2 - width() / 2, available.height() / 2 - height() / 2);
}

MainWindow::~MainWindow()
{
    if (s_mainWindow == this)
        s_mainWindow = nullptr;
}

MainWindow *MainWindow::instance()
{
    return s_mainWindow;
}

void MainWindow::updateVersionLabel()
{
    QString channelName;
    switch (m_configuration->channel()) {
    case 0:
        channelName = tr("Stable");
        break;
    case 1:
        channelName = tr("Beta");
        break;
    case 2:
        channelName = tr("Alpha");
        break;
    default:
        break;
    }
    QString text;
    if (!m_configuration->newVersionString().isEmpty())
        text = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">") +
               tr("Update to Voxtrelle %1").arg(m_configuration->newVersionString()) +
               QStringLiteral("</div>");
    text += QStringLiteral("<div style=\"margin-top:4px\">") +
            tr("You are currently on <strong>%1 channel</strong>.").arg(channelName) +
            QStringLiteral("</div>");
    text += QStringLiteral("<div style=\"margin-top:4px;font-style:italic\">") +
            (m_configuration->isClientUpdate() ? tr("Step two: Updating Voxtrelle client")
                                               : tr("Step one: Updating updater")) +
            QStringLiteral("</div>");
    m_ui->versionLabel->setText(text);
}

QString MainWindow::tempFilePath(const QString &name)
{
    return QDir::tempPath() + QLatin1Char('/') + name;
}

bool MainWindow::openForWriteNoFollow(const QString &path, QFile &file)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

void MainWindow::write_force_update_file(const QString &name)
{
    QFile file;
    if (!openForWriteNoFollow(tempFilePath(name), file)) {
        m_ui->outputTextEdit->append(tr("Failed to store force update notice"));
        qDebug() << "Failed to store force update notice";
    }
}

void MainWindow::delete_force_update_files()
{
    qDebug() << "delete_force_update_files" << bool(m_configuration->isClientUpdate());
    if (m_configuration->isClientUpdate())
        return;
    QFile::remove(tempFilePath(QLatin1String(ForceUpdateFile)));
    QFile::remove(tempFilePath(QLatin1String(ForceUpdateCheckFile)));
}

void MainWindow::showCriticalBox(const QString &text)
{
    QMessageBox::critical(this, QObject::tr("Error"), text, QMessageBox::Ok);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    showCriticalBox(errorMessage);
    QCoreApplication::exit(1);
}

void MainWindow::onFatalError(QString errorMessage)
{
    showCriticalBox(errorMessage);
    QCoreApplication::exit(2);
}

void MainWindow::onError(QString errorMessage)
{
    m_ui->outputTextEdit->append(errorMessage);
    showCriticalBox(errorMessage);
}

void MainWindow::onStartUpdate()
{
    qDebug() << "onStartUpdate" << m_updateFinished << m_updateStarted;
    if (m_updateFinished || m_updateStarted)
        return;
    if (m_engine->isSessionActive()) {
        qDebug() << "Session already active";
        return;
    }
    if (!m_configuration->isReady()) {
        qDebug() << "Aborting start update, configuration not yet ready";
        return;
    }
    // Without the server's answer the target would be version 0; ready() or the
    // configuration's error ends the wait.
    if (m_configuration->isVersionPending()) {
        qDebug() << "Waiting for the version server before starting";
        return;
    }
    if (!m_engine->initialize())
        return;
    qDebug() << "Update engine initialized";
    m_updateStarted = true;
    m_engine->startUpdate();
}

void MainWindow::onStartNewUpdater()
{
    qDebug() << "onStartNewUpdater";
    const QString versionString = m_configuration->newVersionString();
    const QStringList arguments = {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"),
                                   QString::number(m_configuration->newVersion()),
                                   versionString.isEmpty() ? QStringLiteral("#") : versionString};
    ProcessTools::startClientUpdater(m_configuration->tempDir(), arguments);
    close();
}

void MainWindow::onStartVX3Client()
{
    if (!m_configuration->isClientUpdate())
        return;
    ProcessTools::startVx3Client(m_configuration->installDir());
    close();
}

void MainWindow::onAppendText(QString text)
{
    m_ui->outputTextEdit->append(text);
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    // Stage weights add up to more than 1, so values above the range occur;
    // the bar ignores them and keeps its last value.
    m_ui->totalProgressBar->setValue(int(doneFrac * ProgressScale));
}

void MainWindow::onUpdateFinished()
{
    qDebug() << "onUpdateFinished";
    m_updateFinished = true;
    if (m_rebootRequested)
        return;
    if (m_configuration->isClientUpdate())
        QTimer::singleShot(HandOverDelayMs, this, &MainWindow::onStartVX3Client);
    else
        QTimer::singleShot(HandOverDelayMs, this, &MainWindow::onStartNewUpdater);
}

void MainWindow::onUpdateCanceled()
{
    if (m_closeRequested) {
        QCoreApplication::quit();
        return;
    }
    m_updateFinished = false;
    m_engine->resetAfterCancel();
    m_ui->outputTextEdit->append(tr("Update cancelled"));
    m_ui->totalProgressBar->setValue(0);
    if (m_cancelBoxOpen)
        return;
    m_cancelBoxOpen = true;
    QMessageBox::critical(this, tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons."),
                          QMessageBox::Ok);
    m_cancelBoxOpen = false;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_engine->isSessionActive()) {
        event->ignore();
        if (m_closeRequested)
            return;
        const auto answer = QMessageBox::question(
            this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
        if (answer == QMessageBox::Yes) {
            m_closeRequested = true;
            m_engine->cancelUpdate();
        }
        return;
    }
    if (m_configuration->isClientUpdate()) {
        qDebug() << "*** Deleting temp banner";
        QFile::remove(tempFilePath(QLatin1String(BannerImageFile)));
        QFile::remove(tempFilePath(QLatin1String(BannerLinkFile)));
    }
    event->accept();
}

void MainWindow::onRebootWithConfirmation()
{
    qDebug() << "onRebootWithConfirmation";
    m_rebootRequested = true;
    const auto answer =
        QMessageBox::question(this, tr("Confirm reboot"),
                              tr("<p>A computer restart is required to proceed with the client update. If "
                                 "you do not reboot now, the "
                                 "Voxtrelle update will be cancelled.</p><p>Do you want to reboot now?</p>"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer == QMessageBox::Yes) {
        write_force_update_file(QLatin1String(ForceUpdateFile));
        QApplication::beep();
    } else {
        write_force_update_file(QLatin1String(ForceUpdateCheckFile));
    }
    QCoreApplication::quit();
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    qDebug() << "Banner data available";
    QPixmap pixmap;
    if (!pixmap.loadFromData(bannerImage)) {
        qDebug() << "Could not load pixmap for banner. Error in data";
        return;
    }
    const QUrl url(clickUrl, QUrl::TolerantMode);
    m_ui->banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host(QUrl::FullyDecoded)));
    m_ui->banner->setUrl(clickUrl);
    m_ui->banner->setPixmap(pixmap);
    qDebug() << "Banner pixmap loaded";

    QFile image;
    if (openForWriteNoFollow(tempFilePath(QLatin1String(BannerImageFile)), image))
        pixmap.save(&image, "JPG");
    QFile link;
    if (openForWriteNoFollow(tempFilePath(QLatin1String(BannerLinkFile)), link))
        link.write(QUrl::toPercentEncoding(clickUrl));
}

void MainWindow::onDetailsPressed()
{
    if (!m_ui->outputTextEdit->isVisible())
        return;
    QScrollBar *bar = m_ui->outputTextEdit->verticalScrollBar();
    bar->setValue(bar->maximum());
}
