#pragma once

#include <QDeadlineTimer>
#include <QSet>
#include <QStringList>
#include <QtGlobal>

// Every process and signal call the manager needs, kept here so that a port replaces this file
// and nothing else.
class ProcessControl
{
public:
    enum class Signal {
        Probe,
        Terminate,
        Kill,
    };

    // Runs in a freshly forked child before exec: a session of its own makes the child the
    // leader of a new process group and detaches it from any controlling terminal.
    static void becomeSessionLeader();

    // Orphans of our descendants are handed to us rather than to init, so they can be reaped.
    static void adoptOrphanedDescendants();

    // True when the call succeeded (for Probe: the process lives, not a zombie, and may be
    // signalled).
    static bool signalProcess(qint64 pid, Signal signal);
    static bool signalGroup(qint64 groupId, Signal signal);

    // Reaps members of the group that were handed to us, then says whether any member other
    // than `except` is still alive (zombies do not count).
    static bool groupHasLiveMembers(qint64 groupId, qint64 except = 0);

    // The path of the program a process runs now, as the kernel gives it (a file replaced or
    // removed since keeps its old path, followed by " (deleted)"); empty when it cannot be told,
    // as for another user's process.
    static QString executableOf(qint64 pid);

    // The process's argument list, first the name it was started under; empty when unknown.
    static QStringList commandLineOf(qint64 pid);

    // This process and every ancestor up to init.
    static QSet<qint64> selfAndAncestors();

    // Whether the process exists and has not ended (a zombie has).
    static bool isAlive(qint64 pid);

    // Whether the process's real owner is the user this program runs as; false when unknown.
    static bool belongsToThisUser(qint64 pid);

    // Reaps every child of ours that has ended, except those in `owned` (started by us, whose
    // status their owner collects): orphans of our descendants handed to us.
    static void reapAdoptedChildren(const QSet<qint64>& owned);

    // Blocks until no member of the group other than `except` lives (zombies do not count), the
    // deadline passes, or `wakeFd` becomes readable; true in the first case. Waits on the
    // members' exits, without polling, and reaps nothing.
    static bool awaitGroupEnd(qint64 groupId, qint64 except, QDeadlineTimer deadline, int wakeFd = -1);

    // Stops a process in place (it cannot act until continued or killed).
    static bool suspendProcess(qint64 pid);

    static void sleepMicroseconds(quint32 microseconds);

    // Hands memory freed by this process back to the system, after a large one-off use.
    static void releaseFreeMemory();
};
