#include "local_dist_server.h"

#include <QDeadlineTimer>

#include <csignal>
#include <sys/prctl.h>

LocalDistServer::~LocalDistServer()
{
    stop();
}

bool LocalDistServer::start(const QString& name, const QString& file)
{
    stop();
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process.start(QStringLiteral(LOCAL_DIST_SERVER),
                    {QStringLiteral(TEST_CERT_DIR "/server"), QStringLiteral("0"), name, file});
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

void LocalDistServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}
