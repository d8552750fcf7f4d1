#include "logfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMutexLocker>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *levelSeparator(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "\t|\tDebug\t|\t";
    case QtInfoMsg:
        return "\t|\tInfo\t|\t";
    case QtWarningMsg:
        return "\t|\tWarning\t|\t";
    case QtCriticalMsg:
        return "\t|\tCritical\t|\t";
    case QtFatalMsg:
        return "\t|\tFatal\t|\t";
    }
    return nullptr;
}

// Opens the log file without ever following a symbolic link and only inside a
// directory of our own: the temporary directory is shared with other users,
// who could otherwise point the log at a file of ours or read it.
int openLogFile(const QString &dirPath, const QString &fileName)
{
    const QByteArray dir = QFile::encodeName(dirPath);
    if (::mkdir(dir.constData(), 0700) != 0 && errno != EEXIST)
        return -1;
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return -1;
    struct stat st;
    if (::fstat(dirFd, &st) != 0 || st.st_uid != ::geteuid()) {
        ::close(dirFd);
        return -1;
    }
    // Non-blocking so that a planted FIFO cannot hang the open.
    const int fd = ::openat(dirFd, QFile::encodeName(fileName).constData(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    ::close(dirFd);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

LogFile *LogFile::instance()
{
    static LogFile *const log = [] {
        auto *created = new LogFile(QDir::tempPath());
        created->open();
        return created;
    }();
    return log;
}

LogFile::LogFile(const QString &tempDir)
    : m_tempDir(tempDir), m_enabled(QFileInfo::exists(tempDir + QStringLiteral("/vx3_update_log")))
{
}

LogFile::~LogFile() = default;

void LogFile::open(const QDateTime &startTime)
{
    if (!m_enabled)
        return;
    // Without a trailing separator: with one, the directory's last component would be followed even if a
    // link.
    const QString dir = QDir::toNativeSeparators(m_tempDir + QStringLiteral("/voxtrelle_update_log"));
    const QString name = fileName(startTime);
    const int fd = openLogFile(dir, name);
    QMutexLocker lock(&m_mutex);
    m_filePath = dir + QDir::separator() + name;
    if (fd < 0)
        return;
    auto file = std::make_unique<QFile>();
    if (file->open(fd, QIODevice::WriteOnly | QIODevice::Text | QIODevice::Unbuffered,
                   QFileDevice::AutoCloseHandle))
        m_file = std::move(file);
    else
        ::close(fd);
}

void LogFile::write(QtMsgType type, const QString &message, const QDateTime &time)
{
    if (!m_enabled)
        return;
    const QByteArray line = formatLine(type, time, message);
    if (line.isEmpty())
        return;
    QMutexLocker lock(&m_mutex);
    if (!m_file)
        return;
    m_file->write(line);
    m_file->flush();
}

void LogFile::close()
{
    QMutexLocker lock(&m_mutex);
    if (!m_file)
        return;
    m_file->flush();
    m_file->close();
    m_file.reset();
}

QString LogFile::fileName(const QDateTime &startTime)
{
    QString stamp = startTime.toString(Qt::ISODate);
    stamp.replace(QLatin1Char(':'), QLatin1Char('_'));
    stamp.replace(QLatin1Char('T'), QStringLiteral("__"));
    return QStringLiteral("update__") + stamp + QStringLiteral(".log");
}

QByteArray LogFile::formatLine(QtMsgType type, const QDateTime &time, const QString &message)
{
    const char *separator = levelSeparator(type);
    if (!separator)
        return QByteArray();
    return QLocale::c().toString(time, QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz")).toLatin1() + separator +
           message.toLocal8Bit() + '\n';
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    LogFile *log = LogFile::instance();
    if (!log->isEnabled())
        return;
    log->write(type, message);
    if (type == QtFatalMsg)
        std::abort();
}
