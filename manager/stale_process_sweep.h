#pragma once

#include "manager/stale_copy_rule.h"

#include <QString>
#include <QStringList>

#include <functional>

// Ends every running copy of the tool among the processes whose command line matches the search
// pattern: SIGTERM, a grace period, and SIGKILL for whatever is still there. Processes that only
// mention the word are left alone, and so are this program and its ancestors.
class StaleProcessSweep
{
public:
    using Emit = std::function<void(const QString&)>;

    StaleProcessSweep(QString searchProgram, QStringList searchArguments, StaleCopyRule rule, Emit emitMessage);

    // Blocks for the search and half a second per process found.
    void run() const;

private:
    QString m_searchProgram;
    QStringList m_searchArguments;
    StaleCopyRule m_rule;
    Emit m_emit;
};
