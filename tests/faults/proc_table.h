#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QtGlobal>

// What /proc says about processes, for checks that nothing of a tool outlives the program.
class ProcTable
{
public:
    struct Entry
    {
        qint64 pid = 0;
        qint64 parent = 0;
        qint64 group = 0;
        char state = '?';
    };

    // Every process /proc lists now, zombies included.
    static QList<Entry> all();
    // Members of the process group, zombies included.
    static QList<qint64> group(qint64 groupId);
    // Processes whose command line holds the text (a zombie has none).
    static QList<qint64> withCommandLineContaining(const QByteArray& text);
    // Children of the process that have ended but were never reaped.
    static QList<qint64> zombieChildrenOf(qint64 parent);

    // A "kB" line of /proc/PID/status (VmRSS, VmHWM) in bytes; -1 when unreadable.
    static qint64 statusBytes(qint64 pid, const char* field);
    // The process's proportional share of the memory it maps (Pss of /proc/PID/smaps_rollup),
    // in bytes; -1 when unreadable.
    static qint64 proportionalBytes(qint64 pid);
    // Processor time of every thread of the process so far, in nanoseconds (at the resolution
    // of a clock tick); -1 when gone.
    static qint64 cpuNanoseconds(qint64 pid);
    // How often each live thread of the process has given up a processor so far (each wake-up
    // ends in one), by thread id.
    static QHash<qint64, qint64> contextSwitches(qint64 pid);
    // What the process's descriptors point at, as the kernel names it ("pipe:[123]", a path).
    static QStringList descriptorTargets(qint64 pid);
    // Targets of the process's descriptors that lie in the folder.
    static QStringList descriptorsUnder(qint64 pid, const QString& folder);
    // Entries of /proc/PID/fd; -1 when unreadable.
    static int openDescriptors(qint64 pid);
};
