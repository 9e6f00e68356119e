#pragma once

#include <QProcess>
#include <QString>

// The loopback distribution server (local-dist-server) in a process of its own,
// so that serving costs the measuring process nothing. Serves one file until destroyed.
class LocalDistServer
{
public:
    LocalDistServer() = default;
    ~LocalDistServer();
    LocalDistServer(const LocalDistServer&) = delete;
    LocalDistServer& operator=(const LocalDistServer&) = delete;

    // Serves `file` at /static/cli/`name` and returns once it listens, on `port` unless 0.
    bool start(const QString& name, const QString& file, quint16 port = 0);
    void stop();
    quint16 port() const { return m_port; }
    QString origin() const { return QStringLiteral("https://127.0.0.1:%1").arg(m_port); }
    // What the server has written to its sockets so far: TLS records, heads and bodies.
    qint64 bytesWritten() const;

private:
    QProcess m_process;
    quint16 m_port = 0;
};
