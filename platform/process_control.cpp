#include "platform/process_control.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <malloc.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int posixSignal(ProcessControl::Signal signal)
{
    switch (signal) {
    case ProcessControl::Signal::Probe:
        return 0;
    case ProcessControl::Signal::Terminate:
        return SIGTERM;
    case ProcessControl::Signal::Kill:
        return SIGKILL;
    }
    return 0;
}

struct ProcStat
{
    qint64 parent = 0;
    qint64 group = 0;
    char state = '?';
};

// /proc/PID/stat: "pid (comm) state ppid pgrp ..."; comm may hold blanks and parentheses.
bool readProcStat(qint64 pid, ProcStat& stat)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray line = file.readAll();
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0) {
        return false;
    }
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    if (fields.size() < 3 || fields.at(0).isEmpty()) {
        return false;
    }
    stat.state = fields.at(0).at(0);
    stat.parent = fields.at(1).toLongLong();
    stat.group = fields.at(2).toLongLong();
    return true;
}

// Every process /proc lists now, with what its stat line says.
template <typename Visit>
void forEachProcess(Visit visit)
{
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        ProcStat stat;
        if (isPid && readProcStat(pid, stat)) {
            visit(pid, stat);
        }
    }
}

} // namespace

void ProcessControl::becomeSessionLeader()
{
    ::setsid();
}

void ProcessControl::adoptOrphanedDescendants()
{
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

bool ProcessControl::signalProcess(qint64 pid, Signal signal)
{
    // 0, -1 and negative ids address groups or every process: never a single process.
    if (pid <= 1) {
        return false;
    }
    if (::kill(static_cast<pid_t>(pid), posixSignal(signal)) != 0) {
        return false;
    }
    // A zombie has ended; it only waits for its parent to reap it.
    ProcStat stat;
    return signal != Signal::Probe || !readProcStat(pid, stat) || stat.state != 'Z';
}

bool ProcessControl::signalGroup(qint64 groupId, Signal signal)
{
    if (groupId <= 1) {
        return false;
    }
    return ::kill(-static_cast<pid_t>(groupId), posixSignal(signal)) == 0;
}

bool ProcessControl::groupHasLiveMembers(qint64 groupId, qint64 except)
{
    if (groupId <= 1) {
        return false;
    }
    const qint64 self = ::getpid();
    bool alive = false;
    forEachProcess([&](qint64 pid, const ProcStat& stat) {
        if (stat.group != groupId) {
            return;
        }
        if (stat.state == 'Z') {
            // Only orphans handed to us are ours to reap; our direct children belong to their
            // QProcess, which reaps its own shell and is never a member we pick here.
            if (stat.parent == self && pid != groupId) {
                ::waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG);
            }
            return;
        }
        alive = alive || pid != except;
    });
    return alive;
}

void ProcessControl::reapAdoptedChildren(const QSet<qint64>& owned)
{
    const qint64 self = ::getpid();
    forEachProcess([&](qint64 pid, const ProcStat& stat) {
        if (stat.parent == self && stat.state == 'Z' && !owned.contains(pid)) {
            ::waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG);
        }
    });
}

bool ProcessControl::awaitGroupEnd(qint64 groupId, qint64 except, QDeadlineTimer deadline, int wakeFd)
{
    if (groupId <= 1) {
        return true;
    }
    for (;;) {
        // A process's descriptor becomes readable when it ends, child of ours or not. Members
        // forked meanwhile are found by the next look.
        std::vector<pollfd> watched;
        bool alive = false;
        bool unwatchable = false;
        forEachProcess([&](qint64 pid, const ProcStat& stat) {
            if (stat.group != groupId || stat.state == 'Z' || pid == except) {
                return;
            }
            alive = true;
            // Called directly: Debian 12's C library declares its wrapper for C only.
            const int fd = int(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
            if (fd >= 0) {
                watched.push_back({fd, POLLIN, 0});
            } else if (errno != ESRCH) {
                unwatchable = true;
            }
        });
        if (wakeFd >= 0) {
            watched.push_back({wakeFd, POLLIN, 0});
        }
        int timeout = deadline.isForever() ? -1 : int(std::min<qint64>(deadline.remainingTime(), INT_MAX));
        // Only a kernel without process descriptors leaves a look every few milliseconds.
        if (unwatchable) {
            timeout = timeout < 0 ? 10 : std::min(timeout, 10);
        }
        const bool wait = alive && !deadline.hasExpired();
        const int ready = wait ? ::poll(watched.data(), watched.size(), timeout) : 0;
        const bool woken = wait && ready > 0 && wakeFd >= 0 && watched.back().revents != 0;
        for (const pollfd& entry : watched) {
            if (entry.fd != wakeFd) {
                ::close(entry.fd);
            }
        }
        if (!alive) {
            return true;
        }
        if (!wait || woken) {
            return false;
        }
    }
}

QString ProcessControl::executableOf(qint64 pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
}

QStringList ProcessControl::commandLineOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QByteArray bytes = file.readAll();
    if (bytes.endsWith('\0')) {
        bytes.chop(1);
    }
    QStringList arguments;
    if (bytes.isEmpty()) {
        return arguments;
    }
    for (const QByteArray& argument : bytes.split('\0')) {
        arguments.append(QFile::decodeName(argument));
    }
    return arguments;
}

QSet<qint64> ProcessControl::selfAndAncestors()
{
    QSet<qint64> pids;
    qint64 pid = ::getpid();
    while (pid > 1 && !pids.contains(pid)) {
        pids.insert(pid);
        ProcStat stat;
        if (!readProcStat(pid, stat)) {
            break;
        }
        pid = stat.parent;
    }
    return pids;
}

bool ProcessControl::isAlive(qint64 pid)
{
    ProcStat stat;
    return readProcStat(pid, stat) && stat.state != 'Z';
}

bool ProcessControl::belongsToThisUser(qint64 pid)
{
    // "Uid:" then the real, effective, saved and file-system ids.
    const QList<QByteArray> lines = [pid] {
        QFile file(QStringLiteral("/proc/%1/status").arg(pid));
        return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
    }();
    for (const QByteArray& line : lines) {
        if (line.startsWith("Uid:")) {
            bool isNumber = false;
            const qint64 realUser = line.mid(4).simplified().split(' ').value(0).toLongLong(&isNumber);
            return isNumber && realUser == qint64(::getuid());
        }
    }
    return false;
}

bool ProcessControl::suspendProcess(qint64 pid)
{
    if (pid <= 1) {
        return false;
    }
    return ::kill(static_cast<pid_t>(pid), SIGSTOP) == 0;
}

void ProcessControl::sleepMicroseconds(quint32 microseconds)
{
    ::usleep(microseconds);
}

void ProcessControl::releaseFreeMemory()
{
    ::malloc_trim(0);
}
