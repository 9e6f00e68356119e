#include "proc_table.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<qint64> pids()
{
    QList<qint64> result;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (isPid) {
            result.append(pid);
        }
    }
    return result;
}

} // namespace

QList<ProcTable::Entry> ProcTable::all()
{
    QList<Entry> entries;
    for (const qint64 pid : pids()) {
        // "pid (comm) state ppid pgrp ...": comm may hold blanks and parentheses.
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0) {
            continue;
        }
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() < 3 || fields.at(0).isEmpty()) {
            continue;
        }
        entries.append({pid, fields.at(1).toLongLong(), fields.at(2).toLongLong(), fields.at(0).at(0)});
    }
    return entries;
}

QList<qint64> ProcTable::group(qint64 groupId)
{
    QList<qint64> members;
    for (const Entry& entry : all()) {
        if (entry.group == groupId) {
            members.append(entry.pid);
        }
    }
    return members;
}

QList<qint64> ProcTable::withCommandLineContaining(const QByteArray& text)
{
    QList<qint64> found;
    for (const qint64 pid : pids()) {
        if (readFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains(text)) {
            found.append(pid);
        }
    }
    return found;
}

QList<qint64> ProcTable::zombieChildrenOf(qint64 parent)
{
    QList<qint64> zombies;
    for (const Entry& entry : all()) {
        if (entry.parent == parent && entry.state == 'Z') {
            zombies.append(entry.pid);
        }
    }
    return zombies;
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

qint64 ProcTable::proportionalBytes(qint64 pid)
{
    for (const QByteArray& line : readFile(QStringLiteral("/proc/%1/smaps_rollup").arg(pid)).split('\n')) {
        if (line.startsWith("Pss:")) {
            return line.mid(4).trimmed().split(' ').value(0).toLongLong() * 1024;
        }
    }
    return -1;
}

qint64 ProcTable::cpuNanoseconds(qint64 pid)
{
    // utime and stime count every thread, ended ones included, in clock ticks.
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0) {
        return -1;
    }
    // After the comm: state is field 3 of the whole line, utime 14 and stime 15.
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 13) {
        return -1;
    }
    const qint64 ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    return ticks * (1000000000 / ::sysconf(_SC_CLK_TCK));
}

QHash<qint64, qint64> ProcTable::contextSwitches(qint64 pid)
{
    QHash<qint64, qint64> switches;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& thread : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        qint64 total = 0;
        for (const QByteArray& line : readFile(tasks + u'/' + thread + QStringLiteral("/status")).split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:")) {
                total += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
            }
        }
        switches.insert(thread.toLongLong(), total);
    }
    return switches;
}

QStringList ProcTable::descriptorTargets(qint64 pid)
{
    QStringList targets;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& fd : fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)) {
        // Read as it is: QFileInfo would make "pipe:[123]" a path below /proc.
        char target[4096];
        const ssize_t length = ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), target, sizeof target);
        if (length > 0) {
            targets.append(QFile::decodeName(QByteArray(target, length)));
        }
    }
    return targets;
}

QStringList ProcTable::descriptorsUnder(qint64 pid, const QString& folder)
{
    QStringList targets;
    for (const QString& target : descriptorTargets(pid)) {
        if (target.startsWith(folder + u'/')) {
            targets.append(target);
        }
    }
    return targets;
}

int ProcTable::openDescriptors(qint64 pid)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    if (!fds.exists()) {
        return -1;
    }
    return int(fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}
