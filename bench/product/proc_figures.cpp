#include "proc_figures.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace {
QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

qint64 ProcFigures::statusBytes(qint64 pid, const char* field)
{
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n')) {
        if (line.startsWith(key)) {
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong() * 1024;
        }
    }
    return -1;
}

qint64 ProcFigures::proportionalBytes(qint64 pid)
{
    for (const QByteArray& line : readFile(QStringLiteral("/proc/%1/smaps_rollup").arg(pid)).split('\n')) {
        if (line.startsWith("Pss:")) {
            return line.mid(4).trimmed().split(' ').value(0).toLongLong() * 1024;
        }
    }
    return -1;
}

qint64 ProcFigures::cpuNanoseconds(qint64 pid)
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

QHash<qint64, qint64> ProcFigures::contextSwitches(qint64 pid)
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
