#include "pipeline/checksignaturetaskspecification.h"

#include "pipeline/checksigfunc.h"
#include "pipeline/crypto.h"

#include <QDebug>

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString &file,
                                                                 const QString &expectedHash,
                                                                 bool failOnMismatch, QObject *parent,
                                                                 qreal weight)
    : ASyncTaskSpecification(parent, weight), m_file(file), m_expectedHash(expectedHash),
      m_failOnMismatch(failOnMismatch),
      m_publicKey(reinterpret_cast<const char *>(builtinPublicKey()), int(builtinPublicKeyLength()))
{
}

ASyncFunc *CheckSignatureTaskSpecification::createFunc()
{
    return new CheckSigFunc(m_file, m_expectedHash, m_publicKey);
}

void CheckSignatureTaskSpecification::runDone(bool res)
{
    if (state() != TASK_RUNNING)
        return;
    if (res) {
        emit checkDone(true, this);
        setFinished();
        return;
    }
    qDebug() << "Signature check failed for" << m_file;
    emit message(QString("Signature check failed for %1").arg(m_file));
    emit checkDone(false, this);
    if (m_failOnMismatch)
        setFailed();
    else
        setFinished();
}
