#pragma once

#include "platform/group_end_watch.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QProcess>
#include <QTimer>

#include <memory>

// One login shell running the tool, in a session and process group of its own, with its
// merged output decoded as it arrives.
//
// An interactive shell ignores SIGTERM and would answer the tool's death with its fallback run,
// so a stop first freezes the shell, asks the whole group to end, and kills the shell once the
// rest of the group is gone (or everything at the deadline).
class ToolProcess : public QObject
{
    Q_OBJECT

public:
    ToolProcess(QString shellName,
                const QString& shellPath,
                const QString& command,
                const QProcessEnvironment& environment,
                QObject* parent = nullptr);
    ~ToolProcess() override;

    const QString& shellName() const { return m_shellName; }
    qint64 processId() const;
    bool isRunning() const;
    bool isStopping() const { return m_stopRequested; }
    // Whether anything of the tool's group still lives (children it left, after the shell ended).
    bool hasLiveGroupMembers() const;

    // Starts the shell and waits until it runs or has failed to; errorString() tells why.
    bool launch();
    QString errorString() const { return m_process.errorString(); }

    // Asks the group to end and returns at once; the stop completes from the event loop. Also
    // ends what a finished run left behind in its group.
    void requestStop(std::chrono::milliseconds gracePeriod);
    // Blocks until the group has ended or the deadline of requestStop() has passed; false when
    // it passed with members still alive.
    bool waitForStop();
    // Kills every member of the group and reaps what has ended within a short margin.
    void killGroup();

Q_SIGNALS:
    void textRead(const QString& text);
    void exited(int status);

private:
    // At the end of the output a character still cut is passed on as U+FFFD.
    void readAvailable(bool atEnd);
    void onFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onStopDeadline();
    // Finishes the stop once only the frozen shell is left; true when nothing is left to do.
    bool stopCompleted();
    void finishShell();
    int remainingStopMilliseconds() const;

    QString m_shellName;
    QString m_shellExecutable;
    QProcess m_process;
    // The start of a character that the last read cut.
    QByteArray m_incomplete;
    qint64 m_groupId = 0;
    bool m_stopRequested = false;
    // Whether the stop froze a shell; a shell that has handed its process over to the tool's
    // last run is the tool itself and gets the polite request like the rest.
    bool m_shellFrozen = false;
    bool m_stopDone = false;
    QDeadlineTimer m_stopDeadline;
    QTimer m_stopTimer;
    // Wakes the stop when the group has gone; last, so it ends before anything it touches.
    std::unique_ptr<GroupEndWatch> m_groupEndWatch;
};
