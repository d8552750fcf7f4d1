#include "tasks/asyncrun.h"

#include "tasks/asyncfunc.h"

ASyncRun::ASyncRun(ASyncFunc *func) : m_func(func) {}

ASyncRun::~ASyncRun()
{
    delete m_func;
}

void ASyncRun::run()
{
    const bool res = m_func->run();
    emit m_func->runResult(res);
}
