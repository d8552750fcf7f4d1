#pragma once

#include <QDateTime>
#include <QMutex>
#include <QString>
#include <QtGlobal>
#include <memory>

class QFile;

// The diagnostics log that support staff ask users to switch on: one file per
// process in <temp>/voxtrelle_update_log/, written only when the marker
// <temp>/vx3_update_log (file or directory) exists when the log is created.
class LogFile
{
public:
    // The log of this process, in QDir::tempPath(); created and opened on first use, never deleted.
    static LogFile *instance();

    // A log below tempDir. Whether it is enabled is decided here, once.
    explicit LogFile(const QString &tempDir);
    ~LogFile();

    bool isEnabled() const { return m_enabled; }
    // Opens (and truncates) the file named after startTime. Does nothing when
    // disabled; when the directory or file cannot be used safely the log stays
    // without a file and every line is dropped.
    void open(const QDateTime &startTime = QDateTime::currentDateTime());
    bool hasFile() const { return m_file != nullptr; }
    QString filePath() const { return m_filePath; }

    // Writes and flushes one line; safe to call from any thread.
    void write(QtMsgType type, const QString &message, const QDateTime &time = QDateTime::currentDateTime());
    // Flushes and closes the file; later lines are dropped.
    void close();

    static QString fileName(const QDateTime &startTime);
    // The complete line for a message, or an empty array for a type the log does not know.
    static QByteArray formatLine(QtMsgType type, const QDateTime &time, const QString &message);

private:
    const QString m_tempDir;
    const bool m_enabled;
    QString m_filePath;
    QMutex m_mutex; // keeps lines of different threads apart
    std::unique_ptr<QFile> m_file;
};

// Qt message handler writing into LogFile::instance(); a fatal message aborts after its line is written.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
