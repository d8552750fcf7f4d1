#include "shell/processtools.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {
QStringList s_log;

void collect(QtMsgType, const QMessageLogContext &, const QString &text)
{
    s_log << text;
}

// A program that records its working directory and arguments, one per line, in "started.txt".
void writeRecorder(const QString &path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(
        "#!/bin/sh\n"
        "{ pwd; for a in \"$@\"; do echo \"$a\"; done; } > started.tmp && mv started.tmp started.txt\n");
    file.close();
    QVERIFY(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));
}

QStringList readRecord(const QString &dir)
{
    QFile file(dir + QStringLiteral("/started.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
} // namespace

class TestProcessTools : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qInstallMessageHandler(collect); }
    void init() { s_log.clear(); }

    void startsClientScriptWithoutArguments()
    {
        QTemporaryDir dir;
        writeRecorder(dir.path() + QStringLiteral("/vx3client_runscript.sh"));
        ProcessTools::startVx3Client(dir.path());
        QTRY_VERIFY(!readRecord(dir.path()).isEmpty());
        QCOMPARE(readRecord(dir.path()), QStringList{QDir(dir.path()).canonicalPath()});
    }

    void startsNewUpdaterWithArgumentsInOrder()
    {
        QTemporaryDir dir;
        writeRecorder(dir.path() + QStringLiteral("/update"));
        const QStringList args = {"--clientupdate", "client_linux_amd64", "12", "#"};
        ProcessTools::startClientUpdater(dir.path(), args);
        QTRY_VERIFY(!readRecord(dir.path()).isEmpty());
        QCOMPARE(readRecord(dir.path()), QStringList{QDir(dir.path()).canonicalPath()} + args);
    }

    void missingUpdaterStartsNothing()
    {
        QTemporaryDir dir;
        ProcessTools::startClientUpdater(dir.path(), {"--clientupdate"});
        const QString path = dir.path() + QStringLiteral("/update");
        QVERIFY(s_log.contains(QStringLiteral("Failed to find \"%1\"").arg(path)));
        QVERIFY(!s_log.contains(QStringLiteral("starting \"%1\"").arg(path)));
    }
};

QTEST_GUILESS_MAIN(TestProcessTools)
#include "testprocesstools.moc"
