// Fetches one file with the updater's download task, the way an update run does (the
// engine's one-second poll included), and prints its speed and memory use.
//
//   bench_download BASE_URL VERSION REMOTE_PATH OUT_FILE [EXPECTED_SIZE]
//
// The URL is BASE_URL + VERSION + "/" + REMOTE_PATH, as for update files.
#include "pipeline/downloadtaskspecification.h"
#include "shell/configuration.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTimer>
#include <cstdio>

namespace {
// A field of /proc/self/status in KiB (VmRSS, VmHWM).
qint64 statusKib(const QByteArray &field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5 || args.size() > 6) {
        std::fprintf(stderr, "usage: bench_download BASE_URL VERSION REMOTE_PATH OUT_FILE [EXPECTED_SIZE]\n");
        return 2;
    }
    Configuration::s_updateImagesUrl = args[1].endsWith('/') ? args[1] : args[1] + '/';
    const qint64 expectedSize = args.size() == 6 ? args[5].toLongLong() : -1;

    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    DownloadTaskSpecification task(&manager, args[3], args[2].toInt(), args[4], expectedSize, nullptr, 1.0);
    QObject::connect(&task, &TaskSpecification::message,
                     [](const QString &m) { std::fprintf(stderr, "%s\n", qPrintable(m)); });
    QObject::connect(&task, &TaskSpecification::error,
                     [](const QString &m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });
    QObject::connect(&task, &TaskSpecification::finished, &app, &QCoreApplication::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &app, &QCoreApplication::quit);

    QTimer poll;
    poll.setInterval(1000);
    QObject::connect(&poll, &QTimer::timeout, [&task] {
        qulonglong done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.getDownloadProgress(done, total, speed, downloading);
    });

    const qint64 rssBefore = statusKib("VmRSS");
    QElapsedTimer clock;
    clock.start();
    poll.start();
    QTimer::singleShot(0, &task, &TaskSpecification::execute);
    app.exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    const qint64 peak = statusKib("VmHWM");

    if (task.state() != TaskSpecification::TASK_FINISHED)
        return 1;
    const qint64 bytes = QFile(args[4]).size();
    std::printf(
        "bytes=%lld seconds=%.3f mib_per_s=%.1f rss_before_kib=%lld peak_rss_kib=%lld growth_kib=%lld\n",
        (long long)bytes, seconds, bytes / seconds / 1048576.0, (long long)rssBefore, (long long)peak,
        (long long)(peak - rssBefore));
    return 0;
}
