#include "tasks/filecopyfunc.h"

#include <QFile>
#include <QtDebug>

FileCopyFunc::FileCopyFunc(const QString &srcFile, const QString &dstFile) : SlowFileOpFunc(srcFile, dstFile)
{
}

bool FileCopyFunc::run()
{
    qDebug() << "run" << m_srcFile << m_dstFile;
    return QFile::copy(m_srcFile, m_dstFile);
}
