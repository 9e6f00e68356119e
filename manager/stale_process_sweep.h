#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// Ends every running process whose command line matches the search pattern: SIGTERM, a grace
// period, and SIGKILL for whatever is still there. Never this program or its ancestors.
class StaleProcessSweep
{
public:
    using Emit = std::function<void(const QString&)>;

    StaleProcessSweep(QString searchProgram, QStringList searchArguments, Emit emitMessage);

    // Blocks for the search and half a second per process found.
    void run() const;

private:
    QString m_searchProgram;
    QStringList m_searchArguments;
    Emit m_emit;
};
