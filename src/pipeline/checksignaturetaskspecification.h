#pragma once

#include "tasks/asynctaskspecification.h"

#include <QByteArray>
#include <QString>

// Checks one file on the thread pool: against an expected SHA-512 digest, or, when that is
// empty, against the RSA signature in the file's ".sig" companion. The verdict is also
// reported through checkDone(), for parents that let the task finish after a mismatch.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    CheckSignatureTaskSpecification(const QString &file, const QString &expectedHash, bool failOnMismatch,
                                    QObject *parent, qreal weight);

    // Verification key for signature checks (PKCS #1 RSAPublicKey DER); the built-in key
    // unless set.
    void setPublicKey(const QByteArray &der) { m_publicKey = der; }

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification *task);

protected:
    ASyncFunc *createFunc() override;
    void runDone(bool res) override;

private:
    QString m_file;
    QString m_expectedHash;
    bool m_failOnMismatch;
    QByteArray m_publicKey;
};
