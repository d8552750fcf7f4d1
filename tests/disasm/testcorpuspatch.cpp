#include "encodedprogram.h"
#include "ensembleapplier.h"
#include "ensemblepatchgenerator.h"
#include "executabledetection.h"
#include "instructionprogram.h"
#include "preprocessedfile.h"
#include "preprocessedfilepacker.h"
#include "streams.h"

#include <QtTest>

// Real executables from one release to the next: every pair of the corpus
// (fetched by ../shared/corpus/fetch.sh) must patch and pack exactly.
namespace {

QString corpusDir()
{
    const QByteArray fromEnvironment = qgetenv("VX_CORPUS_DIR");
    return fromEnvironment.isEmpty() ? QStringLiteral(VX_CORPUS_DIR)
                                     : QString::fromLocal8Bit(fromEnvironment);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The sanitizer build takes the small pairs only: the large ones would run for
// most of an hour there.
bool beyondSizeLimit(const QString &path)
{
    const qint64 limit = VX_CORPUS_MAX_BYTES;
    return limit > 0 && QFileInfo(path).size() > limit;
}

const uint8_t *data(const QByteArray &bytes)
{
    return reinterpret_cast<const uint8_t *>(bytes.constData());
}

QByteArray toBytes(const vxpatch::ByteSink &sink)
{
    return QByteArray(reinterpret_cast<const char *>(sink.Data()), int(sink.Length()));
}

uint32_t directiveOf(const vxpatch::ByteSink &packed)
{
    vxpatch::ByteSource header(packed.Data(), packed.Length());
    uint32_t magic = 0, checksum = 0, directive = 0;
    header.ReadVarint32(magic);
    header.ReadVarint32(checksum);
    header.ReadVarint32(directive);
    return directive;
}

} // namespace

class TestCorpusPatch : public QObject
{
    Q_OBJECT

private slots:
    void patchesReleasePairs_data();
    void patchesReleasePairs();
    void packsReleases_data();
    void packsReleases();
    void encodesDirectlyAsStored_data();
    void encodesDirectlyAsStored();

private:
    void addPairs(bool eachFile);
};

void TestCorpusPatch::addPairs(bool eachFile)
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("oldPath");
    QTest::addColumn<QString>("newPath");

    QFile pairs(corpusDir() + "/pairs.tsv");
    if (!pairs.open(QIODevice::ReadOnly)) {
        QTest::newRow("no corpus") << QString() << QString() << QString();
        return;
    }
    pairs.readLine();
    while (!pairs.atEnd()) {
        const QStringList fields = QString::fromUtf8(pairs.readLine()).trimmed().split('\t');
        if (fields.size() < 5)
            continue;
        const QString oldPath = corpusDir() + '/' + fields[3];
        const QString newPath = corpusDir() + '/' + fields[4];
        if (eachFile) {
            QTest::newRow(qPrintable(fields[0] + " old")) << fields[1] << oldPath << oldPath;
            QTest::newRow(qPrintable(fields[0] + " new")) << fields[1] << newPath << newPath;
        } else {
            QTest::newRow(qPrintable(fields[0])) << fields[1] << oldPath << newPath;
        }
    }
}

void TestCorpusPatch::patchesReleasePairs_data()
{
    addPairs(false);
}

void TestCorpusPatch::patchesReleasePairs()
{
    QFETCH(QString, oldPath);
    QFETCH(QString, newPath);
    if (oldPath.isEmpty())
        QSKIP("no executable corpus (set VX_CORPUS_DIR)");
    if (beyondSizeLimit(newPath))
        QSKIP("larger than this build's corpus limit");
    const QByteArray old = readFile(oldPath);
    const QByteArray added = readFile(newPath);
    QVERIFY(!old.isEmpty() && !added.isEmpty());

    vxpatch::ByteSink patch;
    vxpatch::EnsemblePatchSummary summary;
    QCOMPARE(vxpatch::GenerateEnsemblePatch(data(old), size_t(old.size()), data(added), size_t(added.size()),
                                            patch, &summary),
             vxpatch::kPatchOk);
    // The executable itself must take part, not only the final diff.
    QCOMPARE(int(summary.pairs.size()), 1);
    QVERIFY(!summary.fellBack);

    vxpatch::ByteSink result;
    QCOMPARE(vxpatch::ApplyEnsemblePatchToBuffer(data(old), size_t(old.size()), patch.Data(), patch.Length(),
                                                 result),
             vxpatch::kPatchOk);
    QVERIFY(toBytes(result) == added);
}

void TestCorpusPatch::packsReleases_data()
{
    addPairs(true);
}

void TestCorpusPatch::packsReleases()
{
    QFETCH(QString, oldPath);
    if (oldPath.isEmpty())
        QSKIP("no executable corpus (set VX_CORPUS_DIR)");
    if (beyondSizeLimit(oldPath))
        QSKIP("larger than this build's corpus limit");
    const QByteArray file = readFile(oldPath);
    QVERIFY(!file.isEmpty());

    vxpatch::ByteSink packed;
    QVERIFY(vxpatch::WritePackedFile(file.constData(), size_t(file.size()), packed));
    QCOMPARE(directiveOf(packed), uint32_t(vxpatch::kDirectiveDisassembleAndDiff));
    vxpatch::ByteSink unpacked;
    QVERIFY(vxpatch::DecompressPreprocessedData(packed.Data(), packed.Length(), unpacked));
    QVERIFY(toBytes(unpacked) == file);
}

void TestCorpusPatch::encodesDirectlyAsStored_data()
{
    addPairs(true);
}

// The applier encodes old elements without holding their instruction programs;
// patches made from stored programs must still apply.
void TestCorpusPatch::encodesDirectlyAsStored()
{
    QFETCH(QString, oldPath);
    if (oldPath.isEmpty())
        QSKIP("no executable corpus (set VX_CORPUS_DIR)");
    if (beyondSizeLimit(oldPath))
        QSKIP("larger than this build's corpus limit");
    const QByteArray file = readFile(oldPath);
    QVERIFY(!file.isEmpty());

    std::unique_ptr<vxpatch::InstructionProgram> program;
    QCOMPARE(vxpatch::DisassembleElement(file.constData(), size_t(file.size()), program), vxpatch::kPatchOk);
    QVERIFY(program->TrimLabels());
    std::unique_ptr<vxpatch::EncodedProgram> stored = program->Encode();
    QVERIFY(stored);
    std::unique_ptr<vxpatch::EncodedProgram> direct;
    QCOMPARE(vxpatch::EncodeElement(file.constData(), size_t(file.size()), direct), vxpatch::kPatchOk);

    vxpatch::ByteSinkSet storedStreams;
    vxpatch::ByteSinkSet directStreams;
    QCOMPARE(stored->WriteTo(storedStreams), vxpatch::kPatchOk);
    QCOMPARE(direct->WriteTo(directStreams), vxpatch::kPatchOk);
    for (size_t i = 0; i < vxpatch::ByteSinkSet::kMaxStreams; ++i)
        QVERIFY(toBytes(directStreams.stream(i)) == toBytes(storedStreams.stream(i)));
}

QTEST_APPLESS_MAIN(TestCorpusPatch)
#include "testcorpuspatch.moc"
