#include "diffstreamgenerator.h"
#include "elffixture.h"
#include "encodedprogram.h"
#include "ensembleapplier.h"
#include "ensemblepatchgenerator.h"
#include "executabledetection.h"
#include "instructionprogram.h"
#include "labelmatcher.h"
#include "lzmaioout.h"
#include "programreferences.h"
#include "streams.h"

#include <QtTest>
#include <memory>

using namespace elffixture;

namespace {

const uint32_t kText = sectionAddress(1);

QByteArray toBytes(const vxpatch::ByteSink &sink)
{
    return QByteArray(reinterpret_cast<const char *>(sink.Data()), int(sink.Length()));
}

const uint8_t *data(const QByteArray &bytes)
{
    return reinterpret_cast<const uint8_t *>(bytes.constData());
}

QByteArray varint(uint32_t value)
{
    vxpatch::ByteSink sink;
    sink.WriteVarint32(value);
    return toBytes(sink);
}

// A plain diff stream without header that turns `from` into `to`.
QByteArray diff(const QByteArray &from, const QByteArray &to)
{
    vxpatch::ByteSink sink;
    if (!vxpatch::GenerateDiffStream(data(from), size_t(from.size()), data(to), size_t(to.size()),
                                     vxpatch::kDiffMethodPlain, false, sink))
        return QByteArray();
    return toBytes(sink);
}

// The serialized parameter set the applier predicts for n elements.
QByteArray predictedParameters(int n)
{
    vxpatch::ByteSinkSet set;
    for (int i = 0; i < n; ++i) {
        vxpatch::ByteSinkSet none;
        set.WriteSet(none);
    }
    vxpatch::ByteSink out;
    set.CopyTo(out);
    return toBytes(out);
}

QByteArray serializedSet(const QVector<QByteArray> &streams)
{
    vxpatch::ByteSinkSet set;
    for (int i = 0; i < streams.size(); ++i)
        set.stream(size_t(i)).Write(streams[i].constData(), size_t(streams[i].size()));
    vxpatch::ByteSink out;
    set.CopyTo(out);
    return toBytes(out);
}

QByteArray header(uint32_t sourceChecksum, uint32_t targetChecksum, uint32_t prediction)
{
    return varint(7696195) + varint(20110216) + varint(sourceChecksum) + varint(targetChecksum) +
           varint(prediction);
}

uint32_t checksum(const QByteArray &bytes)
{
    return vxpatch::CalculateChecksum(bytes.constData(), size_t(bytes.size()));
}

// A patch for `old` with the given body streams, claiming `target` as its result.
QByteArray craftPatch(const QByteArray &old, const QByteArray &target, const QVector<QByteArray> &body)
{
    const QByteArray bodyBytes = serializedSet(body);
    vxpatch::ByteSink compressed;
    vxpatch::WriteLzma2Block(bodyBytes.constData(), size_t(bodyBytes.size()), compressed);
    return header(checksum(old), checksum(target), uint32_t(old.size())) + toBytes(compressed);
}

QByteArray elementList(const QVector<QVector<uint32_t>> &elements)
{
    QByteArray list = varint(uint32_t(elements.size()));
    for (const QVector<uint32_t> &element : elements)
        list += varint(element[0]);
    for (const QVector<uint32_t> &element : elements)
        list += varint(element[1]) + varint(element[2]);
    return list;
}

QByteArray generate(const QByteArray &old, const QByteArray &added,
                    vxpatch::EnsemblePatchSummary *summary = nullptr)
{
    vxpatch::ByteSink patch;
    if (vxpatch::GenerateEnsemblePatch(data(old), size_t(old.size()), data(added), size_t(added.size()),
                                       patch, summary) != vxpatch::kPatchOk)
        return QByteArray();
    return toBytes(patch);
}

// x86 code: `functions` functions of different lengths, each calling the next
// two, after `prefix` bytes of filler.
QByteArray callChain(int functions, int prefix)
{
    QVector<uint32_t> starts;
    uint32_t at = kText + uint32_t(prefix);
    for (int i = 0; i < functions; ++i) {
        starts << at;
        at += 11 + uint32_t(i % 7);
    }
    QByteArray code(prefix, char(0x90));
    for (int i = 0; i < functions; ++i) {
        code += call(starts[i], starts[(i + 1) % functions]);
        code += call(starts[i] + 5, starts[(i + 2) % functions]);
        code += QByteArray(i % 7, char(0x90)) + QByteArray(1, char(0xC3));
    }
    return code;
}

QByteArray x86Image(const QByteArray &code)
{
    return elf32(3, {Section{SHT_PROGBITS, code}});
}

// A file that no disassembler accepts.
QByteArray noise(int size, int seed)
{
    QByteArray bytes(size, '\0');
    uint32_t state = uint32_t(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

} // namespace

class TestEnsemblePatch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void appliesGeneratedPatches_data();
    void appliesGeneratedPatches();
    void findsAnExecutableInsideAnEnsemble();
    void matchesLabelsOfMovedCode();
    void matchesLabelsOnlyUsedFromChangedCode();
    void rejectsBadHeaders_data();
    void rejectsBadHeaders();
    void reportsFileErrors();
    void checksTheOldFileBeforeDecompressing();
    void writesNothingWhenTheResultChecksumDiffers();
    void reportsBodyFaults_data();
    void reportsBodyFaults();

private:
    QString write(const QString &name, const QByteArray &bytes);
    int applyFiles(const QByteArray &old, const QByteArray &patch, QByteArray *result = nullptr);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestEnsemblePatch::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QString TestEnsemblePatch::write(const QString &name, const QByteArray &bytes)
{
    const QString path = m_dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

int TestEnsemblePatch::applyFiles(const QByteArray &old, const QByteArray &patch, QByteArray *result)
{
    const QString oldPath = write("old", old);
    const QString patchPath = write("patch", patch);
    const QString newPath = m_dir->filePath("new");
    QFile::remove(newPath);
    const int status = vxpatch::ApplyEnsemblePatch(QFile::encodeName(oldPath).constData(),
                                                   QFile::encodeName(patchPath).constData(),
                                                   QFile::encodeName(newPath).constData());
    if (result != nullptr) {
        QFile file(newPath);
        *result = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
    }
    return status;
}

void TestEnsemblePatch::appliesGeneratedPatches_data()
{
    QTest::addColumn<QByteArray>("old");
    QTest::addColumn<QByteArray>("added");
    QTest::addColumn<int>("pairs");

    const QByteArray oldImage = x86Image(callChain(40, 0));
    const QByteArray movedImage = x86Image(callChain(41, 7));
    QTest::newRow("x86 code moved") << oldImage << movedImage << 1;
    QTest::newRow("x64 code moved") << elf64({Section{SHT_PROGBITS, callChain(40, 0)}})
                                    << elf64({Section{SHT_PROGBITS, callChain(40, 12)}}) << 1;
    QTest::newRow("no executable") << noise(3000, 1) << noise(2000, 1) + noise(900, 2) << 0;
    QTest::newRow("executable removed") << oldImage << noise(500, 3) << 0;
    QTest::newRow("empty result") << oldImage << QByteArray() << 0;
    QTest::newRow("identical") << oldImage << oldImage << 1;
}

void TestEnsemblePatch::appliesGeneratedPatches()
{
    QFETCH(QByteArray, old);
    QFETCH(QByteArray, added);
    QFETCH(int, pairs);

    vxpatch::EnsemblePatchSummary summary;
    const QByteArray patch = generate(old, added, &summary);
    QVERIFY(!patch.isEmpty());
    QCOMPARE(int(summary.pairs.size()), pairs);
    QVERIFY(!summary.fellBack);
    QByteArray result;
    QCOMPARE(applyFiles(old, patch, &result), int(vxpatch::kPatchOk));
    QCOMPARE(result, added);
}

void TestEnsemblePatch::findsAnExecutableInsideAnEnsemble()
{
    const QByteArray oldImage = x86Image(callChain(30, 0));
    const QByteArray newImage = x86Image(callChain(31, 3));
    const QByteArray old = noise(333, 4) + oldImage + noise(50, 5);
    const QByteArray added = noise(100, 6) + newImage + noise(70, 7);
    vxpatch::EnsemblePatchSummary summary;
    const QByteArray patch = generate(old, added, &summary);
    QCOMPARE(int(summary.pairs.size()), 1);
    QCOMPARE(summary.pairs[0].type, vxpatch::EXE_ELF_32_X86);
    QCOMPARE(summary.pairs[0].oldOffset, size_t(333));
    QCOMPARE(summary.pairs[0].oldLength, size_t(oldImage.size()));
    QCOMPARE(summary.pairs[0].newOffset, size_t(100));
    QByteArray result;
    QCOMPARE(applyFiles(old, patch, &result), int(vxpatch::kPatchOk));
    QCOMPARE(result, added);
}

void TestEnsemblePatch::matchesLabelsOfMovedCode()
{
    // All code moves up by 16 bytes: every call target keeps its old label's index.
    const QByteArray oldImage = x86Image(callChain(40, 0));
    const QByteArray newImage = x86Image(callChain(40, 16));
    const std::unique_ptr<vxpatch::InstructionProgram> oldProgram = programreferences::disassemble(oldImage);
    const std::unique_ptr<vxpatch::InstructionProgram> newProgram = programreferences::disassemble(newImage);
    QVERIFY(oldProgram && newProgram);
    QCOMPARE(newProgram->rel32_labels().size(), size_t(40));
    // Without matching the indexes already agree by address order; scramble them first.
    for (const vxpatch::Instruction *instruction : newProgram->instructions()) {
        if (instruction->label != nullptr)
            instruction->label->index = 1000 - instruction->label->index;
    }
    QVERIFY(vxpatch::MatchLabels(*oldProgram, *newProgram));
    for (const auto &entry : newProgram->rel32_labels()) {
        auto old = oldProgram->rel32_labels().find(entry.first - 16);
        QVERIFY2(old != oldProgram->rel32_labels().end(), qPrintable(QString::number(entry.first, 16)));
        QCOMPARE(entry.second.index, old->second.index);
    }
}

// Call chain code with a lone `ret` at `lone` (an offset into the chain) that
// only a call inside `changed`, a block of other bytes after the chain, uses.
QByteArray withLoneTarget(int prefix, int seed, uint32_t *loneRva)
{
    QByteArray code = callChain(30, prefix);
    *loneRva = kText + uint32_t(code.size());
    code += QByteArray(1, char(0xC3));
    QByteArray changed = noise(40 + seed, seed);
    for (int i = 0; i < changed.size(); ++i) {
        if ((uchar(changed[i]) & 0xFE) == 0xE8 || uchar(changed[i]) == 0x0F)
            changed[i] = 0x11; // no other branch candidates
    }
    code += changed;
    code += call(kText + uint32_t(code.size()), *loneRva);
    return x86Image(code);
}

void TestEnsemblePatch::matchesLabelsOnlyUsedFromChangedCode()
{
    uint32_t oldLone = 0;
    uint32_t newLone = 0;
    const QByteArray oldImage = withLoneTarget(0, 1, &oldLone);
    const QByteArray newImage = withLoneTarget(24, 2, &newLone);
    const std::unique_ptr<vxpatch::InstructionProgram> oldProgram = programreferences::disassemble(oldImage);
    const std::unique_ptr<vxpatch::InstructionProgram> newProgram = programreferences::disassemble(newImage);
    QVERIFY(oldProgram && newProgram);
    // Give the lone label an index that no old label has, so that only matching can fix it.
    for (const vxpatch::Instruction *instruction : newProgram->instructions()) {
        if (instruction->label != nullptr && instruction->label->rva == newLone)
            instruction->label->index = 999;
    }
    QVERIFY(vxpatch::MatchLabels(*oldProgram, *newProgram));
    QCOMPARE(newProgram->rel32_labels().at(newLone).index, oldProgram->rel32_labels().at(oldLone).index);
}

void TestEnsemblePatch::rejectsBadHeaders_data()
{
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<int>("status");

    QTest::newRow("one byte 01") << QByteArray(1, '\x01') << int(vxpatch::kNotAPatch);
    QTest::newRow("magic cut short") << QByteArray("\xC3\xDE", 2) << int(vxpatch::kNotAPatch);
    QTest::newRow("version 20110215") << varint(7696195) + varint(20110215) << int(vxpatch::kWrongVersion);
    QTest::newRow("version missing") << varint(7696195) << int(vxpatch::kWrongVersion);
    QTest::newRow("ends after the version")
        << varint(7696195) + varint(20110216) << int(vxpatch::kCorruptPatch);
    QTest::newRow("ends before the prediction")
        << varint(7696195) + varint(20110216) + varint(1) + varint(2) << int(vxpatch::kCorruptPatch);
}

void TestEnsemblePatch::rejectsBadHeaders()
{
    QFETCH(QByteArray, patch);
    QFETCH(int, status);
    QByteArray result;
    QCOMPARE(applyFiles("old file", patch, &result), status);
    QCOMPARE(result, QByteArray("<no file>"));
}

void TestEnsemblePatch::reportsFileErrors()
{
    const QByteArray old = noise(100, 8);
    const QByteArray patch = generate(old, noise(120, 9));
    const QString oldPath = write("old", old);
    const QString emptyPath = write("empty", QByteArray());
    const QString patchPath = write("patch", patch);
    const QByteArray newPath = QFile::encodeName(m_dir->filePath("new"));

    QCOMPARE(int(vxpatch::ApplyEnsemblePatch(QFile::encodeName(oldPath).constData(),
                                             QFile::encodeName(m_dir->filePath("missing")).constData(),
                                             newPath.constData())),
             int(vxpatch::kPatchUnreadable));
    QCOMPARE(int(vxpatch::ApplyEnsemblePatch(QFile::encodeName(emptyPath).constData(),
                                             QFile::encodeName(patchPath).constData(), newPath.constData())),
             int(vxpatch::kFileIoError));
    QVERIFY(!QFile::exists(m_dir->filePath("new")));
    const QByteArray unwritable = QFile::encodeName(m_dir->filePath("no/such/dir/new"));
    QCOMPARE(
        int(vxpatch::ApplyEnsemblePatch(QFile::encodeName(oldPath).constData(),
                                        QFile::encodeName(patchPath).constData(), unwritable.constData())),
        int(vxpatch::kFileIoError));
}

void TestEnsemblePatch::checksTheOldFileBeforeDecompressing()
{
    QByteArray old = x86Image(callChain(20, 0));
    const QByteArray patch = generate(old, x86Image(callChain(21, 0)));
    old[old.size() / 2] = char(old[old.size() / 2] ^ 1);
    // The body is replaced by garbage: only a check before decompressing explains status 8.
    vxpatch::ByteSource reader(patch.constData(), size_t(patch.size()));
    uint32_t field = 0;
    for (int i = 0; i < 5; ++i)
        QVERIFY(reader.ReadVarint32(field));
    const QByteArray headerOnly = patch.left(int(reader.Offset()));
    QCOMPARE(applyFiles(old, patch), int(vxpatch::kChecksumMismatch));
    QByteArray result;
    QCOMPARE(applyFiles(old, headerOnly + QByteArray(20, '\xFF'), &result), int(vxpatch::kChecksumMismatch));
    QCOMPARE(result, QByteArray("<no file>"));
}

void TestEnsemblePatch::writesNothingWhenTheResultChecksumDiffers()
{
    const QByteArray old = noise(400, 10);
    const QByteArray wanted = noise(300, 11);
    QByteArray claimed = wanted;
    claimed[0] = char(claimed[0] ^ 0x55);
    const QByteArray patch =
        craftPatch(old, claimed,
                   {elementList({}), diff(predictedParameters(0), predictedParameters(0)),
                    diff(predictedParameters(0), predictedParameters(0)), diff(old, wanted)});
    QByteArray result;
    QCOMPARE(applyFiles(old, patch, &result), int(vxpatch::kChecksumMismatch));
    QCOMPARE(result, QByteArray("<no file>"));
    // The same body with the right checksum applies.
    const QByteArray good =
        craftPatch(old, wanted,
                   {elementList({}), diff(predictedParameters(0), predictedParameters(0)),
                    diff(predictedParameters(0), predictedParameters(0)), diff(old, wanted)});
    QCOMPARE(applyFiles(old, good, &result), int(vxpatch::kPatchOk));
    QCOMPARE(result, wanted);
}

void TestEnsemblePatch::reportsBodyFaults_data()
{
    QTest::addColumn<QByteArray>("old");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<int>("status");

    const QByteArray old = noise(600, 12);
    const QByteArray image = x86Image(callChain(10, 0));
    const QByteArray ensemble = old + image;
    const uint32_t size = uint32_t(ensemble.size());
    const QByteArray params0 = diff(predictedParameters(0), predictedParameters(0));
    const QByteArray params1 = diff(predictedParameters(1), predictedParameters(1));
    const QByteArray empty0 = diff(predictedParameters(0), predictedParameters(0));
    auto patch = [&](const QVector<QByteArray> &body) { return craftPatch(ensemble, ensemble, body); };

    QTest::newRow("body is no LZMA2 block")
        << ensemble << header(checksum(ensemble), checksum(ensemble), size) + QByteArray("\x30\x05garbage")
        << int(vxpatch::kStreamError);
    {
        vxpatch::ByteSink block;
        vxpatch::WriteLzma2Block("not a set", 9, block);
        QTest::newRow("body is no stream set")
            << ensemble << header(checksum(ensemble), checksum(ensemble), size) + toBytes(block)
            << int(vxpatch::kCorruptPatch);
    }
    QTest::newRow("element kind 0") << ensemble << patch({elementList({{0, 600, uint32_t(image.size())}})})
                                    << 7;
    QTest::newRow("element kind 8") << ensemble << patch({elementList({{8, 600, uint32_t(image.size())}})})
                                    << 7;
    QTest::newRow("element count beyond the list") << ensemble << patch({varint(3) + varint(2)}) << 7;
    QTest::newRow("bytes after the element list")
        << ensemble << patch({elementList({{2, 600, uint32_t(image.size())}}) + varint(0)}) << 7;
    QTest::newRow("element beyond the old file")
        << ensemble << patch({elementList({{2, 600, uint32_t(image.size()) + 1}})}) << 12;
    QTest::newRow("element offset beyond the old file")
        << ensemble << patch({elementList({{2, size + 1, 0}})}) << 12;
    QTest::newRow("element bounds missing") << ensemble << patch({varint(1) + varint(2) + varint(600)}) << 12;
    QTest::newRow("parameter diff missing")
        << ensemble << patch({elementList({{2, 600, uint32_t(image.size())}})}) << int(vxpatch::kPatchFailed);
    QTest::newRow("element no executable")
        << ensemble << patch({elementList({{2, 0, 600}}), params1}) << int(vxpatch::kNoDisassembler);
    // A pointer inside its own relocation section is never consumed by the walk.
    const QByteArray broken = elf32(3, {Section{SHT_PROGBITS, QByteArray(16, char(0x90))},
                                        Section{SHT_REL, rel(sectionAddress(2) + 8, 8) + rel(0, 0), 8},
                                        Section{SHT_PROGBITS, le32(0)}});
    QTest::newRow("element does not disassemble")
        << broken << craftPatch(broken, broken, {elementList({{2, 0, uint32_t(broken.size())}}), params1})
        << int(vxpatch::kDisassemblyFailed);
    // Parameters for an element that takes none.
    {
        vxpatch::ByteSinkSet outer;
        vxpatch::ByteSinkSet inner;
        inner.stream(0).WriteVarint32(1);
        outer.WriteSet(inner);
        vxpatch::ByteSink bytes;
        outer.CopyTo(bytes);
        QTest::newRow("parameters given") << ensemble
                                          << patch({elementList({{2, 600, uint32_t(image.size())}}),
                                                    diff(predictedParameters(1), toBytes(bytes))})
                                          << int(vxpatch::kPatchFailed);
    }
    QTest::newRow("parameters left over")
        << ensemble
        << patch({elementList({{2, 600, uint32_t(image.size())}}),
                  diff(predictedParameters(1), serializedSet({varint(0) + varint(0)}))})
        << int(vxpatch::kStreamNotConsumed);
    QTest::newRow("corrected parameters are no set")
        << ensemble << patch({elementList({}), diff(predictedParameters(0), "junk")})
        << int(vxpatch::kStreamError);
    QTest::newRow("program diff missing") << ensemble << patch({elementList({}), params0}) << 2;
    QTest::newRow("final diff missing") << ensemble << patch({elementList({}), params0, empty0}) << 2;

    // Corrected encoded programs: stream 2 turns the transformed set into these.
    vxpatch::ByteSinkSet transformedSet;
    {
        std::unique_ptr<vxpatch::InstructionProgram> program;
        vxpatch::DisassembleElement(image.constData(), size_t(image.size()), program);
        program->TrimLabels();
        vxpatch::ByteSinkSet streams;
        program->Encode()->WriteTo(streams);
        transformedSet.WriteSet(streams);
    }
    vxpatch::ByteSink transformedBytes;
    transformedSet.CopyTo(transformedBytes);
    const QByteArray transformed = toBytes(transformedBytes);
    const QByteArray oneElement = elementList({{2, 600, uint32_t(image.size())}});
    QTest::newRow("encoded program unreadable")
        << ensemble << patch({oneElement, params1, diff(transformed, predictedParameters(1))})
        << int(vxpatch::kBadEncodedProgram);
    {
        // ops hold one rel32 but there is no label index for it.
        vxpatch::ByteSinkSet program;
        program.stream(0).WriteVarint32(0);
        program.stream(0).WriteVarint32(0);
        program.stream(1).WriteVarint32(1);
        program.stream(1).WriteVarint32(3);
        for (size_t i : {2u, 3u, 4u, 5u, 6u, 7u})
            program.stream(i).WriteVarint32(0);
        vxpatch::ByteSinkSet outer;
        outer.WriteSet(program);
        vxpatch::ByteSink bytes;
        outer.CopyTo(bytes);
        QTest::newRow("encoded program does not assemble")
            << ensemble << patch({oneElement, params1, diff(transformed, toBytes(bytes))})
            << int(vxpatch::kAssemblyFailed);
    }
    {
        // The program reads its streams 0 to 8; a byte in stream 9 stays unread.
        std::unique_ptr<vxpatch::InstructionProgram> program;
        vxpatch::DisassembleElement(image.constData(), size_t(image.size()), program);
        vxpatch::ByteSinkSet streams;
        program->Encode()->WriteTo(streams);
        streams.stream(9).WriteVarint32(0);
        vxpatch::ByteSinkSet outer;
        outer.WriteSet(streams);
        vxpatch::ByteSink bytes;
        outer.CopyTo(bytes);
        QTest::newRow("program stream left over")
            << ensemble << patch({oneElement, params1, diff(transformed, toBytes(bytes))})
            << int(vxpatch::kStreamNotConsumed);
    }
    {
        vxpatch::ByteSinkSet outer;
        for (int i = 0; i < 2; ++i) {
            std::unique_ptr<vxpatch::InstructionProgram> program;
            vxpatch::DisassembleElement(image.constData(), size_t(image.size()), program);
            vxpatch::ByteSinkSet streams;
            program->Encode()->WriteTo(streams);
            outer.WriteSet(streams);
        }
        vxpatch::ByteSink bytes;
        outer.CopyTo(bytes);
        QTest::newRow("more programs than elements")
            << ensemble << patch({oneElement, params1, diff(transformed, toBytes(bytes))})
            << int(vxpatch::kStreamNotConsumed);
    }
}

void TestEnsemblePatch::reportsBodyFaults()
{
    QFETCH(QByteArray, old);
    QFETCH(QByteArray, patch);
    QFETCH(int, status);
    QByteArray result;
    QCOMPARE(applyFiles(old, patch, &result), status);
    QCOMPARE(result, QByteArray("<no file>"));
}

QTEST_APPLESS_MAIN(TestEnsemblePatch)
#include "testensemblepatch.moc"
