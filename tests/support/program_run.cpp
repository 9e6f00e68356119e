#include "tests/support/program_run.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <csignal>
#include <sys/prctl.h>

constexpr int StopMilliseconds = 30000;

ProgramRun::ProgramRun(const QString& program, const QProcessEnvironment& environment, QObject* parent)
    : QObject(parent)
{
    m_process.setProgram(program);
    m_process.setProcessEnvironment(environment);
    m_process.setStandardInputFile(QProcess::nullDevice());
    // Should the test die, the program is told to quit as at a logout, and stops its tool.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &ProgramRun::readOutput);
    connect(&m_process, &QProcess::finished, this, [this] {
        m_exitedAt = Clock::now();
        readOutput();
    });
    // Qt's warnings and sanitizer reports go to the test's own output.
    connect(&m_process, &QProcess::readyReadStandardError, this, [this] {
        qInfo("program stderr: %s", m_process.readAllStandardError().trimmed().constData());
    });
}

ProgramRun::~ProgramRun()
{
    m_process.disconnect(this);
    m_process.terminate();
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(StopMilliseconds)) {
        m_process.kill();
        m_process.waitForFinished(StopMilliseconds);
    }
}

bool ProgramRun::start()
{
    m_startedAt = Clock::now();
    m_process.start(QIODevice::ReadOnly);
    m_processId = m_process.waitForStarted(StopMilliseconds) ? m_process.processId() : 0;
    return m_processId != 0;
}

bool ProgramRun::waitUntil(const std::function<bool()>& condition, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        // Events (lines, the exit, a test server's connections) are handled meanwhile; the
        // condition may ask the file system or /proc, so it is asked again every 20 ms.
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void ProgramRun::readOutput()
{
    const QByteArray bytes = m_process.readAllStandardOutput();
    m_logBytes += bytes.size();
    m_pending += bytes;
    // Lines are cut by offset and the rest moved once: a flood arrives in large pieces.
    qsizetype begin = 0;
    for (qsizetype end = 0; (end = m_pending.indexOf('\n', begin)) >= 0; begin = end + 1) {
        const QByteArrayView line = QByteArrayView(m_pending).sliced(begin, end - begin);
        if (!m_keep || m_keep(line)) {
            m_lines.append(QString::fromUtf8(line));
            m_lineTimes.append(Clock::now());
        }
    }
    m_pending.remove(0, begin);
}
