#include "UpdateMessage.pb.h"
#include "session/maintaskspecification.h"
#include "session/updateengine.h"
#include "session/updateinidata.h"
#include "shell/configuration.h"
#include "shell/singleinstancechecker.h"
#include "testhttpserver.h"
#include "ui/mainwindow.h"
#include "ui/urlclicklabel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTranslator>
#include <QtTest>
#include <functional>
#include <memory>

namespace {
QStringList s_log;

void collect(QtMsgType, const QMessageLogContext &, const QString &text)
{
    s_log << text;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Answers every message box that opens, recording what it said. An optional
// action runs while the first box is still open (inside its event loop).
class BoxAnswerer : public QObject
{
public:
    struct Box
    {
        QString title;
        QString text;
    };

    explicit BoxAnswerer(QMessageBox::StandardButton answer) : m_answer(answer)
    {
        connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        m_timer.start(10);
    }

    void setAnswer(QMessageBox::StandardButton answer) { m_answer = answer; }

    QList<Box> boxes;
    std::function<void()> whileFirstOpen;

private:
    void poll()
    {
        const auto widgets = QApplication::topLevelWidgets();
        for (QWidget *widget : widgets) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible() || box->property("answered").toBool())
                continue;
            box->setProperty("answered", true);
            boxes << Box{box->windowTitle(), box->text()};
            if (whileFirstOpen) {
                const auto action = std::move(whileFirstOpen);
                whileFirstOpen = nullptr;
                action();
            }
            QAbstractButton *button = box->button(m_answer);
            (button ? button : box->buttons().first())->click();
        }
    }

    QTimer m_timer;
    QMessageBox::StandardButton m_answer;
};

// Stands in for the desktop's browser.
class UrlOpenRecorder : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl &url) { opened << url; }

public:
    QList<QUrl> opened;
};

QString sha512(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

QByteArray pngBytes()
{
    QImage image(468, 60, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qInstallMessageHandler(collect);
        QVERIFY(m_server.listen());
        TestHttpServer::Response stalled = TestHttpServer::Response::ok(QByteArray(1000, 'a'));
        stalled.fault = TestHttpServer::Response::Fault::StallAfter;
        stalled.faultOffset = 10;
        m_server.setResponse("/images/1234/data/slow.bin", stalled);
        m_server.setResponse(
            "/version",
            TestHttpServer::Response{200, {}, {}, {}, true, TestHttpServer::Response::Fault::Stall, 0, 0, 0});
        qputenv("VX3_UPDATE_IMAGES_URL", m_server.url("/images/").toString().toUtf8());
        qputenv("VX3_VERSION_URL", m_server.url("/version").toString().toUtf8());
        // IPv6 only: the banner client sends nothing, keeping the banner test's port quiet.
        qputenv("VX3_BANNER_HOST", "::1");
        // The windows of these tests close without ending the test's event loop.
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void init()
    {
        s_log.clear();
        qunsetenv("TMPDIR");
        m_temp.reset(new QTemporaryDir);
        m_configDir.reset(new QTemporaryDir);
        QVERIFY(m_temp->isValid() && m_configDir->isValid());
        qputenv("TMPDIR", m_temp->path().toUtf8());
        qputenv("VX3_CONFIG_DIR", m_configDir->path().toUtf8());
        QFile::remove(UpdateIniData::iniPath());
    }

    void cleanup()
    {
        m_window.reset();
        m_config.reset();
        QFile::remove(UpdateIniData::iniPath());
        qunsetenv("TMPDIR");
    }

    void progressBarShowsPerMille_data()
    {
        QTest::addColumn<QList<qreal>>("reports");
        QTest::addColumn<int>("value");
        QTest::newRow("truncated") << QList<qreal>{0.4567} << 456;
        QTest::newRow("above the range ignored") << QList<qreal>{0.5, 1.15} << 500;
        QTest::newRow("final report fills it") << QList<qreal>{0.5, 1.15, 1.0} << 1000;
    }
    void progressBarShowsPerMille()
    {
        QFETCH(QList<qreal>, reports);
        QFETCH(int, value);
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        for (qreal report : reports)
            QVERIFY(QMetaObject::invokeMethod(m_window.get(), "onProgressUpdate", Q_ARG(qreal, report)));
        QCOMPARE(m_window->findChild<QProgressBar *>("totalProgressBar")->value(), value);
    }

    void versionHeader_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("channelIni");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("absent");
        QTest::newRow("client update, stable, named version")
            << QStringList{"--clientupdate", "client_linux_amd64", "1234", "3.1 Spring"} << QString()
            << QStringList{"Update to Voxtrelle 3.1 Spring", "<strong>Stable channel</strong>",
                           "Step two: Updating Voxtrelle client"}
            << "Step one";
        QTest::newRow("updater update, alpha, no version string")
            << QStringList{"--nouser", "update_linux_amd64", "1234", "#"}
            << "[Channel]\nalpha=http://127.0.0.1:1/alpha\nalphaRevno=1234\n"
            << QStringList{"<strong>Alpha channel</strong>", "Step one: Updating updater"} << "Update to";
    }
    void versionHeader()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, channelIni);
        QFETCH(QStringList, expected);
        QFETCH(QString, absent);
        if (!channelIni.isEmpty())
            writeFile(m_configDir->path() + "/update.ini", channelIni.toUtf8());
        makeWindow(args);
        m_window->updateVersionLabel();
        const QString text = m_window->findChild<QLabel *>("versionLabel")->text();
        for (const QString &part : expected)
            QVERIFY2(text.contains(part), qPrintable(text));
        QVERIFY2(!text.contains(absent), qPrintable(text));
    }

    void otherInstanceRaisesWindowOnlyForHash()
    {
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        QWidget other;
        m_window->show();
        other.show();
        other.activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), &other);

        QVERIFY(SingleInstanceChecker::notifyRunningInstance("x"));
        QTest::qWait(200);
        QCOMPARE(QApplication::activeWindow(), &other);

        QVERIFY(SingleInstanceChecker::notifyRunningInstance("#"));
        QTRY_COMPARE(QApplication::activeWindow(), m_window.get());
    }

    void closingDuringSessionAsksUntilConfirmed()
    {
        startStalledSession();
        BoxAnswerer answerer(QMessageBox::No);
        QVERIFY(!m_window->close());
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes.at(0).title, QString("Question"));
        QCOMPARE(answerer.boxes.at(0).text,
                 QString("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
        QVERIFY(m_window->isVisible());
        QVERIFY(engine()->isSessionActive());

        answerer.setAnswer(QMessageBox::Yes);
        QTimer::singleShot(0, m_window.get(), [this] { QVERIFY(!m_window->close()); });
        // The confirmed abort ends the application's event loop once the cancellation arrives.
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(answerer.boxes.size(), 2);
        QCOMPARE(engine()->state(), UpdateEngine::CANCELED);
        // The confirmed abort ends the process: no cancellation report, no further question.
        QVERIFY(!output().contains("Update cancelled"));
        QVERIFY(output().contains("User aborted update"));
        m_window->close();
        QTest::qWait(100);
        QCOMPARE(answerer.boxes.size(), 2);
    }

    void cancellationBoxIsShownOnce()
    {
        startStalledSession();
        BoxAnswerer answerer(QMessageBox::Ok);
        answerer.whileFirstOpen = [this] {
            // A second run is cancelled while the first box is still open.
            QVERIFY(engine()->initialize());
            QVERIFY(engine()->startUpdate());
            engine()->mainTask()->lists().downloadList << slowEntry();
            engine()->cancelUpdate();
            QTRY_COMPARE(output().count("Update cancelled"), 2);
        };
        engine()->cancelUpdate();
        QTRY_COMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes.at(0).title, QString("Update"));
        QCOMPARE(answerer.boxes.at(0).text, QString("Update cancelled. Push \"Details\" to check reasons."));
        QCOMPARE(output().count("Update cancelled"), 2);
        QCOMPARE(m_window->findChild<QProgressBar *>("totalProgressBar")->value(), 0);
        // The window stays and does not start another session by itself.
        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "onStartUpdate"));
        QCOMPARE(engine()->state(), UpdateEngine::PRE_INIT);
        QTest::qWait(100);
        QCOMPARE(answerer.boxes.size(), 1);
    }

    void errorIsShownAndRunGoesOn()
    {
        startStalledSession();
        BoxAnswerer answerer(QMessageBox::Ok);
        emit engine()->error("Download of x failed");
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes.at(0).title, QString("Error"));
        QCOMPARE(answerer.boxes.at(0).text, QString("Download of x failed"));
        QVERIFY(output().contains("Download of x failed"));
        QCOMPARE(engine()->state(), UpdateEngine::RUNNING);
    }

    void fatalErrorsEndTheEventLoop_data()
    {
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("configuration") << QByteArray("onFatalConfigError") << 1;
        QTest::newRow("engine") << QByteArray("onFatalError") << 2;
    }
    void fatalErrorsEndTheEventLoop()
    {
        QFETCH(QByteArray, slot);
        QFETCH(int, exitCode);
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        BoxAnswerer answerer(QMessageBox::Ok);
        QTimer::singleShot(0, m_window.get(), [&] {
            QMetaObject::invokeMethod(m_window.get(), slot.constData(), Q_ARG(QString, QString("broken")));
        });
        QCOMPARE(QApplication::exec(), exitCode);
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes.at(0).text, QString("broken"));
    }

    void invalidProxyIsReportedBeforeAnySession()
    {
        {
            QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
            settings.setValue("update/proxy", "proxy.example:8080");
        }
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        BoxAnswerer answerer(QMessageBox::Ok);
        QTimer::singleShot(0, m_window.get(), SLOT(onStartUpdate()));
        QCOMPARE(QApplication::exec(), 2);
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes.at(0).text,
                 QString("'proxy.example:8080' is an invalid proxy setting"));
        QCOMPARE(engine()->state(), UpdateEngine::PRE_INIT);
    }

    void sessionWaitsForTheVersionServer()
    {
        com::voxtrelle::update::Versions versions;
        versions.set_licenseagreementid(1);
        auto *channel = versions.add_channels();
        channel->set_name("stable");
        channel->set_version_number(1234);
        channel->set_version_string("3.2.0");
        m_server.setResponse("/versions", TestHttpServer::Response::ok(
                                              QByteArray::fromStdString(versions.SerializeAsString())));
        qputenv("VX3_VERSION_URL", m_server.url("/versions").toString().toUtf8());
        makeWindow({"--clientupdate"});
        qputenv("VX3_VERSION_URL", m_server.url("/version").toString().toUtf8());

        // The start timer may fire before the answer: no session with an unknown target.
        QVERIFY(m_config->isVersionPending());
        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "onStartUpdate"));
        QCOMPARE(engine()->state(), UpdateEngine::PRE_INIT);
        QVERIFY(!QFile::exists(UpdateIniData::iniPath()));

        // The answer starts it.
        QTRY_VERIFY(engine()->state() != UpdateEngine::PRE_INIT);
        QCOMPARE(m_config->newVersion(), 1234);
        QVERIFY(output().contains("Starting update process for client"));
    }

    void updaterRunHandsOverToNewUpdater()
    {
        makeWindow({"--nouser", "update_linux_amd64", "1234", "#"});
        m_window->show();
        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "onStartUpdate"));
        QCOMPARE(engine()->state(), UpdateEngine::RUNNING);
        QTRY_VERIFY(!m_window->isVisible());
        const QString expected =
            QString("startClientUpdater \"%1\" (\"--clientupdate\", \"client_linux_amd64\", "
                    "\"1234\", \"#\")")
                .arg(m_config->tempDir());
        QVERIFY2(s_log.contains(expected), qPrintable(s_log.join('\n')));
    }

    void rebootAnswerLeavesMarker_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("notWritten");
        QTest::newRow("yes") << int(QMessageBox::Yes) << "vx3_force_update"
                             << "vx3_force_update_check";
        QTest::newRow("no") << int(QMessageBox::No) << "vx3_force_update_check"
                            << "vx3_force_update";
    }
    void rebootAnswerLeavesMarker()
    {
        QFETCH(int, answer);
        QFETCH(QString, written);
        QFETCH(QString, notWritten);
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        QCOMPARE(MainWindow::instance(), m_window.get());
        BoxAnswerer answerer{QMessageBox::StandardButton(answer)};
        QTimer::singleShot(0, m_window.get(), &MainWindow::onRebootWithConfirmation);
        // Whatever the answer, the updater ends without restarting anything itself.
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes.at(0).title, QString("Confirm reboot"));
        QVERIFY(QFileInfo(m_temp->path() + "/" + written).isFile());
        QVERIFY(!QFileInfo::exists(m_temp->path() + "/" + notWritten));
    }

    void markerIsNotWrittenThroughLink()
    {
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        QTemporaryDir elsewhere;
        const QString victim = elsewhere.path() + "/victim";
        writeFile(victim, "precious");
        QVERIFY(QFile::link(victim, m_temp->path() + "/vx3_force_update"));
        m_window->write_force_update_file("vx3_force_update");
        QCOMPARE(readFile(victim), QByteArray("precious"));
        QVERIFY(output().contains("Failed to store force update notice"));
    }

    void markersAreRemovedOnlyByUpdaterRun_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("removed");
        QTest::newRow("updater run") << QStringList{"--nouser", "update_linux_amd64", "1234", "#"} << true;
        QTest::newRow("client run") << QStringList{"--clientupdate", "client_linux_amd64", "1234", "#"}
                                    << false;
    }
    void markersAreRemovedOnlyByUpdaterRun()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, removed);
        writeFile(m_temp->path() + "/vx3_force_update", "");
        writeFile(m_temp->path() + "/vx3_force_update_check", "");
        makeWindow(args);
        m_window->delete_force_update_files();
        QCOMPARE(QFile::exists(m_temp->path() + "/vx3_force_update"), !removed);
        QCOMPARE(QFile::exists(m_temp->path() + "/vx3_force_update_check"), !removed);
    }

    void bannerIsShownAndCached()
    {
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        const QString link = "https://www.example.com/offer?a=b c&ä";
        emit engine()->bannerFound(pngBytes(), link);
        auto *banner = m_window->findChild<UrlClickLabel *>("banner");
        QVERIFY(!banner->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(banner->toolTip(), QString("Click to open \"https://www.example.com\""));
        QCOMPARE(banner->url(), link);
        QImage cached;
        QVERIFY(cached.load(m_temp->path() + "/voxtrelle_banner.jpg", "JPG"));
        QCOMPARE(cached.size(), QSize(468, 60));
        const QByteArray encoded = readFile(m_temp->path() + "/voxtrelle_banner.txt");
        QCOMPARE(encoded, QUrl::toPercentEncoding(link));
        QCOMPARE(QString::fromUtf8(QByteArray::fromPercentEncoding(encoded)), link);

        // A client run's window removes the cache when it closes.
        m_window->show();
        QVERIFY(m_window->close());
        QVERIFY(!QFile::exists(m_temp->path() + "/voxtrelle_banner.jpg"));
        QVERIFY(!QFile::exists(m_temp->path() + "/voxtrelle_banner.txt"));
    }

    void bannerThatIsNoImageIsIgnored()
    {
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        emit engine()->bannerFound("<html>not found</html>", "https://www.example.com/");
        QVERIFY(m_window->findChild<UrlClickLabel *>("banner")->pixmap(Qt::ReturnByValue).isNull());
        QVERIFY(!QFile::exists(m_temp->path() + "/voxtrelle_banner.jpg"));
        QVERIFY(!QFile::exists(m_temp->path() + "/voxtrelle_banner.txt"));
    }

    void bannerCacheIsNotWrittenThroughLinks()
    {
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        QTemporaryDir elsewhere;
        for (const char *name : {"voxtrelle_banner.jpg", "voxtrelle_banner.txt"}) {
            writeFile(elsewhere.path() + "/" + name, "precious");
            QVERIFY(QFile::link(elsewhere.path() + "/" + name, m_temp->path() + "/" + name));
        }
        emit engine()->bannerFound(pngBytes(), "https://www.example.com/");
        QVERIFY(!m_window->findChild<UrlClickLabel *>("banner")->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(readFile(elsewhere.path() + "/voxtrelle_banner.jpg"), QByteArray("precious"));
        QCOMPARE(readFile(elsewhere.path() + "/voxtrelle_banner.txt"), QByteArray("precious"));
    }

    void clickOpensOnlyWebLinks_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("opened");
        QTest::newRow("https") << "https://www.example.com/x" << true;
        QTest::newRow("http upper case") << "HTTP://www.example.com/" << true;
        QTest::newRow("file") << "file:///etc/passwd" << false;
        QTest::newRow("local path") << "/usr/bin/xterm" << false;
        QTest::newRow("other scheme") << "smb://host/share" << false;
        QTest::newRow("empty") << "" << false;
    }
    void clickOpensOnlyWebLinks()
    {
        QFETCH(QString, url);
        QFETCH(bool, opened);
        UrlOpenRecorder recorder;
        for (const char *scheme : {"http", "https", "file", "smb"})
            QDesktopServices::setUrlHandler(scheme, &recorder, "open");
        UrlClickLabel label(nullptr);
        label.setUrl(url);
        label.show();
        QTest::mouseClick(&label, Qt::RightButton);
        for (const char *scheme : {"http", "https", "file", "smb"})
            QDesktopServices::unsetUrlHandler(scheme);
        QCOMPARE(recorder.opened.size(), opened ? 1 : 0);
        if (opened)
            QCOMPARE(recorder.opened.at(0), QUrl(url, QUrl::TolerantMode));
    }

    void formIsFixedAndCentred()
    {
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        QCOMPARE(m_window->windowTitle(), QString("Voxtrelle 3 Client Update"));
        // Placed by the form's initial 486 x 298 in the middle of the available area.
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(m_window->pos(), QPoint(available.width() / 2 - 486 / 2, available.height() / 2 - 298 / 2));
        QCOMPARE(m_window->findChild<QWidget *>("banner")->size(), QSize(468, 60));
        QCOMPARE(m_window->findChild<QWidget *>("voxtrelleLabel")->size(), QSize(48, 48));
        QVERIFY(!m_window->findChild<QLabel *>("voxtrelleLabel")->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(m_window->findChild<UrlClickLabel *>("voxtrelleLabel")->url(),
                 QString("https://www.voxtrelle.com/"));
        m_window->show();
        auto *details = m_window->findChild<QTextEdit *>("outputTextEdit");
        auto *button = m_window->findChild<QAbstractButton *>("detailsButton");
        QVERIFY(!details->isVisible());
        button->click();
        QVERIFY(details->isVisible());
        button->click();
        QVERIFY(!details->isVisible());

        // Opening the pane shows the latest lines.
        for (int i = 0; i < 50; ++i)
            emit engine()->message(QString("line %1").arg(i));
        details->verticalScrollBar()->setValue(0);
        button->click();
        QTRY_VERIFY(details->verticalScrollBar()->maximum() > 0);
        QTRY_COMPARE(details->verticalScrollBar()->value(), details->verticalScrollBar()->maximum());
    }

    void germanTranslationIsBuilt()
    {
        QTranslator translator;
        QVERIFY(translator.load("update_de", VX_TRANSLATIONS_DIR));
        QCoreApplication::installTranslator(&translator);
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        m_window->updateVersionLabel();
        QCOMPARE(m_window->windowTitle(), QString("Voxtrelle 3 Client-Aktualisierung"));
        QVERIFY(m_window->findChild<QLabel *>("versionLabel")->text().contains("Kanal Stabil"));
        QCOMPARE(QObject::tr("Error"), QString("Fehler"));
        QCoreApplication::removeTranslator(&translator);
    }

private:
    void makeWindow(const QStringList &args)
    {
        m_config.reset(new Configuration);
        QVERIFY(m_config->parseCommandLineOptions(QStringList{"update"} + args));
        m_window.reset(new MainWindow(m_config.get()));
    }

    void startStalledSession()
    {
        makeWindow({"--clientupdate", "client_linux_amd64", "1234", "#"});
        m_window->show();
        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "onStartUpdate"));
        QCOMPARE(engine()->state(), UpdateEngine::RUNNING);
        engine()->mainTask()->lists().downloadList << slowEntry();
        QTRY_COMPARE(m_server.requestCount("/images/1234/data/slow.bin"), 1);
    }

    static DownloadEntry slowEntry()
    {
        return DownloadEntry{"data", "slow.bin", sha512(QByteArray(1000, 'a')), 1000};
    }

    UpdateEngine *engine() const { return m_window->findChild<UpdateEngine *>(); }
    QString output() const { return m_window->findChild<QTextEdit *>("outputTextEdit")->toPlainText(); }

    TestHttpServer m_server;
    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<QTemporaryDir> m_configDir;
    std::unique_ptr<Configuration> m_config;
    std::unique_ptr<MainWindow> m_window;
};

QTEST_MAIN(TestMainWindow)
#include "testmainwindow.moc"
