#pragma once

#include "tests/support/in_order.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>

#include <chrono>
#include <functional>

// One run of the tray program, its log read as it arrives. Lines are kept with the moment they
// were read, except those a filter turns away (a flood's own lines), which are only counted, so
// that a run can log gigabytes. Ended by pid when still running at destruction: SIGTERM first,
// so that it stops its tool, then SIGKILL.
class ProgramRun : public QObject
{
public:
    using Clock = std::chrono::steady_clock;
    using KeepLine = std::function<bool(QByteArrayView)>;

    ProgramRun(const QString& program, const QProcessEnvironment& environment, QObject* parent = nullptr);
    ~ProgramRun() override;

    // Lines for which `keep` is false are counted in logBytes() but not kept.
    void setLineFilter(KeepLine keep) { m_keep = std::move(keep); }
    void setArguments(const QStringList& arguments) { m_process.setArguments(arguments); }
    bool start();

    qint64 processId() const { return m_processId; }
    bool exitedNormally() const { return m_process.exitStatus() == QProcess::NormalExit; }
    int exitCode() const { return m_process.exitCode(); }
    void terminate() { m_process.terminate(); }
    // As a crash would: no chance to clean up.
    void kill() { m_process.kill(); }

    const QStringList& lines() const { return m_lines; }
    bool hasLine(const QString& line) const { return m_lines.contains(line); }
    qsizetype indexOf(const QString& line, qsizetype from = 0) const { return m_lines.indexOf(line, from); }
    QStringList linesStartingWith(const QStringList& prefixes) const { return ::linesStartingWith(m_lines, prefixes); }
    // Every byte the program wrote to standard output so far.
    qint64 logBytes() const { return m_logBytes; }

    Clock::time_point startedAt() const { return m_startedAt; }
    Clock::time_point lineReadAt(qsizetype index) const { return m_lineTimes.at(index); }
    Clock::time_point exitedAt() const { return m_exitedAt; }

    // Runs the event loop until the condition holds or the time is up.
    static bool waitUntil(const std::function<bool()>& condition, int milliseconds);
    bool waitForLine(const QString& line, int ms)
    {
        return waitUntil([&] { return hasLine(line); }, ms);
    }
    bool waitForLineContaining(const QString& text, int ms)
    {
        return waitUntil([&] { return !m_lines.filter(text).isEmpty(); }, ms);
    }
    bool waitForExit(int ms)
    {
        return waitUntil([this] { return m_process.state() == QProcess::NotRunning; }, ms);
    }

private:
    void readOutput();

    QProcess m_process;
    qint64 m_processId = 0;
    KeepLine m_keep;
    QByteArray m_pending;
    QStringList m_lines;
    QList<Clock::time_point> m_lineTimes;
    qint64 m_logBytes = 0;
    Clock::time_point m_startedAt;
    Clock::time_point m_exitedAt;
};
