// Shows the real updater window during a run against local servers (update
// files, banner image, banner answer on UDP) with the details pane open, then
// captures the screen with ImageMagick's `import`. Run under a virtual X
// server: scripts/window-screenshot.
#include "session/maintaskspecification.h"
#include "session/updateengine.h"
#include "shell/configuration.h"
#include "testhttpserver.h"
#include "ui/banner.h"
#include "ui/mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QCryptographicHash>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <cstdio>

namespace {
QByteArray bannerImage()
{
    QImage image(468, 60, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 468, 0);
    gradient.setColorAt(0, QColor("#1d4e89"));
    gradient.setColorAt(1, QColor("#3a8fd6"));
    painter.fillRect(image.rect(), gradient);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPixelSize(20);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(image.rect().adjusted(16, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft,
                     QStringLiteral("Voxtrelle 3: voice rooms"));
    painter.setBrush(QColor("#f4b942"));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRect(360, 15, 92, 30), 6, 6);
    painter.setPen(QColor("#1d4e89"));
    font.setPixelSize(14);
    painter.setFont(font);
    painter.drawText(QRect(360, 15, 92, 30), Qt::AlignCenter, QStringLiteral("Try it"));
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s output.png\n", argv[0]);
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    QTemporaryDir temp;
    QTemporaryDir configDir;
    qputenv("TMPDIR", temp.path().toUtf8());
    qputenv("VX3_CONFIG_DIR", configDir.path().toUtf8());
    QApplication app(argc, argv);

    TestHttpServer server;
    if (!server.listen())
        return 1;
    // Downloads that deliver part of their data and then wait, so the run stays in progress.
    const QStringList files = {"vx3client_linux_amd64", "libvxaudio.so", "maps.pak", "voices.pak"};
    QList<DownloadEntry> entries;
    for (int i = 0; i < files.size(); ++i) {
        const QByteArray data(400000, char('a' + i));
        TestHttpServer::Response response = TestHttpServer::Response::ok(data);
        response.fault = TestHttpServer::Response::Fault::StallAfter;
        response.faultOffset = 120000 + 60000 * i;
        server.setResponse("/images/1234/client/" + files.at(i).toUtf8(), response);
        entries << DownloadEntry{
            "client", files.at(i),
            QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex()),
            quint64(data.size())};
    }
    server.setResponse("/banner.png", TestHttpServer::Response::ok(bannerImage()));
    qputenv("VX3_UPDATE_IMAGES_URL", server.url("/images/").toString().toUtf8());
    qputenv("VX3_BANNER_HOST", "127.0.0.1");

    QUdpSocket bannerServer;
    if (!bannerServer.bind(QHostAddress::LocalHost, Banner::ServerPort))
        return 1;
    const QByteArray answer = server.url("/banner.png").toString().toUtf8() + ",https://www.voxtrelle.com/";
    QObject::connect(&bannerServer, &QUdpSocket::readyRead, [&] {
        while (bannerServer.hasPendingDatagrams()) {
            QHostAddress sender;
            quint16 port = 0;
            char request[2];
            bannerServer.readDatagram(request, sizeof request, &sender, &port);
            bannerServer.writeDatagram(answer, sender, port);
        }
    });

    Configuration configuration;
    if (!configuration.parseCommandLineOptions(
            {"update", "--clientupdate", "client_linux_amd64", "1234", "3.2.0"}))
        return 1;
    MainWindow window(&configuration);
    window.updateVersionLabel();
    window.show();
    QMetaObject::invokeMethod(&window, "onStartUpdate");
    auto *engine = window.findChild<UpdateEngine *>();
    if (!engine || !engine->mainTask())
        return 1;
    engine->mainTask()->lists().downloadList = entries;
    window.findChild<QAbstractButton *>(QStringLiteral("detailsButton"))->click();

    int exitCode = 0;
    QTimer::singleShot(4000, [&] {
        exitCode = QProcess::execute(QStringLiteral("import"), {"-window", "root", output});
        // Ends the run without the abort question.
        QCoreApplication::exit(exitCode);
    });
    app.exec();
    return exitCode;
}
