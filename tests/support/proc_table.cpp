#include "tests/support/proc_table.h"

#include <QDir>
#include <QFile>

#include <functional>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Stat
{
    qint64 pid = 0;
    char state = '?';
    qint64 parent = 0;
    qint64 group = 0;
};

// Every process /proc lists now that matches, zombies included.
QList<qint64> processes(const std::function<bool(const Stat&)>& matches)
{
    QList<qint64> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        // "pid (comm) state ppid pgrp ...": comm may hold blanks and parentheses.
        const QByteArray stat = isPid ? readFile(QStringLiteral("/proc/%1/stat").arg(pid)) : QByteArray();
        const qsizetype close = stat.lastIndexOf(')');
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (close < 0 || fields.size() < 3 || fields.at(0).isEmpty()) {
            continue;
        }
        if (matches({pid, fields.at(0).at(0), fields.at(1).toLongLong(), fields.at(2).toLongLong()})) {
            found.append(pid);
        }
    }
    return found;
}

} // namespace

QList<qint64> ProcTable::group(qint64 groupId)
{
    return processes([groupId](const Stat& stat) { return stat.group == groupId; });
}

QList<qint64> ProcTable::childrenOf(qint64 parent)
{
    return processes([parent](const Stat& stat) { return stat.parent == parent; });
}

QList<qint64> ProcTable::zombieChildrenOf(qint64 parent)
{
    return processes([parent](const Stat& stat) { return stat.parent == parent && stat.state == 'Z'; });
}

qint64 ProcTable::statusBytes(qint64 pid, const char* field)
{
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n')) {
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
