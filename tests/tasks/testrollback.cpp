#include "tasks/rollback.h"
#include "testtasks.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const char *const DeathCaseVar = "VX_ROLLBACK_DEATH_CASE";

// Runs in a child process: each case is a programming error that must end the process.
int runDeathCase(const QByteArray &name)
{
    if (name == "rename-with-one-path")
        RollbackData(RollbackData::FILE_RENAME, "/x");
    else if (name == "create-with-two-paths")
        RollbackData(RollbackData::FILE_CREATE, "/x", "/y");
    else if (name == "unknown-op")
        RollbackData(static_cast<RollbackData::Op>(7), "/x").rollback(nullptr);
    return 0;
}
} // namespace

class TestRollback : public QObject
{
    Q_OBJECT
private slots:
    void emptyPlaybackSucceedsSilently();
    void undoesNewestFirst();
    void goesOnAfterFailedRecord();
    void warnsInPlaybackOrder();
    void failsSilentlyWithoutReceiver();
    void logsWhenReceiverHasNoMessage();
    void concatenatesKeepingOrder();
    void programmingErrorsEndTheProcess_data();
    void programmingErrorsEndTheProcess();
};

void TestRollback::emptyPlaybackSucceedsSilently()
{
    TaskLog log;
    ScriptedTask receiver("r", ScriptedTask::EndsWhenTold, &log, nullptr);
    QSignalSpy messages(&receiver, &TaskSpecification::message);
    RollbackDataList journal;
    QVERIFY(journal.rollback(&receiver));
    QCOMPARE(messages.count(), 0);
}

void TestRollback::undoesNewestFirst()
{
    // A: directory d created; B: file d/f written; C: x renamed to y.
    QTemporaryDir tmp;
    const QString d = tmp.filePath("d");
    QVERIFY(QDir().mkdir(d));
    QFile f(d + "/f");
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QFile y(tmp.filePath("y"));
    QVERIFY(y.open(QIODevice::WriteOnly));
    y.close();
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::DIR_CREATE, d));
    journal.append(RollbackData(RollbackData::FILE_CREATE, d + "/f"));
    journal.append(RollbackData(RollbackData::FILE_RENAME, tmp.filePath("x"), tmp.filePath("y")));
    TaskLog log;
    ScriptedTask receiver("r", ScriptedTask::EndsWhenTold, &log, nullptr);
    QSignalSpy messages(&receiver, &TaskSpecification::message);
    QVERIFY(journal.rollback(&receiver));
    QVERIFY(journal.isEmpty());
    QCOMPARE(messages.count(), 0);
    QVERIFY(!QFileInfo::exists(d));
    QVERIFY(QFileInfo::exists(tmp.filePath("x")));
    QVERIFY(!QFileInfo::exists(tmp.filePath("y")));
}

void TestRollback::goesOnAfterFailedRecord()
{
    // d/f is a non-empty directory now, so neither it nor d can be removed.
    QTemporaryDir tmp;
    const QString d = tmp.filePath("d");
    QVERIFY(QDir().mkpath(d + "/f/inner"));
    const QString other = tmp.filePath("other");
    QFile o(other);
    QVERIFY(o.open(QIODevice::WriteOnly));
    o.close();
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_CREATE, other));
    journal.append(RollbackData(RollbackData::DIR_CREATE, d));
    journal.append(RollbackData(RollbackData::FILE_CREATE, d + "/f"));
    TaskLog log;
    ScriptedTask receiver("r", ScriptedTask::EndsWhenTold, &log, nullptr);
    QStringList seen;
    connect(&receiver, &TaskSpecification::message, [&seen](const QString &m) { seen << m; });
    QVERIFY(!journal.rollback(&receiver));
    QVERIFY(journal.isEmpty());
    QCOMPARE(seen, QStringList({"warning: rollback create file " + d + "/f failed",
                                "warning: rollback create dir " + d + " failed"}));
    QVERIFY(!QFileInfo::exists(other));
}

void TestRollback::warnsInPlaybackOrder()
{
    // Nothing of what the records describe exists, so each one fails and says so.
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::DIR_CREATE, "/nonexistent-vx/d"));
    journal.append(RollbackData(RollbackData::FILE_CREATE, "/nonexistent-vx/d/f"));
    journal.append(RollbackData(RollbackData::FILE_RENAME, "/nonexistent-vx/x", "/nonexistent-vx/y"));
    TaskLog log;
    ScriptedTask receiver("r", ScriptedTask::EndsWhenTold, &log, nullptr);
    QStringList seen;
    connect(&receiver, &TaskSpecification::message, [&seen](const QString &m) { seen << m; });
    QVERIFY(!journal.rollback(&receiver));
    QCOMPARE(seen, QStringList({"warning: rollback rename /nonexistent-vx/x to /nonexistent-vx/y failed",
                                "warning: rollback create file /nonexistent-vx/d/f failed",
                                "warning: rollback create dir /nonexistent-vx/d failed"}));
}

void TestRollback::failsSilentlyWithoutReceiver()
{
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_CREATE, "/nonexistent-vx/f"));
    QVERIFY(!journal.rollback(nullptr));
    QVERIFY(journal.isEmpty());
}

void TestRollback::logsWhenReceiverHasNoMessage()
{
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_CREATE, "/nonexistent-vx/f"));
    journal.append(RollbackData(RollbackData::FILE_CREATE, "/nonexistent-vx/g"));
    QObject plain;
    QTest::ignoreMessage(QtDebugMsg, "Warning: message signal was not found in RollbackData::message");
    QTest::ignoreMessage(QtDebugMsg, "Warning: message signal was not found in RollbackData::message");
    QVERIFY(!journal.rollback(&plain));
    QVERIFY(journal.isEmpty());
}

void TestRollback::concatenatesKeepingOrder()
{
    RollbackDataList parent;
    parent.append(RollbackData(RollbackData::DIR_CREATE, "/a"));
    RollbackDataList child;
    child.append(RollbackData(RollbackData::FILE_CREATE, "/a/1"));
    child.append(RollbackData(RollbackData::FILE_RENAME, "/a/2", "/a/3"));
    parent.append(child);
    QCOMPARE(parent.count(), 3);
    QCOMPARE(parent[1].path, QString("/a/1"));
    QCOMPARE(parent[2].path, QString("/a/3"));
    QCOMPARE(parent[2].oldPath, QString("/a/2"));
}

void TestRollback::programmingErrorsEndTheProcess_data()
{
    QTest::addColumn<QString>("deathCase");
    QTest::addColumn<QString>("text");
    QTest::newRow("rename with one path") << "rename-with-one-path"
                                          << "op!=FILE_RENAME";
    QTest::newRow("create with two paths") << "create-with-two-paths"
                                           << "op==FILE_RENAME";
    QTest::newRow("unknown operation") << "unknown-op"
                                       << "Should not reach here";
}

void TestRollback::programmingErrorsEndTheProcess()
{
    QFETCH(QString, deathCase);
    QFETCH(QString, text);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(DeathCaseVar, deathCase);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QVERIFY2(child.readAllStandardError().contains(text.toUtf8()), qPrintable(text));
}

int main(int argc, char **argv)
{
    const QByteArray deathCase = qgetenv(DeathCaseVar);
    if (!deathCase.isEmpty())
        return runDeathCase(deathCase);
    QCoreApplication app(argc, argv);
    TestRollback test;
    return QTest::qExec(&test, argc, argv);
}

#include "testrollback.moc"
