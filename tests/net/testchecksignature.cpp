#include "pipeline/checksigfunc.h"
#include "pipeline/checksignaturetaskspecification.h"
#include "pipeline/crypt_exception.h"
#include "pipeline/crypto.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// Signatures are made by OpenSSL's command line with key pairs generated for this run, so
// the verifier is checked against an independent implementation of RSASSA-PSS.
class TestCheckSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void verifiesSignatures_data();
    void verifiesSignatures();
    void reportsMissingSignatureFile();
    void rejectsMalformedKey();
    void builtinKeyIsA1024BitPublicKey();

    void comparesDigests_data();
    void comparesDigests();

    void taskReportsVerdictInOrder_data();
    void taskReportsVerdictInOrder();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QByteArray readAll(const QString &name) const;
    void writeFile(const QString &name, const QByteArray &content) const;
    void runOpenssl(const QStringList &args) const;
    void makeKeyPair(const QString &base) const;
    // Signs file into file.sig with RSASSA-PSS over SHA-1 and the given salt length.
    void sign(const QString &file, const QString &keyBase, int saltLength) const;

    QTemporaryDir m_dir;
};

QByteArray TestCheckSignature::readAll(const QString &name) const
{
    QFile f(path(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TestCheckSignature::writeFile(const QString &name, const QByteArray &content) const
{
    QFile f(path(name));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(content), qint64(content.size()));
}

void TestCheckSignature::runOpenssl(const QStringList &args) const
{
    QProcess p;
    p.setWorkingDirectory(m_dir.path());
    p.start("openssl", args);
    QVERIFY2(p.waitForFinished(60000), qPrintable(args.join(' ')));
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
             qPrintable(args.join(' ') + ": " + p.readAllStandardError()));
}

void TestCheckSignature::makeKeyPair(const QString &base) const
{
    runOpenssl({"genrsa", "-out", base + ".pem", "1024"});
    runOpenssl({"rsa", "-in", base + ".pem", "-RSAPublicKey_out", "-outform", "DER", "-out", base + ".der"});
}

void TestCheckSignature::sign(const QString &file, const QString &keyBase, int saltLength) const
{
    runOpenssl({"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                QString("rsa_pss_saltlen:%1").arg(saltLength), "-sign", keyBase + ".pem", "-out",
                file + ".sig", file});
}

void TestCheckSignature::initTestCase()
{
    QVERIFY(m_dir.isValid());
    registerCrypto();
    makeKeyPair("good");
    makeKeyPair("other");
    QCOMPARE(readAll("good.der").size(), 140);
}

void TestCheckSignature::verifiesSignatures_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("signingKey");
    QTest::addColumn<int>("saltLength");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("pass");
    QTest::addColumn<QString>("debugLine");

    const QByteArray ini = "[client]\nupdate=0123::42\n";
    QTest::newRow("valid") << ini << "good" << 8 << "" << true << "^RSA check true$";
    QTest::newRow("empty file") << QByteArray() << "good" << 8 << "" << true << "^RSA check true$";
    QTest::newRow("large file") << QByteArray(3 * 1024 * 1024 + 17, 'x') << "good" << 8 << "" << true
                                << "^RSA check true$";
    QTest::newRow("other key") << ini << "other" << 8 << "" << false << "^RSA check";
    QTest::newRow("salt length 20") << ini << "good" << 20 << "" << false << "^RSA check";
    QTest::newRow("flipped content bit") << ini << "good" << 8 << "content" << false << "^RSA check false$";
    QTest::newRow("flipped signature bit") << ini << "good" << 8 << "signature" << false << "^RSA check";
    QTest::newRow("truncated signature")
        << ini << "good" << 8 << "truncate" << false << "^RSA check failed, caught exception";
}

void TestCheckSignature::verifiesSignatures()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, signingKey);
    QFETCH(int, saltLength);
    QFETCH(QString, damage);
    QFETCH(bool, pass);
    QFETCH(QString, debugLine);

    writeFile("product.ini", content);
    sign("product.ini", signingKey, saltLength);
    QCOMPARE(readAll("product.ini.sig").size(), 128);
    if (damage == "content") {
        QByteArray changed = content;
        changed[5] = char(changed[5] ^ 0x01);
        writeFile("product.ini", changed);
    } else if (damage == "signature") {
        QByteArray sig = readAll("product.ini.sig");
        sig[64] = char(sig[64] ^ 0x10);
        writeFile("product.ini.sig", sig);
    } else if (damage == "truncate") {
        writeFile("product.ini.sig", readAll("product.ini.sig").left(127));
    }

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(debugLine));
    CheckSigFunc func(path("product.ini"), QString(), readAll("good.der"));
    QCOMPARE(func.run(), pass);
}

void TestCheckSignature::reportsMissingSignatureFile()
{
    writeFile("unsigned.ini", "[a]\n");
    QFile::remove(path("unsigned.ini.sig"));
    const QString sigPath = path("unsigned.ini.sig");

    CheckSigFunc func(path("unsigned.ini"), QString(), readAll("good.der"));
    QSignalSpy messages(&func, &ASyncFunc::message);
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression("^RSA check failed, could not read .*unsigned\\.ini\\.sig\"$"));
    QVERIFY(!func.run());
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QString("Could not open file %1 for reading").arg(sigPath));
}

void TestCheckSignature::rejectsMalformedKey()
{
    const QByteArray garbage(140, '\x30');
    RsaKey key;
    try {
        importPublicKey(key, reinterpret_cast<const unsigned char *>(garbage.constData()), garbage.size());
        QFAIL("garbage key imported");
    } catch (const crypt_exception &e) {
        QVERIFY2(QByteArray(e.what()).startsWith("rsa_import: "), e.what());
        QVERIFY(qstrlen(e.what()) > qstrlen("rsa_import: "));
    }
    QVERIFY(!key.isLoaded());
}

void TestCheckSignature::builtinKeyIsA1024BitPublicKey()
{
    QCOMPARE(builtinPublicKeyLength(), std::size_t(140));
    RsaKey key;
    importPublicKey(key, builtinPublicKey(), builtinPublicKeyLength());
    QCOMPARE(key.get()->type, int(PK_PUBLIC));
    QCOMPARE(ltc_mp.count_bits(key.get()->N), 1024);
}

void TestCheckSignature::comparesDigests_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected"); // "lower", "upper", "other" or a literal digest
    QTest::addColumn<bool>("pass");

    // Sizes around the reader's chunk size catch a lost or repeated chunk.
    const QByteArray big = QByteArray("0123456789abcdef").repeated(16384 * 3 + 7);
    QTest::newRow("lower-case digest") << QByteArray("payload") << "lower" << true;
    QTest::newRow("upper-case digest") << QByteArray("payload") << "upper" << true;
    QTest::newRow("empty file") << QByteArray() << "lower" << true;
    QTest::newRow("several chunks") << big << "lower" << true;
    QTest::newRow("several chunks, last byte differs") << big << "other" << false;
    QTest::newRow("truncated digest") << QByteArray("payload") << "short" << false;
}

void TestCheckSignature::comparesDigests()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QFETCH(bool, pass);

    writeFile("data.bin", content);
    QByteArray reference = content;
    if (expected == "other")
        reference[reference.size() - 1] = char(reference.back() ^ 1);
    QString digest = QCryptographicHash::hash(reference, QCryptographicHash::Sha512).toHex();
    if (expected == "upper")
        digest = digest.toUpper();
    if (expected == "short")
        digest.chop(2);

    CheckSigFunc func(path("data.bin"), digest, QByteArray());
    QSignalSpy messages(&func, &ASyncFunc::message);
    QCOMPARE(func.run(), pass);
    QCOMPARE(messages.count(), 0);
}

void TestCheckSignature::taskReportsVerdictInOrder_data()
{
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<bool>("rightDigest");
    QTest::addColumn<bool>("failOnMismatch");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<int>("endState");

    const QString failed = "message:Signature check failed for %1";
    const QString missing = "message:Could not open file %1 for reading";
    QTest::newRow("pass") << true << true << true << QStringList{"checkDone:true", "finished"}
                          << int(TaskSpecification::TASK_FINISHED);
    QTest::newRow("mismatch, fail") << true << false << true
                                    << QStringList{failed, "checkDone:false", "canceled"}
                                    << int(TaskSpecification::TASK_FAILED);
    QTest::newRow("mismatch, finish anyway")
        << true << false << false << QStringList{failed, "checkDone:false", "finished"}
        << int(TaskSpecification::TASK_FINISHED);
    QTest::newRow("missing file") << false << true << true
                                  << QStringList{missing, failed, "checkDone:false", "canceled"}
                                  << int(TaskSpecification::TASK_FAILED);
}

void TestCheckSignature::taskReportsVerdictInOrder()
{
    QFETCH(bool, fileExists);
    QFETCH(bool, rightDigest);
    QFETCH(bool, failOnMismatch);
    QFETCH(QStringList, events);
    QFETCH(int, endState);

    const QString file = path("checked.bin");
    QFile::remove(file);
    if (fileExists)
        writeFile("checked.bin", "checked content");
    const QByteArray digestOf = rightDigest ? QByteArray("checked content") : QByteArray("something else");
    const QString digest = QCryptographicHash::hash(digestOf, QCryptographicHash::Sha512).toHex();

    CheckSignatureTaskSpecification task(file, digest, failOnMismatch, nullptr, 0.5);
    QStringList seen;
    connect(&task, &TaskSpecification::message, this, [&](const QString &m) { seen << "message:" + m; });
    connect(&task, &CheckSignatureTaskSpecification::checkDone, this,
            [&](bool pass, CheckSignatureTaskSpecification *t) {
                QCOMPARE(t, &task);
                seen << QString("checkDone:%1").arg(pass ? "true" : "false");
            });
    connect(&task, &TaskSpecification::finished, this, [&] { seen << "finished"; });
    connect(&task, &TaskSpecification::canceled, this, [&] { seen << "canceled"; });
    if (!events.contains("checkDone:true"))
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Signature check failed for"));

    task.execute();
    QCOMPARE(task.state(), TaskSpecification::TASK_RUNNING);
    QTRY_VERIFY(task.state() != TaskSpecification::TASK_RUNNING);

    for (QString &e : events)
        e.replace("%1", file);
    QCOMPARE(seen, events);
    QCOMPARE(int(task.state()), endState);
    QCOMPARE(task.doneFrac(), endState == TaskSpecification::TASK_FINISHED ? 0.5 : 0.0);
}

QTEST_GUILESS_MAIN(TestCheckSignature)
#include "testchecksignature.moc"
