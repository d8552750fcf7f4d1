// Runs the vxpatch executable the way a maker does.

#include "vxpatchprocess.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace vxpatchprocess;

namespace {

// Compressible and not: text lines with random words and a stretch of random bytes.
QByteArray sampleData(quint32 seed, int size)
{
    QRandomGenerator rng(seed);
    QByteArray bytes;
    while (bytes.size() < size) {
        if (rng.bounded(8) == 0) {
            for (int i = 0; i < 64; ++i)
                bytes += char(rng.bounded(256));
        } else {
            bytes += "line " + QByteArray::number(rng.bounded(1000)) + " of the sample\n";
        }
    }
    bytes.truncate(size);
    return bytes;
}

} // namespace

class TestVxpatchTool : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void printsHelp();
    void rejectsBadUsage_data();
    void rejectsBadUsage();
    void failsOnUnusableInputs_data();
    void failsOnUnusableInputs();
    void packAndUnpackRoundTrip_data();
    void packAndUnpackRoundTrip();
    void diffAndApplyDiffRoundTrip_data();
    void diffAndApplyDiffRoundTrip();
    void applyDiffChecksTheHeaderChecksum();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QStringList entries() const { return QDir(m_dir->path()).entryList(QDir::Files, QDir::Name); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestVxpatchTool::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestVxpatchTool::printsHelp()
{
    const Result result = runTool({"--help"}, m_dir->path());
    QCOMPARE(result.exitCode, 0);
    for (const char *command : {"pack", "unpack", "diff", "applydiff"})
        QVERIFY2(result.out.contains(QByteArray("  ") + command + " "), command);
}

void TestVxpatchTool::rejectsBadUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("no command") << QStringList() << QByteArray("usage: vxpatch COMMAND");
    QTest::newRow("unknown command") << QStringList{"frobnicate", "a", "b"}
                                     << QByteArray("unknown command frobnicate");
    QTest::newRow("too few files") << QStringList{"diff", "old", "new"}
                                   << QByteArray("expected 3 file arguments");
    QTest::newRow("too many files") << QStringList{"unpack", "a", "b", "c"}
                                    << QByteArray("expected 2 file arguments");
    QTest::newRow("unknown option") << QStringList{"diff", "old", "new", "out", "--fast"}
                                    << QByteArray("unknown option --fast");
    QTest::newRow("option of another command")
        << QStringList{"applydiff", "old", "diff", "out", "--method", "1"}
        << QByteArray("unknown option --method");
    QTest::newRow("missing method value")
        << QStringList{"diff", "old", "new", "out", "--method"} << QByteArray("--method needs a value");
    QTest::newRow("method out of range") << QStringList{"diff", "old", "new", "out", "--method", "3"}
                                         << QByteArray("--method must be 0, 1 or 2");
    QTest::newRow("flag with a value")
        << QStringList{"diff", "old", "new", "out", "--header=1"} << QByteArray("--header takes no value");
}

// Usage errors exit 1, say what is wrong and touch no file, even when the inputs exist.
void TestVxpatchTool::rejectsBadUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, expected);
    QVERIFY(writeFile(path("old"), "old bytes"));
    QVERIFY(writeFile(path("new"), "new bytes"));

    const Result result = runTool(arguments, m_dir->path());
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(expected), result.err.constData());
    QVERIFY(result.err.contains("usage: vxpatch"));
    QCOMPARE(entries(), (QStringList{"new", "old"}));
}

void TestVxpatchTool::failsOnUnusableInputs_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("unpack missing file")
        << QStringList{"unpack", "missing", "OUT"} << QByteArray("could not open lzma file");
    QTest::newRow("unpack empty file")
        << QStringList{"unpack", "empty", "OUT"} << QByteArray("could not open lzma file");
    QTest::newRow("unpack plain text") << QStringList{"unpack", "text", "OUT"} << QByteArray("not lzma file");
    QTest::newRow("unpack truncated")
        << QStringList{"unpack", "truncated", "OUT"} << QByteArray("could not decompress file");
    QTest::newRow("pack missing file")
        << QStringList{"pack", "missing", "OUT"} << QByteArray("could not open file missing");
    QTest::newRow("diff missing old")
        << QStringList{"diff", "missing", "text", "OUT"} << QByteArray("could not open file missing");
    QTest::newRow("diff missing new")
        << QStringList{"diff", "text", "missing", "OUT"} << QByteArray("could not open file missing");
    QTest::newRow("diff of a folder")
        << QStringList{"diff", "text", ".", "OUT"} << QByteArray("could not open file .");
    QTest::newRow("applydiff missing diff")
        << QStringList{"applydiff", "text", "missing", "OUT"} << QByteArray("could not open file missing");
    QTest::newRow("applydiff empty diff")
        << QStringList{"applydiff", "text", "empty", "OUT", "--header"} << QByteArray("could not apply diff");
    QTest::newRow("applydiff wrong magic")
        << QStringList{"applydiff", "text", "text", "OUT", "--header"} << QByteArray("Corrupt patch header");
    QTest::newRow("applydiff bad method")
        << QStringList{"applydiff", "text", "text", "OUT"} << QByteArray("Invalid compression method");
    QTest::newRow("output folder missing")
        << QStringList{"pack", "text", "no/such/folder/OUT"} << QByteArray("could not create output file");
}

// The patcher's message reaches standard error, the exit status is 1, and
// neither OUT nor a temporary file is left behind.
void TestVxpatchTool::failsOnUnusableInputs()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    QVERIFY(writeFile(path("empty"), QByteArray()));
    QVERIFY(writeFile(path("text"), "this is not in any of the patcher's formats\n"));
    QVERIFY(runTool({"pack", "text", "packed"}, m_dir->path()).exitCode == 0);
    QVERIFY(writeFile(path("truncated"), readFile(path("packed")).left(12)));
    QVERIFY(QFile::remove(path("packed")));
    const QStringList before = entries();

    const Result result = runTool(arguments, m_dir->path());
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(message), result.err.constData());
    QVERIFY2(result.err.contains("|ERROR"), result.err.constData());
    QCOMPARE(entries(), before);
}

void TestVxpatchTool::packAndUnpackRoundTrip_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("mixed 300 KiB") << sampleData(1, 300 * 1024);
}

void TestVxpatchTool::packAndUnpackRoundTrip()
{
    QFETCH(QByteArray, content);
    QVERIFY(writeFile(path("in"), content));
    // An existing output is replaced.
    QVERIFY(writeFile(path("out"), "stale"));

    Result result = runTool({"pack", "in", "packed"}, m_dir->path());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY(readFile(path("packed")).startsWith(QByteArray::fromHex("e9aea83f")));
    result = runTool({"unpack", "packed", "out"}, m_dir->path());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY(result.err.isEmpty());
    QVERIFY(readFile(path("out")) == content);
    QCOMPARE(entries(), (QStringList{"in", "out", "packed"}));
}

void TestVxpatchTool::diffAndApplyDiffRoundTrip_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("newBytes");
    QTest::addColumn<bool>("compressedAndSimilar");

    const QByteArray oldBytes = sampleData(2, 200 * 1024);
    QByteArray newBytes = oldBytes;
    newBytes.insert(5000, "inserted text");
    newBytes.remove(90000, 300);
    newBytes.replace(150000, 4, "ABCD");
    QTest::newRow("default method") << QStringList() << oldBytes << newBytes << true;
    QTest::newRow("method 0, header")
        << QStringList{"--method", "0", "--header"} << oldBytes << newBytes << false;
    QTest::newRow("method 1") << QStringList{"--method=1"} << oldBytes << newBytes << true;
    QTest::newRow("method 2, header")
        << QStringList{"--header", "--method", "2"} << oldBytes << newBytes << true;
    QTest::newRow("empty old") << QStringList{"--header"} << QByteArray() << newBytes << false;
    QTest::newRow("empty new") << QStringList{"--header"} << oldBytes << QByteArray() << false;
}

void TestVxpatchTool::diffAndApplyDiffRoundTrip()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, newBytes);
    QFETCH(bool, compressedAndSimilar);
    QVERIFY(writeFile(path("old"), oldBytes));
    QVERIFY(writeFile(path("new"), newBytes));

    Result result = runTool(QStringList{"diff", "old", "new", "diff"} + options, m_dir->path());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    const QByteArray diff = readFile(path("diff"));
    QCOMPARE(diff.startsWith("VXDIFF10"), options.contains("--header"));
    if (compressedAndSimilar)
        QVERIFY2(diff.size() < newBytes.size() / 10, QByteArray::number(diff.size()).constData());

    QStringList applyOptions;
    if (options.contains("--header"))
        applyOptions << "--header";
    result = runTool(QStringList{"applydiff", "old", "diff", "rebuilt"} + applyOptions, m_dir->path());
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY(readFile(path("rebuilt")) == newBytes);
}

// A diff applied to the wrong old file fails the checksum and leaves the
// existing output as it was.
void TestVxpatchTool::applyDiffChecksTheHeaderChecksum()
{
    QVERIFY(writeFile(path("old"), sampleData(3, 20000)));
    QVERIFY(writeFile(path("other"), sampleData(4, 20000)));
    QVERIFY(writeFile(path("new"), sampleData(3, 20000) + "tail"));
    QVERIFY(writeFile(path("rebuilt"), "keep me"));
    QCOMPARE(runTool({"diff", "old", "new", "diff", "--header"}, m_dir->path()).exitCode, 0);

    const Result result = runTool({"applydiff", "other", "diff", "rebuilt", "--header"}, m_dir->path());
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains("crc mismatch"), result.err.constData());
    QCOMPARE(readFile(path("rebuilt")), QByteArray("keep me"));
    QCOMPARE(entries(), (QStringList{"diff", "new", "old", "other", "rebuilt"}));
}

QTEST_GUILESS_MAIN(TestVxpatchTool)
#include "testvxpatchtool.moc"
