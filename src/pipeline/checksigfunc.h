#pragma once

#include "tasks/asyncfunc.h"

#include <QByteArray>
#include <QString>

// Worker of CheckSignatureTaskSpecification: checks one file either against an expected
// SHA-512 digest or, when none is given, against the RSA signature in its ".sig" companion.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
public:
    CheckSigFunc(const QString &file, const QString &expectedHash, const QByteArray &publicKey);

    bool run() override;

private:
    // Lower-case hexadecimal SHA-512 of a file, read in chunks so memory use does not grow
    // with the file size. Empty when the file cannot be read; messages tell why.
    QString sha512Hex(const QString &path);
    bool checkRSA();
    bool readFile(const QString &path, QByteArray &data);

    QString m_file;
    QString m_expectedHash;
    QByteArray m_publicKey; // PKCS #1 RSAPublicKey DER
};
