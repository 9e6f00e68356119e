#pragma once

#include <QList>
#include <QtGlobal>

// What /proc says about processes, for checks that nothing of a tool outlives the program.
class ProcTable
{
public:
    // Members of the process group, zombies included.
    static QList<qint64> group(qint64 groupId);
    // Children of the process, zombies included.
    static QList<qint64> childrenOf(qint64 parent);
    // Children of the process that have ended but were never reaped.
    static QList<qint64> zombieChildrenOf(qint64 parent);
    // A "kB" line of /proc/PID/status (VmHWM, say) in bytes; -1 when unreadable.
    static qint64 statusBytes(qint64 pid, const char* field);
    // Entries of /proc/PID/fd; -1 when unreadable.
    static int openDescriptors(qint64 pid);
};
