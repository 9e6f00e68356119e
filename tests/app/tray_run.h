#pragma once

#include "probe_state.h"

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QStringList>

// One launch of the tray program under test, with its log lines as they arrive.
class TrayRun : public QObject
{
    Q_OBJECT

public:
    TrayRun(const QString& program, const QProcessEnvironment& environment, QObject* parent = nullptr);
    // Ends a program still running: SIGTERM first, so that it stops its tool.
    ~TrayRun() override;

    bool start();
    qint64 processId() const { return m_process.processId(); }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    int exitCode() const { return m_process.exitCode(); }
    bool exitedNormally() const { return m_process.exitStatus() == QProcess::NormalExit; }
    void terminate() { m_process.terminate(); }
    // As a crash would: no chance to clean up.
    void kill() { m_process.kill(); }

    const QStringList& lines() const { return m_lines; }
    // Log lines without the probe's.
    QStringList logLines() const;
    bool hasLine(const QString& line) const { return m_lines.contains(line); }
    qsizetype indexOf(const QString& line, qsizetype from = 0) const { return m_lines.indexOf(line, from); }
    // When the line at this index arrived, in milliseconds since the start.
    qint64 arrival(qsizetype index) const { return m_arrivals.value(index, -1); }
    // The latest probe state.
    ProbeState state() const { return m_state; }
    // How many probe lines have been read; a wait can ask for a state newer than a mark.
    int stateCount() const { return m_stateCount; }

private:
    void readOutput();

    QProcess m_process;
    QByteArray m_pending;
    QStringList m_lines;
    QList<qint64> m_arrivals;
    QElapsedTimer m_clock;
    ProbeState m_state;
    int m_stateCount = 0;
};
