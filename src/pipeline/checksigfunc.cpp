#include "pipeline/checksigfunc.h"

#include "pipeline/crypt_exception.h"
#include "pipeline/crypto.h"

#include <QDebug>
#include <QFile>

namespace {
constexpr qint64 kChunkSize = 256 * 1024;
constexpr unsigned long kSha512Length = 64;
// Signed files (product inis) are small and read whole; refuse anything that would not fit.
constexpr qint64 kMaxWholeFileSize = qint64(1) << 30;
} // namespace

CheckSigFunc::CheckSigFunc(const QString &file, const QString &expectedHash, const QByteArray &publicKey)
    : m_file(file), m_expectedHash(expectedHash), m_publicKey(publicKey)
{
}

bool CheckSigFunc::run()
{
    if (m_expectedHash.isEmpty())
        return checkRSA();
    const QString actual = sha512Hex(m_file);
    return !actual.isEmpty() && actual.compare(m_expectedHash, Qt::CaseInsensitive) == 0;
}

QString CheckSigFunc::sha512Hex(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QString("Could not open file %1 for reading").arg(path));
        return QString();
    }
    hash_state state;
    sha512_init(&state);
    QByteArray chunk(int(kChunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(chunk.data(), kChunkSize);
        if (n < 0) {
            emit message(QString("could not read file %1 correctly").arg(path));
            return QString();
        }
        if (n == 0)
            break;
        sha512_process(&state, reinterpret_cast<const unsigned char *>(chunk.constData()), (unsigned long)n);
    }
    unsigned char digest[kSha512Length];
    sha512_done(&state, digest);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), kSha512Length).toHex());
}

bool CheckSigFunc::checkRSA()
{
    QByteArray data;
    if (!readFile(m_file, data)) {
        qDebug() << "RSA check failed, could not read" << m_file;
        return false;
    }
    const QString sigPath = m_file + ".sig";
    QByteArray signature;
    if (!readFile(sigPath, signature)) {
        qDebug() << "RSA check failed, could not read" << sigPath;
        return false;
    }
    try {
        RsaKey key;
        importPublicKey(key, reinterpret_cast<const unsigned char *>(m_publicKey.constData()),
                        (unsigned long)m_publicKey.size());
        const bool good = verifySignature(
            key, reinterpret_cast<const unsigned char *>(data.constData()), (unsigned long)data.size(),
            reinterpret_cast<const unsigned char *>(signature.constData()), (unsigned long)signature.size());
        qDebug() << "RSA check" << good;
        return good;
    } catch (const crypt_exception &e) {
        qDebug() << "RSA check failed, caught exception" << e.what();
        return false;
    }
}

bool CheckSigFunc::readFile(const QString &path, QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QString("Could not open file %1 for reading").arg(path));
        return false;
    }
    if (file.size() > kMaxWholeFileSize) {
        emit message(QString("could not read file %1 correctly").arg(path));
        return false;
    }
    data.resize(int(file.size()));
    if (file.read(data.data(), data.size()) != data.size()) {
        emit message(QString("could not read file %1 correctly").arg(path));
        return false;
    }
    return true;
}
