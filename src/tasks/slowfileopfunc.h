#pragma once

#include "tasks/asyncfunc.h"

// Worker of a file operation with two or three paths.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString &srcFile, const QString &dstFile);
    SlowFileOpFunc(const QString &srcFile, const QString &patchFile, const QString &dstFile);

protected:
    const QString m_srcFile;
    const QString m_patchFile;
    const QString m_dstFile;
};
