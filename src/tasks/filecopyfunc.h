#pragma once

#include "tasks/slowfileopfunc.h"

// Copies m_srcFile to m_dstFile; an existing destination is not overwritten.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileCopyFunc(const QString &srcFile, const QString &dstFile);

    bool run() override;
};
