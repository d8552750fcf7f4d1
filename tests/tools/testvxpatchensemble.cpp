// The ensemble patch commands of the vxpatch executable: mkpatch and apply.

#include "../disasm/elffixture.h"
#include "vxpatchprocess.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace elffixture;
using namespace vxpatchprocess;

namespace {

QByteArray x86Image(int functions)
{
    const uint32_t text = sectionAddress(1);
    QByteArray code;
    for (int i = 0; i < functions; ++i) {
        const uint32_t at = text + uint32_t(code.size());
        code += call(at, text + uint32_t(((i * 5) % functions) * 10));
        code += QByteArray(4 + i % 3, char(0x90)) + QByteArray(1, char(0xC3));
    }
    return elf32(3, {Section{SHT_PROGBITS, code}});
}

} // namespace

class TestVxpatchEnsemble : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void makesAndAppliesPatches();
    void exitsWithThePatchStatus_data();
    void exitsWithThePatchStatus();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestVxpatchEnsemble::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestVxpatchEnsemble::makesAndAppliesPatches()
{
    const QByteArray old = QByteArray("header ") + x86Image(40);
    const QByteArray added = QByteArray("header, longer ") + x86Image(43);
    QVERIFY(writeFile(path("old"), old));
    QVERIFY(writeFile(path("new"), added));

    const Result made = runTool({"mkpatch", path("old"), path("new"), path("patch")});
    QCOMPARE(made.exitCode, 0);
    QVERIFY2(made.out.contains("1 paired"), made.out.constData());
    QVERIFY(made.out.contains("EXE_ELF_32_X86 old 7+"));

    const Result applied = runTool({"apply", path("old"), path("patch"), path("result")});
    QCOMPARE(applied.exitCode, 0);
    QCOMPARE(readFile(path("result")), added);
}

void TestVxpatchEnsemble::exitsWithThePatchStatus_data()
{
    QTest::addColumn<QByteArray>("old");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("not a patch") << QByteArray("old") << QByteArray(1, '\x01') << 5
                                 << QByteArray("kNotAPatch (5)");
    QTest::newRow("wrong version") << QByteArray("old") << QByteArray("\xC3\xDE\xD5\x03\x87\xB7\xCB\x09", 8)
                                   << 6 << QByteArray("kWrongVersion (6)");
    QTest::newRow("empty old file") << QByteArray()
                                    << QByteArray("\xC3\xDE\xD5\x03\x88\xB7\xCB\x09\0\0\0", 11) << 4
                                    << QByteArray("kFileIoError (4)");
    QTest::newRow("missing patch") << QByteArray("old") << QByteArray() << 3
                                   << QByteArray("kPatchUnreadable (3)");
}

void TestVxpatchEnsemble::exitsWithThePatchStatus()
{
    QFETCH(QByteArray, old);
    QFETCH(QByteArray, patch);
    QFETCH(int, status);
    QFETCH(QByteArray, message);

    QVERIFY(writeFile(path("old"), old));
    if (!patch.isEmpty())
        QVERIFY(writeFile(path("patch"), patch));
    const Result applied = runTool({"apply", path("old"), path("patch"), path("result")});
    QCOMPARE(applied.exitCode, status);
    QVERIFY2(applied.err.contains(message), applied.err.constData());
    QVERIFY(!QFile::exists(path("result")));
}

QTEST_GUILESS_MAIN(TestVxpatchEnsemble)
#include "testvxpatchensemble.moc"
