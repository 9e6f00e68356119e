#include "tests/support/proc_table.h"

#include "tests/support/test_sandbox.h"

#include <QDir>
#include <QFile>

#include <functional>

namespace {

// Every process /proc lists now whose state, parent and group match, zombies included.
QList<qint64> processes(const std::function<bool(char, qint64, qint64)>& matches)
{
    QList<qint64> found;
    // The folders named by a number are the processes.
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs)) {
        const qint64 pid = entry.toLongLong();
        // "pid (comm) state ppid pgrp ...": comm may hold blanks and parentheses.
        const QByteArray stat = TestSandbox::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (stat.contains(')') && fields.size() >= 3 && !fields.at(0).isEmpty() &&
            matches(fields.at(0).at(0), fields.at(1).toLongLong(), fields.at(2).toLongLong())) {
            found.append(pid);
        }
    }
    return found;
}

} // namespace

QList<qint64> ProcTable::group(qint64 groupId)
{
    return processes([groupId](char, qint64, qint64 group) { return group == groupId; });
}

QList<qint64> ProcTable::childrenOf(qint64 parent)
{
    return processes([parent](char, qint64 ppid, qint64) { return ppid == parent; });
}

QList<qint64> ProcTable::zombieChildrenOf(qint64 parent)
{
    return processes([parent](char state, qint64 ppid, qint64) { return ppid == parent && state == 'Z'; });
}

qint64 ProcTable::statusBytes(qint64 pid, const char* field)
{
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : TestSandbox::readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n')) {
        if (line.startsWith(key)) {
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong() * 1024;
        }
    }
    return -1;
}

int ProcTable::openDescriptors(qint64 pid)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    return fds.exists() ? int(fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size()) : -1;
}
