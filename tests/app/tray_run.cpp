#include "tray_run.h"

#include "x_session.h"

TrayRun::TrayRun(const QString& program, const QProcessEnvironment& environment, QObject* parent) : QObject(parent)
{
    m_process.setProgram(program);
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setReadChannel(QProcess::StandardOutput);
    XSession::dieWithParent(m_process);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &TrayRun::readOutput);
    connect(&m_process, &QProcess::finished, this, &TrayRun::readOutput);
    // Qt's warnings go to the test's own output, for whoever reads a failure.
    connect(&m_process, &QProcess::readyReadStandardError, this, [this] {
        const QByteArray text = m_process.readAllStandardError();
        qInfo("tray stderr: %s", text.trimmed().constData());
    });
}

TrayRun::~TrayRun()
{
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool TrayRun::start()
{
    m_clock.start();
    m_process.start();
    return m_process.waitForStarted(10000);
}

QStringList TrayRun::logLines() const
{
    QStringList log;
    for (const QString& line : m_lines) {
        if (!ProbeState::isStateLine(line)) {
            log.append(line);
        }
    }
    return log;
}

void TrayRun::readOutput()
{
    m_pending += m_process.readAllStandardOutput();
    qsizetype end = 0;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_pending.left(end));
        m_pending.remove(0, end + 1);
        m_lines.append(line);
        m_arrivals.append(m_clock.elapsed());
        if (ProbeState::isStateLine(line)) {
            m_state = ProbeState::parse(line);
            ++m_stateCount;
        }
    }
}
