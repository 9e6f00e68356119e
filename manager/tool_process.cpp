#include "manager/tool_process.h"

#include "platform/process_control.h"

#include <QFileInfo>

#include <algorithm>
#include <limits>

namespace {

// The bytes up to a UTF-8 character that the last bytes begin but do not finish.
qsizetype completeUtf8Length(QByteArrayView bytes)
{
    for (qsizetype back = 1; back <= std::min<qsizetype>(3, bytes.size()); ++back) {
        const auto byte = static_cast<unsigned char>(bytes.at(bytes.size() - back));
        if ((byte & 0xC0) == 0x80) {
            continue; // a continuation byte: look further back for its lead
        }
        const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? bytes.size() - back : bytes.size();
    }
    return bytes.size();
}

// What a killed group may take to end and be reaped.
constexpr int KillMarginMilliseconds = 100;
} // namespace

ToolProcess::ToolProcess(QString shellName,
                         const QString& shellPath,
                         const QString& command,
                         const QProcessEnvironment& environment,
                         QObject* parent)
    : QObject(parent), m_shellName(std::move(shellName)), m_shellExecutable(QFileInfo(shellPath).canonicalFilePath())
{
    m_process.setProgram(shellPath);
    m_process.setArguments({QStringLiteral("-l"), QStringLiteral("-i"), QStringLiteral("-c"), command});
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setInputChannelMode(QProcess::ForwardedInputChannel);
    m_process.setChildProcessModifier(&ProcessControl::becomeSessionLeader);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] { readAvailable(false); });
    connect(&m_process, &QProcess::finished, this, &ToolProcess::onFinished);

    m_stopTimer.setSingleShot(true);
    connect(&m_stopTimer, &QTimer::timeout, this, &ToolProcess::onStopDeadline);
}

ToolProcess::~ToolProcess()
{
    // Nothing may reach the manager from a dying object.
    m_process.disconnect(this);
    // Never leave a group behind: a shell still running, or a stop still under way, ends here.
    if (m_groupId > 0 && (isRunning() || (m_stopRequested && !m_stopDone) || hasLiveGroupMembers())) {
        killGroup();
    }
}

qint64 ToolProcess::processId() const
{
    return m_process.processId();
}

bool ToolProcess::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

bool ToolProcess::hasLiveGroupMembers() const
{
    return m_groupId > 0 && ProcessControl::groupHasLiveMembers(m_groupId);
}

bool ToolProcess::launch()
{
    m_process.start(QIODevice::ReadOnly);
    if (!m_process.waitForStarted(-1)) {
        return false;
    }
    // The shell leads a session of its own, so its pid is also its group's id.
    m_groupId = m_process.processId();
    return true;
}

void ToolProcess::requestStop(std::chrono::milliseconds gracePeriod)
{
    if (m_stopRequested || (!isRunning() && !hasLiveGroupMembers())) {
        return;
    }
    m_stopRequested = true;
    m_stopDone = false;
    m_stopDeadline.setRemainingTime(gracePeriod);
    // Frozen, the shell can neither ignore the request nor start its fallback run; its pid is
    // still ours while Qt has not reaped it.
    m_shellFrozen = isRunning() && ProcessControl::executableOf(m_groupId) == m_shellExecutable;
    if (m_shellFrozen) {
        ProcessControl::suspendProcess(m_groupId);
    }
    ProcessControl::signalGroup(m_groupId, ProcessControl::Signal::Terminate);
    // Once the rest of the group has gone, a frozen shell is ended at once: its end is what a
    // waiting stop wakes on, and an asynchronous one finishes from the event loop.
    const qint64 frozenShell = m_shellFrozen ? m_groupId : 0;
    m_groupEndWatch = std::make_unique<GroupEndWatch>(m_groupId, frozenShell, [this, frozenShell] {
        if (frozenShell > 0) {
            ProcessControl::signalProcess(frozenShell, ProcessControl::Signal::Kill);
        }
        QMetaObject::invokeMethod(
            this, [this] { stopCompleted(); }, Qt::QueuedConnection);
    });
    m_stopTimer.start(remainingStopMilliseconds());
}

int ToolProcess::remainingStopMilliseconds() const
{
    return int(std::clamp<qint64>(m_stopDeadline.remainingTime(), 0, std::numeric_limits<int>::max()));
}

bool ToolProcess::waitForStop()
{
    if (m_stopDone) {
        return true;
    }
    // While the shell lives, its end is the event to wait for, and the wait keeps draining the
    // pipe: a tool that writes as it shuts down must not block on a full one.
    if (isRunning() && !m_process.waitForFinished(remainingStopMilliseconds())) {
        return stopCompleted();
    }
    // What is left of the group writes to a pipe nobody reads any more.
    ProcessControl::awaitGroupEnd(m_groupId, 0, m_stopDeadline);
    return stopCompleted();
}

bool ToolProcess::stopCompleted()
{
    if (m_stopDone) {
        return true;
    }
    if (ProcessControl::groupHasLiveMembers(m_groupId, m_shellFrozen ? m_groupId : 0)) {
        return false;
    }
    finishShell();
    return true;
}

void ToolProcess::onStopDeadline()
{
    // Nobody waits for an asynchronous stop, so it enforces its own deadline.
    if (!stopCompleted()) {
        killGroup();
    }
}

void ToolProcess::finishShell()
{
    m_stopDone = true;
    m_stopTimer.stop();
    m_groupEndWatch.reset();
    if (m_process.state() != QProcess::NotRunning) {
        ProcessControl::signalProcess(m_groupId, ProcessControl::Signal::Kill);
        m_process.waitForFinished(KillMarginMilliseconds);
    }
    // Whatever the shell left was handed to us when it died; reap it.
    ProcessControl::groupHasLiveMembers(m_groupId);
}

void ToolProcess::killGroup()
{
    m_stopDone = true;
    m_stopTimer.stop();
    m_groupEndWatch.reset();
    ProcessControl::signalGroup(m_groupId, ProcessControl::Signal::Kill);
    const QDeadlineTimer margin(KillMarginMilliseconds);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.waitForFinished(int(margin.remainingTime()));
    }
    ProcessControl::awaitGroupEnd(m_groupId, 0, margin);
    ProcessControl::groupHasLiveMembers(m_groupId);
}

void ToolProcess::readAvailable(bool atEnd)
{
    // A character cut by a read boundary waits for the rest of its bytes. Qt's own stateful
    // decoder would do this, but it drops the byte that follows a cut character.
    m_incomplete += m_process.readAllStandardOutput();
    const qsizetype complete = atEnd ? m_incomplete.size() : completeUtf8Length(m_incomplete);
    // Invalid bytes become U+FFFD.
    const QString text = QString::fromUtf8(QByteArrayView(m_incomplete).first(complete));
    m_incomplete.remove(0, complete);
    if (!text.isEmpty()) {
        Q_EMIT textRead(text);
    }
}

void ToolProcess::onFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitStatus)
    readAvailable(true);
    Q_EMIT exited(exitCode);
}
