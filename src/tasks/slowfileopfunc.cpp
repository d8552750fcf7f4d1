#include "tasks/slowfileopfunc.h"

SlowFileOpFunc::SlowFileOpFunc(const QString &srcFile, const QString &dstFile)
    : m_srcFile(srcFile), m_dstFile(dstFile)
{
}

SlowFileOpFunc::SlowFileOpFunc(const QString &srcFile, const QString &patchFile, const QString &dstFile)
    : m_srcFile(srcFile), m_patchFile(patchFile), m_dstFile(dstFile)
{
}
