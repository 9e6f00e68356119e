#include "local_dist_server.h"

#include <QDeadlineTimer>
#include <QFile>

#include <csignal>
#include <sys/prctl.h>

LocalDistServer::~LocalDistServer()
{
    stop();
}

bool LocalDistServer::start(const QString& name, const QString& file, quint16 port)
{
    stop();
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process.start(QStringLiteral(LOCAL_DIST_SERVER),
                    {QStringLiteral(TEST_CERT_DIR "/server"), QString::number(port), name, file});
    if (!m_process.waitForStarted(10000)) {
        return false;
    }
    QByteArray output;
    const QDeadlineTimer deadline(30000);
    while (!output.contains('\n') && m_process.waitForReadyRead(int(deadline.remainingTime()))) {
        output += m_process.readAllStandardOutput();
    }
    if (!output.startsWith("listening on ")) {
        return false;
    }
    m_port = quint16(output.mid(13).trimmed().toUInt());
    return m_port != 0;
}

qint64 LocalDistServer::bytesWritten() const
{
    // Its only other output is the one line that says where it listens.
    QFile io(QStringLiteral("/proc/%1/io").arg(m_process.processId()));
    if (!io.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("wchar: ")) {
            return line.mid(7).toLongLong();
        }
    }
    return -1;
}

void LocalDistServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}
