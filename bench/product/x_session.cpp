#include "x_session.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

namespace {

constexpr int ClientTimeoutMilliseconds = 15000;
constexpr int StartDeadlineMilliseconds = 30000;

void stop(QProcess* process)
{
    if (process && process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
}

} // namespace

XSession::XSession(QString trayHostProbe) : m_trayHostProbe(std::move(trayHostProbe)) { }

XSession::~XSession()
{
    stop(m_windowManager.get());
    stop(m_server.get());
}

void XSession::dieWithParent(QProcess& process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

QProcessEnvironment XSession::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    // Qt's XEmbed tray then, not a StatusNotifierItem on some session bus.
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return environment;
}

bool XSession::startServer()
{
    m_server = std::make_unique<QProcess>();
    dieWithParent(*m_server);
    m_server->setProcessChannelMode(QProcess::SeparateChannels);
    m_server->setStandardErrorFile(QProcess::nullDevice());
    // Xvfb picks a free display itself and writes its number once it accepts clients.
    m_server->start(QStringLiteral("Xvfb"),
                    {QStringLiteral("-displayfd"),
                     QStringLiteral("1"),
                     QStringLiteral("-screen"),
                     QStringLiteral("0"),
                     QStringLiteral("1280x800x24"),
                     QStringLiteral("-nolisten"),
                     QStringLiteral("tcp"),
                     QStringLiteral("-noreset")});
    if (!m_server->waitForStarted(StartDeadlineMilliseconds)) {
        return false;
    }
    QByteArray number;
    const QDeadlineTimer deadline(StartDeadlineMilliseconds);
    while (!number.contains('\n') && !deadline.hasExpired() && m_server->state() == QProcess::Running) {
        m_server->waitForReadyRead(200);
        number += m_server->readAllStandardOutput();
    }
    if (!number.contains('\n')) {
        return false;
    }
    m_display = u':' + QString::fromLatin1(number.trimmed());
    while (!run(QStringLiteral("xdpyinfo"), {})) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(100);
    }
    return true;
}

bool XSession::startWindowManager()
{
    QFile preferences(m_configDir.filePath(QStringLiteral("preferences")));
    if (!preferences.open(QIODevice::WriteOnly)) {
        return false;
    }
    preferences.write("TaskBarEnableSystemTray=1\n"
                      "TaskBarShowClock=0\n"
                      "TaskBarShowCPUStatus=0\n"
                      "TaskBarShowMEMStatus=0\n"
                      "TaskBarShowNetStatus=0\n"
                      "TaskBarShowMailboxStatus=0\n"
                      "TaskBarShowApm=0\n"
                      "ShowProgramsMenu=0\n");
    preferences.close();

    QProcessEnvironment environment = this->environment();
    environment.insert(QStringLiteral("ICEWM_PRIVCFG"), m_configDir.path());
    m_windowManager = std::make_unique<QProcess>();
    dieWithParent(*m_windowManager);
    m_windowManager->setProcessEnvironment(environment);
    m_windowManager->setStandardOutputFile(QProcess::nullDevice());
    m_windowManager->setStandardErrorFile(QProcess::nullDevice());
    m_windowManager->start(QStringLiteral("icewm"), {});
    if (!m_windowManager->waitForStarted(StartDeadlineMilliseconds)) {
        return false;
    }
    const QDeadlineTimer deadline(StartDeadlineMilliseconds);
    while (true) {
        QByteArray output;
        const bool managed = run(QStringLiteral("xprop"),
                                 {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")},
                                 &output) &&
            output.contains("window id");
        if (managed && hasTrayHost()) {
            return true;
        }
        if (deadline.hasExpired() || m_windowManager->state() != QProcess::Running) {
            return false;
        }
        QThread::msleep(100);
    }
}

bool XSession::hasTrayHost() const
{
    return run(m_trayHostProbe, {});
}

bool XSession::run(const QString& program, const QStringList& arguments, QByteArray* output) const
{
    QProcess client;
    dieWithParent(client);
    client.setProcessEnvironment(environment());
    client.setStandardErrorFile(QProcess::nullDevice());
    client.start(program, arguments);
    if (!client.waitForFinished(ClientTimeoutMilliseconds)) {
        client.kill();
        client.waitForFinished(3000);
        return false;
    }
    if (output) {
        *output = client.readAllStandardOutput();
    }
    return client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0;
}

bool XSession::click(QPoint point, int button) const
{
    // Not "mousemove --sync": it never returns when the pointer is already there.
    return run(QStringLiteral("xdotool"),
               {QStringLiteral("mousemove"),
                QString::number(point.x()),
                QString::number(point.y()),
                QStringLiteral("click"),
                QString::number(button)});
}

bool XSession::closeWindow(qulonglong windowId) const
{
    // As a user would, through the window manager: Qt then sees a close request.
    return run(QStringLiteral("wmctrl"), {QStringLiteral("-i"), QStringLiteral("-c"), QString::number(windowId)});
}

QImage XSession::screenshot(const QString& path) const
{
    if (!run(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), path})) {
        return {};
    }
    return QImage(path);
}
