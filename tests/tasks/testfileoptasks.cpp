#include "shell/configuration.h"
#include "tasks/dircreatetaskspecification.h"
#include "tasks/filecopytaskspecification.h"
#include "tasks/filedeletelisttaskspecification.h"
#include "tasks/filedeletetaskspecification.h"
#include "tasks/filerenametaskspecification.h"
#include "tasks/rollback.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A scratch directory with the given directories, files ("name" or
// "name=content") and symbolic links ("link->target").
class Scratch
{
public:
    Scratch(const QStringList &dirs, const QStringList &files, const QStringList &links = {})
    {
        // Something besides the test's own entries keeps empty-parent removal inside.
        write("keep");
        for (const QString &dir : dirs)
            QDir().mkpath(path(dir));
        for (const QString &file : files)
            write(file);
        for (const QString &link : links) {
            const QStringList parts = link.split("->");
            QFile::link(path(parts[1]), path(parts[0]));
        }
    }

    QString root() const { return m_dir.path(); }
    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    bool exists(const QString &relative) const { return QFileInfo(path(relative)).exists(); }
    QByteArray content(const QString &relative) const
    {
        QFile f(path(relative));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QStringList rooted(const QStringList &texts) const
    {
        return QStringList(texts).replaceInStrings("%R", root());
    }
    QStringList describe(const RollbackDataList &journal) const
    {
        QStringList out;
        for (const RollbackData &r : journal) {
            const QString kind = r.op == RollbackData::DIR_CREATE    ? "DIR_CREATE"
                                 : r.op == RollbackData::FILE_CREATE ? "FILE_CREATE"
                                                                     : "FILE_RENAME";
            out << kind + " " + relative(r.path) +
                       (r.oldPath.isEmpty() ? "" : " from " + relative(r.oldPath));
        }
        return out;
    }

private:
    void write(const QString &entry)
    {
        const int eq = entry.indexOf('=');
        const QString name = eq < 0 ? entry : entry.left(eq);
        QDir().mkpath(QFileInfo(path(name)).path());
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(eq < 0 ? name.toUtf8() : entry.mid(eq + 1).toUtf8());
    }
    QString relative(const QString &p) const { return QDir(root()).relativeFilePath(p); }

    QTemporaryDir m_dir;
};

} // namespace

class TestFileOpTasks : public QObject
{
    Q_OBJECT
private slots:
    void createsDirectories_data();
    void createsDirectories();
    void undoesCreatedDirectoriesInnermostFirst();
    void refusesSingleRelativeComponent();
    void deletes_data();
    void deletes();
    void renames_data();
    void renames();
    void copiesOnThePool_data();
    void copiesOnThePool();
    void deletesListEntriesBelowInstallDir();
    void emptyDeleteListFinishesAtOnce();
    void deleteListRunsAgainAfterReset();
};

void TestFileOpTasks::createsDirectories_data()
{
    QTest::addColumn<QStringList>("dirs");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QStringList>("messages");
    const QString longName(300, 'n');
    QTest::newRow("exists already") << QStringList{"a"} << QStringList{} << "a" << true << QStringList{}
                                    << QStringList{};
    QTest::newRow("missing parents, outermost first")
        << QStringList{"a"} << QStringList{} << "a/b/c" << true
        << QStringList{"DIR_CREATE a/b", "DIR_CREATE a/b/c"} << QStringList{};
    QTest::newRow("trailing slash") << QStringList{"a"} << QStringList{} << "a/b/" << true
                                    << QStringList{"DIR_CREATE a/b"} << QStringList{};
    QTest::newRow("path taken by a file")
        << QStringList{} << QStringList{"f"} << "f" << false << QStringList{}
        << QStringList{"Could not create dir '%R/f' because it already exists and is not a dir"};
    QTest::newRow("ancestor is a file")
        << QStringList{} << QStringList{"f"} << "f/g/h" << false << QStringList{}
        << QStringList{"Could not create dir '%R/f' because it already exists and is not a dir"};
    QTest::newRow("ancestor cannot be created")
        << QStringList{"a"} << QStringList{} << "a/" + longName + "/x" << false << QStringList{}
        << QStringList{"unable to create dir %R/a/" + longName};
    QTest::newRow("created before a later level fails")
        << QStringList{"a"} << QStringList{} << "a/b/" + longName << false << QStringList{"DIR_CREATE a/b"}
        << QStringList{"unable to create dir %R/a/b/" + longName};
}

void TestFileOpTasks::createsDirectories()
{
    QFETCH(QStringList, dirs);
    QFETCH(QStringList, files);
    QFETCH(QString, target);
    QFETCH(bool, ok);
    QFETCH(QStringList, records);
    QFETCH(QStringList, messages);
    Scratch scratch(dirs, files);
    RollbackDataList journal;
    DirCreateTaskSpecification task(scratch.path(target), &journal, nullptr, 1.0);
    QStringList seen;
    connect(&task, &TaskSpecification::message, [&seen](const QString &m) { seen << m; });
    task.execute();
    QCOMPARE(task.state(), ok ? TaskSpecification::TASK_FINISHED : TaskSpecification::TASK_FAILED);
    QCOMPARE(scratch.describe(journal), records);
    QCOMPARE(seen, scratch.rooted(messages));
    if (ok)
        QVERIFY(QFileInfo(scratch.path(target)).isDir());
}

void TestFileOpTasks::undoesCreatedDirectoriesInnermostFirst()
{
    Scratch scratch({"a"}, {});
    RollbackDataList journal;
    DirCreateTaskSpecification task(scratch.path("a/b/c"), &journal, nullptr, 1.0);
    task.execute();
    QCOMPARE(journal.count(), 2);
    QVERIFY(journal.rollback(&task));
    QVERIFY(journal.isEmpty());
    QVERIFY(scratch.exists("a"));
    QVERIFY(!scratch.exists("a/b"));
}

void TestFileOpTasks::refusesSingleRelativeComponent()
{
    const QString name = "vx_no_such_dir_" + QString::number(QCoreApplication::applicationPid());
    QVERIFY(!QFileInfo::exists(name));
    RollbackDataList journal;
    DirCreateTaskSpecification task(name, &journal, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(task.state(), TaskSpecification::TASK_FAILED);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), "Could not create dir " + name);
    QVERIFY(!QFileInfo::exists(name));
    QVERIFY(journal.isEmpty());
}

void TestFileOpTasks::deletes_data()
{
    QTest::addColumn<QStringList>("dirs");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("failOnError");
    QTest::addColumn<bool>("recursive");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("remaining");
    QTest::addColumn<QStringList>("gone");
    const QStringList none;
    QTest::newRow("missing file, tolerant")
        << none << none << none << "nope" << false << false << true << none << none << QStringList{"nope"};
    QTest::newRow("missing file, strict") << none << none << none << "nope" << true << false << false
                                          << QStringList{"Could not delete '%R/nope'"} << none << none;
    QTest::newRow("file") << none << QStringList{"f"} << none << "f" << true << false << true
                          << QStringList{"Deleted file '%R/f'"} << none << QStringList{"f"};
    QTest::newRow("empty directory and its emptied parents")
        << QStringList{"p/e", "q"} << none << none << "p/e" << true << false << true
        << QStringList{"Deleted directory '%R/p/e'"} << QStringList{"q"} << QStringList{"p/e", "p"};
    QTest::newRow("full directory, tolerant") << QStringList{"d"} << QStringList{"d/x"} << none << "d"
                                              << false << false << true << none << QStringList{"d/x"} << none;
    QTest::newRow("full directory, strict")
        << QStringList{"d"} << QStringList{"d/x"} << none << "d" << true << false << false
        << QStringList{"Could not delete '%R/d'"} << QStringList{"d/x"} << none;
    QTest::newRow("full directory, recursive")
        << QStringList{"d/sub"} << QStringList{"d/x", "d/sub/y"} << none << "d" << true << true << true
        << QStringList{"Recursively deleted directory '%R/d'"} << none << QStringList{"d"};
    QTest::newRow("link to a directory is removed, not followed")
        << QStringList{"outside"} << QStringList{"outside/x"} << QStringList{"link->outside"} << "link"
        << true << true << true << QStringList{"Deleted file '%R/link'"} << QStringList{"outside/x"}
        << QStringList{"link"};
}

void TestFileOpTasks::deletes()
{
    QFETCH(QStringList, dirs);
    QFETCH(QStringList, files);
    QFETCH(QStringList, links);
    QFETCH(QString, target);
    QFETCH(bool, failOnError);
    QFETCH(bool, recursive);
    QFETCH(bool, ok);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, remaining);
    QFETCH(QStringList, gone);
    Scratch scratch(dirs, files, links);
    FileDeleteTaskSpecification task(failOnError, scratch.path(target), recursive, nullptr, 1.0);
    QStringList seen;
    connect(&task, &TaskSpecification::message, [&seen](const QString &m) { seen << m; });
    task.execute();
    QCOMPARE(task.state(), ok ? TaskSpecification::TASK_FINISHED : TaskSpecification::TASK_FAILED);
    QCOMPARE(seen, scratch.rooted(messages));
    for (const QString &name : remaining + QStringList{"keep"})
        QVERIFY2(scratch.exists(name), qPrintable(name));
    for (const QString &name : gone)
        QVERIFY2(!QFileInfo(scratch.path(name)).isSymLink() && !scratch.exists(name), qPrintable(name));
}

void TestFileOpTasks::renames_data()
{
    QTest::addColumn<QStringList>("dirs");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("into an existing directory")
        << QStringList{"d"} << QStringList{"a"} << "a"
        << "d/a" << true << QStringList{"FILE_RENAME d/a from a"} << QStringList{};
    QTest::newRow("into a missing directory")
        << QStringList{} << QStringList{"a"} << "a"
        << "n/a" << true << QStringList{"DIR_CREATE n", "FILE_RENAME n/a from a"} << QStringList{};
    QTest::newRow("onto an existing file")
        << QStringList{} << QStringList{"a", "b"} << "a"
        << "b" << false << QStringList{} << QStringList{"Could not rename '%R/a' to '%R/b'"};
    QTest::newRow("missing source into a missing directory")
        << QStringList{} << QStringList{} << "a"
        << "n/a" << false << QStringList{} << QStringList{"Could not rename '%R/a' to '%R/n/a'"};
}

void TestFileOpTasks::renames()
{
    QFETCH(QStringList, dirs);
    QFETCH(QStringList, files);
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(bool, ok);
    QFETCH(QStringList, records);
    QFETCH(QStringList, messages);
    Scratch scratch(dirs, files);
    const QByteArray fromContent = scratch.content(from);
    RollbackDataList journal;
    FileRenameTaskSpecification task(scratch.path(from), scratch.path(to), &journal, nullptr, 1.0);
    QStringList seen;
    connect(&task, &TaskSpecification::message, [&seen](const QString &m) { seen << m; });
    task.execute();
    QCOMPARE(task.state(), ok ? TaskSpecification::TASK_FINISHED : TaskSpecification::TASK_FAILED);
    QCOMPARE(scratch.describe(journal), records);
    QCOMPARE(seen, scratch.rooted(messages));
    const QString toDir = QFileInfo(to).path();
    if (ok)
        QCOMPARE(scratch.content(to), fromContent);
    else if (toDir != ".")
        QCOMPARE(scratch.exists(toDir), dirs.contains(toDir));

    // Playing the journal back restores the state before the rename.
    QVERIFY(journal.rollback(&task));
    QVERIFY(journal.isEmpty());
    QCOMPARE(scratch.content(from), fromContent);
    if (ok)
        QVERIFY(!scratch.exists(to));
    if (toDir != ".")
        QCOMPARE(scratch.exists(toDir), dirs.contains(toDir));
}

void TestFileOpTasks::copiesOnThePool_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("new destination") << QStringList{"src=new content"} << true
                                     << QStringList{"FILE_CREATE dst"} << QStringList{};
    QTest::newRow("existing destination is kept")
        << QStringList{"src=new content", "dst=old content"} << false << QStringList{}
        << QStringList{"Could not copy '%R/src' to '%R/dst'"};
    QTest::newRow("missing source") << QStringList{} << false << QStringList{}
                                    << QStringList{"Could not copy '%R/src' to '%R/dst'"};
}

void TestFileOpTasks::copiesOnThePool()
{
    QFETCH(QStringList, files);
    QFETCH(bool, ok);
    QFETCH(QStringList, records);
    QFETCH(QStringList, messages);
    Scratch scratch({}, files);
    const QByteArray dstBefore = scratch.content("dst");
    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, scratch.path("src"), scratch.path("dst"), nullptr, 1.0);
    QStringList seen;
    connect(&task, &TaskSpecification::message, [&seen](const QString &m) { seen << m; });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(task.state(), ok ? TaskSpecification::TASK_FINISHED : TaskSpecification::TASK_FAILED);
    QCOMPARE(scratch.describe(journal), records);
    QCOMPARE(seen, scratch.rooted(messages));
    QCOMPARE(scratch.content("dst"), ok ? QByteArray("new content") : dstBefore);
}

void TestFileOpTasks::deletesListEntriesBelowInstallDir()
{
    Scratch scratch({"install/dir/sub", "install/full"},
                    {"install/gone.txt", "install/dir/sub/x", "install/full/y"});
    Configuration config;
    QVERIFY(config.initalizeStart(scratch.root(), scratch.path("install")));
    QList<DeleteEntry> entries;
    FileDeleteListTaskSpecification list(&entries, &config, nullptr, 0.05);
    // The list is read when the stage runs, after an earlier stage filled it.
    entries << DeleteEntry{"gone.txt", false} << DeleteEntry{"missing.txt", false} << DeleteEntry{"dir", true}
            << DeleteEntry{"full", false};
    QStringList seen;
    connect(&list, &TaskSpecification::message, [&seen](const QString &m) { seen << m; });
    QSignalSpy progress(&list, &TaskSpecification::updateProgress);
    list.execute();
    QCOMPARE(list.subTasks().size(), 4);
    for (TaskSpecification *task : list.subTasks())
        QCOMPARE(task->weight(), 0.25);
    QTRY_COMPARE(list.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(seen, scratch.rooted({"Starting deleting files", "Deleted file '%R/install/gone.txt'",
                                   "Recursively deleted directory '%R/install/dir'"}));
    QVERIFY(!scratch.exists("install/gone.txt"));
    QVERIFY(!scratch.exists("install/dir"));
    QVERIFY(scratch.exists("install/full/y"));
    QCOMPARE(progress.last().at(0).toReal(), 0.05);
}

void TestFileOpTasks::emptyDeleteListFinishesAtOnce()
{
    Configuration config;
    QList<DeleteEntry> entries;
    FileDeleteListTaskSpecification list(&entries, &config, nullptr, 0.05);
    QSignalSpy finished(&list, &TaskSpecification::finished);
    list.execute();
    QCOMPARE(finished.count(), 1);
}

void TestFileOpTasks::deleteListRunsAgainAfterReset()
{
    Scratch scratch({"install"}, {"install/a", "install/b"});
    Configuration config;
    QVERIFY(config.initalizeStart(scratch.root(), scratch.path("install")));
    QList<DeleteEntry> entries{DeleteEntry{"a", false}};
    FileDeleteListTaskSpecification list(&entries, &config, nullptr, 1.0);
    list.execute();
    QTRY_COMPARE(list.state(), TaskSpecification::TASK_FINISHED);
    QPointer<TaskSpecification> firstRun = list.subTasks().first();

    list.reset();
    QCOMPARE(list.state(), TaskSpecification::TASK_IDLE);
    entries = {DeleteEntry{"b", false}};
    list.execute();
    QTRY_COMPARE(list.state(), TaskSpecification::TASK_FINISHED);
    QCOMPARE(list.subTasks().size(), 1);
    QVERIFY(!scratch.exists("install/b"));
    QTRY_VERIFY(firstRun.isNull());
}

QTEST_GUILESS_MAIN(TestFileOpTasks)
#include "testfileoptasks.moc"
