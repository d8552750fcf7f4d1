#ifndef VXPATCH_TESTS_LOGCAPTURE_H
#define VXPATCH_TESTS_LOGCAPTURE_H

#include "logbase.h"
#include "logmessage.h"

#include <QStringList>

// Collects the patcher log's messages while it exists, to check the failure texts.
class LogCapture final : public vxpatch::LogBase
{
public:
    LogCapture() { Register(); }
    ~LogCapture() override { Unregister(); }

    void Write(const std::string &message, int level, const std::string &, uint64_t, const std::string &,
               const std::string &) override
    {
        m_messages << QString::fromStdString(message);
        m_levels << level;
    }
    void Flush() override {}

    QStringList messages() const { return m_messages; }
    QList<int> levels() const { return m_levels; }
    QString last() const { return m_messages.isEmpty() ? QString() : m_messages.last(); }
    void clear()
    {
        m_messages.clear();
        m_levels.clear();
    }

private:
    QStringList m_messages;
    QList<int> m_levels;
};

#endif
