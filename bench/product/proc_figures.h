#pragma once

#include <QHash>
#include <QtGlobal>

// What /proc says about a process's cost, for the benchmark's figures.
class ProcFigures
{
public:
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
};
