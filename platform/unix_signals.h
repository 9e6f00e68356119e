#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <csignal>
#include <memory>
#include <utility>
#include <vector>

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the thread that created this object, and
// SIGCHLD into another. The handler only writes the signal's number into a pipe (and passes
// SIGCHLD on to the handler it replaced, as Qt's process launcher may rely on it); everything
// else runs from the event loop. At most one instance may exist at a time; its destruction
// restores the actions it replaced.
class UnixSignals : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignals(QObject* parent = nullptr);
    ~UnixSignals() override;
    UnixSignals(const UnixSignals&) = delete;
    UnixSignals& operator=(const UnixSignals&) = delete;

    // False when the pipe or a handler could not be set up; errorString() says why.
    bool isActive() const { return m_notifier != nullptr; }
    const QString& errorString() const { return m_errorString; }

Q_SIGNALS:
    // "SIGTERM", "SIGINT" or "SIGHUP".
    void received(const QString& signalName);
    // One or more child processes have ended (or were handed to us and have ended).
    void childExited();

private:
    void readPipe();

    std::vector<std::pair<int, struct sigaction>> m_previousActions;
    int m_readEnd = -1;
    int m_writeEnd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QString m_errorString;
};
