#include "mappedfile.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

using namespace vxpatch;

namespace {

// Resident KiB of the mapping that starts at `start`, from the process's own map.
qint64 residentKiB(const void *start)
{
    QFile smaps(QStringLiteral("/proc/self/smaps"));
    if (!smaps.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression header(QStringLiteral("^([0-9a-f]+)-[0-9a-f]+ "));
    bool inMapping = false;
    for (const QByteArray &line : smaps.readAll().split('\n')) {
        const QRegularExpressionMatch match = header.match(QString::fromLatin1(line));
        if (match.hasMatch())
            inMapping = match.captured(1).toULongLong(nullptr, 16) == quintptr(start);
        else if (inMapping && line.startsWith("Rss:"))
            return line.mid(4).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

class TestMappedFile : public QObject
{
    Q_OBJECT

private slots:
    void releasedPagesLeaveMemoryButStayReadable();
};

void TestMappedFile::releasedPagesLeaveMemoryButStayReadable()
{
    const qint64 page = sysconf(_SC_PAGESIZE);
    QByteArray content(int(64 * page), Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 31 + i / 4096);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath(QStringLiteral("input")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();

    MappedFile mapped;
    QVERIFY(mapped.Open(QFile::encodeName(file.fileName()).constData()));
    QCOMPARE(mapped.Size(), size_t(content.size()));
    quint64 sum = 0;
    for (size_t i = 0; i < mapped.Size(); i += size_t(page))
        sum += mapped.Data()[i];
    QVERIFY(sum > 0);
    const qint64 pageKiB = page / 1024;
    QCOMPARE(residentKiB(mapped.Data()), 64 * pageKiB);

    // Only whole pages before the position go; a partly used page stays.
    mapped.ReleaseBefore(mapped.Data() + 40 * page + 100);
    QCOMPARE(residentKiB(mapped.Data()), 24 * pageKiB);
    // A position at or behind what was released changes nothing.
    mapped.ReleaseBefore(mapped.Data() + 10 * page);
    QCOMPARE(residentKiB(mapped.Data()), 24 * pageKiB);

    mapped.ReleaseBefore(mapped.Data() + mapped.Size());
    QCOMPARE(residentKiB(mapped.Data()), qint64(0));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(mapped.Data()), int(mapped.Size())), content);
}

QTEST_APPLESS_MAIN(TestMappedFile)
#include "testmappedfile.moc"
