#include "logbase.h"
#include "logcapture.h"
#include "logmessage.h"

#include <QtTest>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <sys/wait.h>
#include <unistd.h>

using namespace vxpatch;
using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

namespace {

// Runs `body` in a child process; returns its exit status and what it wrote to `fd`.
QPair<int, QByteArray> runInChild(const std::function<void(int fd)> &body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {-1, QByteArray()};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        body(fds[1]);
        _exit(99); // the body was expected to end the process
    }
    close(fds[1]);
    QByteArray written;
    char buffer[64];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        written.append(buffer, int(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, written};
}

// An output that reports its flush through a pipe, for the child processes.
class PipeOutput final : public LogBase
{
public:
    explicit PipeOutput(int fd) : m_fd(fd) { Register(); }
    ~PipeOutput() override { Unregister(); }
    void Write(const std::string &, int, const std::string &, uint64_t, const std::string &,
               const std::string &) override
    {
        (void)!write(m_fd, "W", 1);
    }
    void Flush() override { (void)!write(m_fd, "F", 1); }

private:
    int m_fd;
};

} // namespace

class TestPatcherLog : public QObject
{
    Q_OBJECT

private slots:
    void formatsLines_data();
    void formatsLines();
    void dispatchesToRegisteredOutputsOnly();
    void dropsMessagesAboveTheThreshold();
    void criticalEndsTheProcess();
    void levelOutsideTheRangeEndsTheProcess();
};

void TestPatcherLog::formatsLines_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("category");
    QTest::addColumn<qulonglong>("id");
    QTest::addColumn<QString>("time");
    QTest::addColumn<QString>("line");

    QTest::newRow("debug") << "hello" << int(LOG_DEBUG) << "" << 0ull << "2015-11-20 10:11:12.5"
                           << "2015-11-20 10:11:12.500000|DEBUG   |              |   |hello";
    QTest::newRow("no fraction") << "x" << int(LOG_ERROR) << "" << 0ull << "2015-11-20 10:11:12"
                                 << "2015-11-20 10:11:12.      |ERROR   |              |   |x";
    QTest::newRow("category and id") << "m" << int(LOG_CRITICAL) << "disasm" << 42ull
                                     << "2020-01-02 03:04:05.000007"
                                     << "2020-01-02 03:04:05.000007|CRITICAL|disasm        |42 |m";
    QTest::newRow("long category and id")
        << "m" << int(LOG_DEVELOP) << "a-category-name-longer" << 123456ull << "2020-01-02 03:04:05.25"
        << "2020-01-02 03:04:05.250000|DEVELOP |a-category-name-longer|123456|m";
    const QString indent(55, ' ');
    QTest::newRow("two lines") << "first\nsecond" << int(LOG_INFO) << "" << 0ull << "2015-11-20 10:11:12.5"
                               << "2015-11-20 10:11:12.500000|INFO    |              |   |first\n" + indent +
                                      "second";
    QTest::newRow("warning") << "" << int(LOG_WARNING) << "" << 0ull << "1999-12-31 23:59:59.999999"
                             << "1999-12-31 23:59:59.999999|WARNING |              |   |";
}

void TestPatcherLog::formatsLines()
{
    QFETCH(QString, message);
    QFETCH(int, level);
    QFETCH(QString, category);
    QFETCH(qulonglong, id);
    QFETCH(QString, time);
    QFETCH(QString, line);

    const std::string formatted = FormatLogLine(message.toStdString(), level, category.toStdString(), id,
                                                time_from_string(time.toStdString()));
    QCOMPARE(QString::fromStdString(formatted), line);
}

void TestPatcherLog::dispatchesToRegisteredOutputsOnly()
{
    LogMessage("before", LOG_ERROR, "", 0);
    {
        LogCapture log;
        LogError("Error uncompressing data ", 6);
        LogDebug("TrimLabels: threshold ", 5);
        QCOMPARE(log.messages(), (QStringList{"Error uncompressing data 6", "TrimLabels: threshold 5"}));
        QCOMPARE(log.levels(), (QList<int>{LOG_ERROR, LOG_DEBUG}));
    }
    LogCapture later;
    LogError("after");
    QCOMPARE(later.messages(), QStringList{"after"});
}

void TestPatcherLog::dropsMessagesAboveTheThreshold()
{
    LogCapture log;
    QCOMPARE(LogThreshold(), int(LOG_DEVELOP));
    SetLogThreshold(LOG_ERROR);
    LogDebug("dropped");
    LogError("kept");
    SetLogThreshold(LOG_DEVELOP);
    LogDebug("kept too");
    QCOMPARE(log.messages(), (QStringList{"kept", "kept too"}));
}

void TestPatcherLog::criticalEndsTheProcess()
{
    // Without any output, and whatever the threshold.
    auto result = runInChild([](int) {
        SetLogThreshold(LOG_CRITICAL - 1);
        LogMessage("Assertion \"x\" failed", LOG_CRITICAL, "", 0);
    });
    QCOMPARE(result.first, 1);

    // Outputs get the line and are flushed, then the fatal handler runs.
    result = runInChild([](int fd) {
        PipeOutput output(fd);
        SetLogFatalHandler([fd] { (void)!write(fd, "H", 1); });
        LogCritical("Assertion \"encHandle\" failed");
    });
    QCOMPARE(result.first, 1);
    QCOMPARE(result.second, QByteArray("WFH"));
}

void TestPatcherLog::levelOutsideTheRangeEndsTheProcess()
{
    for (int level : {-1, 6}) {
        const auto result = runInChild([level](int) { LogMessage("m", level, "", 0); });
        QCOMPARE(result.first, 1);
    }
}

QTEST_APPLESS_MAIN(TestPatcherLog)
#include "testpatcherlog.moc"
