#ifndef VX_TESTS_TOOLS_VXPATCHPROCESS_H
#define VX_TESTS_TOOLS_VXPATCHPROCESS_H

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

// Runs the vxpatch executable the way a maker does, and the files around it.
namespace vxpatchprocess {

struct Result
{
    int exitCode = -1; // stays -1 when the tool hung or crashed
    QByteArray out;
    QByteArray err;
};

inline Result runTool(const QStringList &arguments, const QString &workingDirectory = QString())
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(VXPATCH_BINARY), arguments);
    Result result;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace vxpatchprocess

#endif
