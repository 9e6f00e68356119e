#include "desktop_session.h"

#include "tests/support/proc_table.h"
#include "tests/support/program_run.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>

#include <csignal>
#include <sys/prctl.h>

namespace {

constexpr int Patience = 60000;

QStringList words(const char* text)
{
    return QString::fromLatin1(text).split(u' ');
}

void stop(QProcess& process)
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
}

// The first line the process writes: what Xvfb and dbus-daemon write once they serve.
QString firstLine(QProcess& process)
{
    QByteArray text;
    process.waitForStarted(Patience);
    ProgramRun::waitUntil(
        [&] {
            text += process.readAllStandardOutput();
            return text.contains('\n') || process.state() != QProcess::Running;
        },
        Patience);
    return QString::fromUtf8(text.left(text.indexOf('\n')));
}

} // namespace

DesktopSession::DesktopSession() : m_busName(QStringLiteral("desktop-%1").arg(quintptr(this))) { }

DesktopSession::~DesktopSession()
{
    stopPanel();
    QDBusConnection::disconnectFromBus(m_busName);
    // Clients first, the display and the bus last.
    for (auto process = m_processes.rbegin(); process != m_processes.rend(); ++process) {
        stop(**process);
    }
}

QProcess& DesktopSession::launch(const QString& program, const QStringList& arguments)
{
    auto& process = m_processes.emplace_back(std::make_unique<QProcess>());
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process->setProcessEnvironment(environment());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(program, arguments);
    return *process;
}

bool DesktopSession::start()
{
    m_environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER"}) {
        m_environment.remove(QString::fromLatin1(name));
    }
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
        m_environment.insert(QString::fromLatin1(name), m_home.filePath(QString::fromLatin1(name)));
        QDir().mkpath(m_home.filePath(QString::fromLatin1(name)));
    }
    QFile::setPermissions(m_home.filePath(QStringLiteral("XDG_RUNTIME_DIR")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_environment.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
    // Xvfb picks a free display itself and writes its number once it accepts clients.
    m_environment.insert(QStringLiteral("DISPLAY"),
                         u':' +
                             firstLine(launch(QStringLiteral("Xvfb"),
                                              words("-displayfd 1 -screen 0 1280x800x24 -nolisten tcp -noreset"))));
    // Services the bus starts (the panel's settings daemon) live in this home too.
    m_environment.insert(
        QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
        firstLine(launch(QStringLiteral("dbus-daemon"), words("--session --nofork --print-address=1"))));
    return m_environment.value(QStringLiteral("DISPLAY")).size() > 1 &&
        QDBusConnection::connectToBus(m_environment.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS")), m_busName)
            .isConnected();
}

QProcessEnvironment DesktopSession::environment(bool wayland) const
{
    QProcessEnvironment environment = m_environment;
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), wayland ? QStringLiteral("wayland") : QStringLiteral("xcb"));
    if (wayland) {
        environment.remove(QStringLiteral("DISPLAY"));
        // A path, since the program has a runtime folder of its own.
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"),
                           m_home.filePath(QStringLiteral("XDG_RUNTIME_DIR/wl-test")));
    }
    return environment;
}

bool DesktopSession::startIcewm()
{
    QFile preferences(m_home.filePath(QStringLiteral("preferences")));
    if (!preferences.open(QIODevice::WriteOnly) ||
        preferences.write("TaskBarEnableSystemTray=1\nTaskBarShowClock=0\nTaskBarShowCPUStatus=0\n"
                          "TaskBarShowMEMStatus=0\nTaskBarShowNetStatus=0\nShowProgramsMenu=0\n") < 0) {
        return false;
    }
    preferences.close();
    m_environment.insert(QStringLiteral("ICEWM_PRIVCFG"), m_home.path());
    return launch(QStringLiteral("icewm"), {}).waitForStarted(Patience) &&
        ProgramRun::waitUntil([this] { return run("xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'"); },
                              Patience);
}

bool DesktopSession::startWeston()
{
    return launch(QStringLiteral("weston"),
                  words("--backend=headless-backend.so --socket=wl-test --width=1280 --height=800"))
               .waitForStarted(Patience) &&
        ProgramRun::waitUntil(
               [this] { return QFile::exists(environment(true).value(QStringLiteral("WAYLAND_DISPLAY"))); }, Patience);
}

bool DesktopSession::hasWatcher() const
{
    const QDBusConnectionInterface* const bus = this->bus().interface();
    return bus && bus->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"));
}

bool DesktopSession::startPanel()
{
    m_panel = &launch(QStringLiteral("xfce4-panel"), {QStringLiteral("--disable-wm-check")});
    // Its status tray runs in a process of its own, which takes the watcher's name.
    return ProgramRun::waitUntil([this] { return hasWatcher(); }, Patience);
}

bool DesktopSession::stopPanel()
{
    if (!m_panel) {
        return true;
    }
    const QList<qint64> plugins = ProcTable::childrenOf(m_panel->processId());
    for (const qint64 plugin : plugins) {
        ::kill(pid_t(plugin), SIGKILL);
    }
    stop(*m_panel);
    m_panel = nullptr;
    return ProgramRun::waitUntil(
        [this, &plugins] {
            return !hasWatcher() &&
                std::none_of(plugins.cbegin(), plugins.cend(), [](qint64 pid) { return ::kill(pid_t(pid), 0) == 0; });
        },
        Patience);
}

bool DesktopSession::run(const char* command) const
{
    QProcess client;
    client.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    client.setProcessEnvironment(environment());
    client.setStandardOutputFile(QProcess::nullDevice());
    client.setStandardErrorFile(QProcess::nullDevice());
    client.start(QStringLiteral("sh"), {QStringLiteral("-c"), QString::fromUtf8(command)});
    if (!client.waitForFinished(Patience)) {
        client.kill();
        client.waitForFinished(5000);
        return false;
    }
    return client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0;
}

bool DesktopSession::click(QPoint point, int button) const
{
    // Not "mousemove --sync": it never returns when the pointer is already there.
    return run(QStringLiteral("xdotool mousemove %1 %2 click %3").arg(point.x()).arg(point.y()).arg(button).toUtf8());
}
