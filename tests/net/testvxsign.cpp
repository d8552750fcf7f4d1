#include "pipeline/checksigfunc.h"
#include "pipeline/crypto.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// The signing tool against OpenSSL and against the updater's own verification.
class TestVxsign : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keygenWritesPkcs1Pair();
    void signatureVerifiesWithOpenssl();
    void verifyReportsVerdict_data();
    void verifyReportsVerdict();
    void updaterAcceptsToolSignature();
    void rejectsBadUsage_data();
    void rejectsBadUsage();

private:
    struct Result
    {
        int exitCode;
        QByteArray out;
    };
    Result run(const QString &program, const QStringList &args) const;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QByteArray readAll(const QString &name) const;
    void writeFile(const QString &name, const QByteArray &content) const;

    QTemporaryDir m_dir;
};

TestVxsign::Result TestVxsign::run(const QString &program, const QStringList &args) const
{
    QProcess p;
    p.setWorkingDirectory(m_dir.path());
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return {-1, QByteArray()};
    return {p.exitCode(), p.readAllStandardOutput()};
}

QByteArray TestVxsign::readAll(const QString &name) const
{
    QFile f(path(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TestVxsign::writeFile(const QString &name, const QByteArray &content) const
{
    QFile f(path(name));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(content), qint64(content.size()));
}

void TestVxsign::initTestCase()
{
    QVERIFY(m_dir.isValid());
    registerCrypto();
    QCOMPARE(run(VXSIGN, {"keygen", "key.priv", "key.pub"}).exitCode, 0);
    QCOMPARE(run("openssl", {"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", "key.pub", "-pubout", "-out",
                             "key.pub.pem"})
                 .exitCode,
             0);
    writeFile("product.ini", "[client]\nupdate=abc::1\n");
    QCOMPARE(run(VXSIGN, {"sign", "key.priv", "product.ini"}).exitCode, 0);
}

void TestVxsign::keygenWritesPkcs1Pair()
{
    QCOMPARE(QFileInfo(path("key.priv")).permissions() & (QFile::ReadGroup | QFile::ReadOther),
             QFile::Permissions());
    const QByteArray pub = readAll("key.pub");
    QCOMPARE(pub.size(), 140);
    RsaKey key;
    importPublicKey(key, reinterpret_cast<const unsigned char *>(pub.constData()), pub.size());
    QCOMPARE(key.get()->type, int(PK_PUBLIC));
    QCOMPARE(ltc_mp.count_bits(key.get()->N), 1024);
    QVERIFY(!QFile::exists(path("key.priv.tmp")));
}

void TestVxsign::signatureVerifiesWithOpenssl()
{
    QCOMPARE(readAll("product.ini.sig").size(), 128);
    const Result r =
        run("openssl", {"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:8",
                        "-verify", "key.pub.pem", "-signature", "product.ini.sig", "product.ini"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains("Verified OK"));
}

void TestVxsign::verifyReportsVerdict_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("keyArgs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");

    const QByteArray signedContent = "[client]\nupdate=abc::1\n";
    QTest::newRow("signed file") << signedContent << QStringList{"key.pub"} << 0 << "^OK$";
    QTest::newRow("changed file") << QByteArray("[client]\nupdate=abd::1\n") << QStringList{"key.pub"} << 1
                                  << "^FAILED";
    // The committed key's private half is not kept anywhere, so nothing signed here passes it.
    QTest::newRow("built-in key") << signedContent << QStringList() << 1 << "^FAILED";
}

void TestVxsign::verifyReportsVerdict()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, keyArgs);
    QFETCH(int, exitCode);
    QFETCH(QString, output);

    QFile::copy(path("product.ini.sig"), path("copy.ini.sig"));
    writeFile("copy.ini", content);
    const Result r = run(VXSIGN, QStringList{"verify", "copy.ini"} + keyArgs);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(QRegularExpression(output).match(QString::fromUtf8(r.out.trimmed())).hasMatch(),
             r.out.constData());
    QFile::remove(path("copy.ini"));
    QFile::remove(path("copy.ini.sig"));
}

void TestVxsign::updaterAcceptsToolSignature()
{
    QTest::ignoreMessage(QtDebugMsg, "RSA check true");
    CheckSigFunc func(path("product.ini"), QString(), readAll("key.pub"));
    QVERIFY(func.run());
}

void TestVxsign::rejectsBadUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no command") << QStringList();
    QTest::newRow("unknown command") << QStringList{"encrypt", "a", "b"};
    QTest::newRow("sign without file") << QStringList{"sign", "key.priv"};
    QTest::newRow("sign with public key") << QStringList{"sign", "key.pub", "product.ini"};
    QTest::newRow("missing file") << QStringList{"verify", "nothing.ini", "key.pub"};
}

void TestVxsign::rejectsBadUsage()
{
    QFETCH(QStringList, args);
    const QByteArray sigBefore = readAll("product.ini.sig");
    QCOMPARE(run(VXSIGN, args).exitCode, 2);
    QCOMPARE(readAll("product.ini.sig"), sigBefore);
}

QTEST_GUILESS_MAIN(TestVxsign)
#include "testvxsign.moc"
