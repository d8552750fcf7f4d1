#include "shell/logfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QDateTime StartTime(QDate(2016, 3, 1), QTime(14, 5, 9));
const QString LogName = QStringLiteral("update__2016-03-01__14_05_09.log");

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestLogFile : public QObject
{
    Q_OBJECT

private slots:
    void formatsLines_data();
    void formatsLines();
    void namesFileAfterStartTime_data();
    void namesFileAfterStartTime();
    void markerSwitchesLoggingOn_data();
    void markerSwitchesLoggingOn();
    void refusesUnsafeLogLocations_data();
    void refusesUnsafeLogLocations();
    void secondLogOfSameSecondTruncates();
    void keepsLinesOfThreadsWhole();
    void handlerWritesWhatTheProcessLogs_data();
    void handlerWritesWhatTheProcessLogs();
};

void TestLogFile::formatsLines_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("line");

    const QDateTime t(QDate(2016, 3, 1), QTime(9, 3, 7, 45));
    QTest::newRow("debug") << int(QtDebugMsg) << t << "x"
                           << QByteArray("2016-03-01 09:03:07:045\t|\tDebug\t|\tx\n");
    QTest::newRow("info") << int(QtInfoMsg) << t << "x"
                          << QByteArray("2016-03-01 09:03:07:045\t|\tInfo\t|\tx\n");
    QTest::newRow("warning") << int(QtWarningMsg) << t << "x"
                             << QByteArray("2016-03-01 09:03:07:045\t|\tWarning\t|\tx\n");
    QTest::newRow("critical") << int(QtCriticalMsg) << t << "x"
                              << QByteArray("2016-03-01 09:03:07:045\t|\tCritical\t|\tx\n");
    QTest::newRow("fatal") << int(QtFatalMsg) << t << "x"
                           << QByteArray("2016-03-01 09:03:07:045\t|\tFatal\t|\tx\n");
    QTest::newRow("afternoon, multi-line text kept")
        << int(QtDebugMsg) << QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59, 999)) << "a\nb"
        << QByteArray("1999-12-31 23:59:59:999\t|\tDebug\t|\ta\nb\n");
    QTest::newRow("unknown type writes nothing") << 42 << t << "x" << QByteArray();
}

void TestLogFile::formatsLines()
{
    QFETCH(int, type);
    QFETCH(QDateTime, time);
    QFETCH(QString, message);
    QFETCH(QByteArray, line);
    QCOMPARE(LogFile::formatLine(QtMsgType(type), time, message), line);
}

void TestLogFile::namesFileAfterStartTime_data()
{
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QString>("name");
    QTest::newRow("morning") << StartTime << LogName;
    QTest::newRow("evening") << QDateTime(QDate(2021, 11, 30), QTime(23, 0, 1, 999))
                             << "update__2021-11-30__23_00_01.log";
}

void TestLogFile::namesFileAfterStartTime()
{
    QFETCH(QDateTime, start);
    QFETCH(QString, name);
    QCOMPARE(LogFile::fileName(start), name);
}

void TestLogFile::markerSwitchesLoggingOn_data()
{
    QTest::addColumn<QString>("marker"); // none, file, dir, dangling
    QTest::addColumn<bool>("enabled");
    QTest::newRow("no marker") << "none" << false;
    QTest::newRow("marker file") << "file" << true;
    QTest::newRow("marker directory") << "dir" << true;
    QTest::newRow("dangling marker link") << "dangling" << false;
}

void TestLogFile::markerSwitchesLoggingOn()
{
    QFETCH(QString, marker);
    QFETCH(bool, enabled);
    QTemporaryDir temp;
    const QString markerPath = temp.filePath("vx3_update_log");
    if (marker == "file")
        QVERIFY(QFile(markerPath).open(QIODevice::WriteOnly));
    else if (marker == "dir")
        QVERIFY(QDir().mkdir(markerPath));
    else if (marker == "dangling")
        QVERIFY(QFile::link(temp.filePath("nowhere"), markerPath));

    LogFile log(temp.path());
    QCOMPARE(log.isEnabled(), enabled);
    log.open(StartTime);
    const QDateTime t(QDate(2016, 3, 1), QTime(14, 5, 9, 120));
    log.write(QtDebugMsg, "first", t);
    log.write(QtWarningMsg, "second", t);

    const QString dir = temp.filePath("voxtrelle_update_log");
    QCOMPARE(QFileInfo::exists(dir), enabled);
    QCOMPARE(log.hasFile(), enabled);
    if (!enabled)
        return;
    QCOMPARE(log.filePath(), dir + "/" + LogName);
    // Written and flushed line by line, before any close.
    QCOMPARE(readAll(dir + "/" + LogName), QByteArray("2016-03-01 14:05:09:120\t|\tDebug\t|\tfirst\n"
                                                      "2016-03-01 14:05:09:120\t|\tWarning\t|\tsecond\n"));
    QCOMPARE(QFileInfo(dir).permissions() & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());
    log.close();
    log.write(QtDebugMsg, "after close", t);
    QVERIFY(!readAll(dir + "/" + LogName).contains("after close"));
}

void TestLogFile::refusesUnsafeLogLocations_data()
{
    QTest::addColumn<QString>("setup");
    QTest::newRow("log directory is a link") << "dirlink";
    QTest::newRow("log file is a link") << "filelink";
    QTest::newRow("log directory of another user") << "foreign";
    QTest::newRow("log directory is a file") << "dirfile";
    QTest::newRow("log file is a fifo") << "fifo";
}

void TestLogFile::refusesUnsafeLogLocations()
{
    QFETCH(QString, setup);
    QTemporaryDir temp;
    QVERIFY(QFile(temp.filePath("vx3_update_log")).open(QIODevice::WriteOnly));
    const QString dir = temp.filePath("voxtrelle_update_log");
    const QString elsewhere = temp.filePath("elsewhere");
    QVERIFY(QDir().mkdir(elsewhere));
    const QString victim = elsewhere + "/victim";
    {
        QFile f(victim);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep");
    }

    if (setup == "dirlink") {
        QVERIFY(QFile::link(elsewhere, dir));
    } else if (setup == "filelink") {
        QVERIFY(QDir().mkdir(dir));
        QVERIFY(QFile::link(victim, dir + "/" + LogName));
    } else if (setup == "foreign") {
        if (::geteuid() != 0)
            QSKIP("needs root to hand a directory to another user");
        QVERIFY(QDir().mkdir(dir));
        QCOMPARE(::chown(QFile::encodeName(dir).constData(), 65534, 65534), 0);
    } else if (setup == "dirfile") {
        QVERIFY(QFile(dir).open(QIODevice::WriteOnly));
    } else if (setup == "fifo") {
        QVERIFY(QDir().mkdir(dir));
        QCOMPARE(::mkfifo(QFile::encodeName(dir + "/" + LogName).constData(), 0600), 0);
    }

    LogFile log(temp.path());
    QVERIFY(log.isEnabled());
    log.open(StartTime);
    log.write(QtDebugMsg, "secret");
    QVERIFY(!log.hasFile());
    QCOMPARE(readAll(victim), QByteArray("keep"));
    QCOMPARE(QDir(elsewhere).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"victim"});
    if (setup == "foreign")
        QVERIFY(!QFileInfo::exists(dir + "/" + LogName));
}

void TestLogFile::secondLogOfSameSecondTruncates()
{
    QTemporaryDir temp;
    QVERIFY(QFile(temp.filePath("vx3_update_log")).open(QIODevice::WriteOnly));
    LogFile first(temp.path());
    first.open(StartTime);
    first.write(QtDebugMsg, "from the first process with a longer line");
    first.close();
    LogFile second(temp.path());
    second.open(StartTime);
    second.write(QtDebugMsg, "second", StartTime);
    QCOMPARE(readAll(temp.filePath("voxtrelle_update_log/") + LogName),
             QByteArray("2016-03-01 14:05:09:000\t|\tDebug\t|\tsecond\n"));
}

void TestLogFile::keepsLinesOfThreadsWhole()
{
    QTemporaryDir temp;
    QVERIFY(QFile(temp.filePath("vx3_update_log")).open(QIODevice::WriteOnly));
    LogFile log(temp.path());
    log.open(StartTime);

    const int threads = 4;
    const int lines = 400;
    QList<QThread *> workers;
    for (int t = 0; t < threads; ++t) {
        workers.append(QThread::create([&log, t] {
            for (int i = 0; i < lines; ++i)
                log.write(QtDebugMsg,
                          QStringLiteral("thread %1 line %2 ").arg(t).arg(i) + QString(200, QChar('a' + t)));
        }));
        workers.last()->start();
    }
    for (QThread *w : workers) {
        QVERIFY(w->wait(60000));
        delete w;
    }

    const QList<QByteArray> written = readAll(log.filePath()).split('\n');
    QCOMPARE(written.size(), threads * lines + 1);
    const QRegularExpression whole(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\t\\|\tDebug\t\\|\tthread (\\d) line \\d+ "
        "([a-d])\\2{199}$");
    QVector<int> perThread(threads);
    for (int i = 0; i < written.size() - 1; ++i) {
        const auto match = whole.match(QString::fromLatin1(written[i]));
        QVERIFY2(match.hasMatch(), written[i].constData());
        QCOMPARE(match.captured(2).at(0).toLatin1() - 'a', match.captured(1).toInt());
        ++perThread[match.captured(1).toInt()];
    }
    QCOMPARE(perThread, QVector<int>(threads, lines));
}

void TestLogFile::handlerWritesWhatTheProcessLogs_data()
{
    QTest::addColumn<bool>("marker");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("expected"); // level and text of each line
    QTest::addColumn<bool>("crashes");

    const QStringList levels = {"d:one", "i:two", "w:three", "c:four"};
    QTest::newRow("every level") << true << levels
                                 << QStringList{"Debug\t|\tone", "Info\t|\ttwo", "Warning\t|\tthree",
                                                "Critical\t|\tfour"}
                                 << false;
    QTest::newRow("no marker, no output at all") << false << levels << QStringList() << false;
    QTest::newRow("fatal aborts after its line") << true << QStringList{"d:before", "f:boom", "d:after"}
                                                 << QStringList{"Debug\t|\tbefore", "Fatal\t|\tboom"} << true;
}

void TestLogFile::handlerWritesWhatTheProcessLogs()
{
    QFETCH(bool, marker);
    QFETCH(QStringList, args);
    QFETCH(QStringList, expected);
    QFETCH(bool, crashes);

    QTemporaryDir temp;
    if (marker)
        QVERIFY(QDir().mkdir(temp.filePath("vx3_update_log")));
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", temp.path());
    probe.setProcessEnvironment(env);
    probe.start(QCoreApplication::applicationDirPath() + "/logprobe", args);
    QVERIFY(probe.waitForFinished(30000));
    QCOMPARE(probe.exitStatus() == QProcess::CrashExit, crashes);
    QCOMPARE(probe.readAllStandardError(), QByteArray());
    QCOMPARE(probe.readAllStandardOutput(), QByteArray());

    const QDir logDir(temp.filePath("voxtrelle_update_log"));
    QCOMPARE(logDir.exists(), marker);
    if (!marker)
        return;
    const QStringList files = logDir.entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY(QRegularExpression("^update__\\d{4}-\\d\\d-\\d\\d__\\d\\d_\\d\\d_\\d\\d\\.log$")
                .match(files[0])
                .hasMatch());
    QStringList lines = QString::fromLocal8Bit(readAll(logDir.filePath(files[0]))).split('\n');
    QCOMPARE(lines.takeLast(), QString());
    QCOMPARE(lines.size(), expected.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(lines[i].endsWith("\t|\t" + expected[i]), qPrintable(lines[i]));
}

QTEST_GUILESS_MAIN(TestLogFile)
#include "testlogfile.moc"
