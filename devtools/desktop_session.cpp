#include "desktop_session.h"

#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusVariant>
#include <QFile>
#include <QScopeGuard>
#include <QtCore/qtestsupport_core.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>
#include <xcb/xcb.h>

using namespace Qt::StringLiterals;

namespace {

// Each part leads a process group of its own, which holds what it started.
void signalGroup(const QProcess& part, int signal)
{
    if (part.processId() > 0) {
        ::kill(-pid_t(part.processId()), signal);
    }
}

template <typename Reply>
using XcbReply = std::unique_ptr<Reply, decltype(&std::free)>;

} // namespace

DesktopSession::DesktopSession()
{
    // Nothing of the desktop this runs in, if any, reaches the clients.
    for (const char* name :
         {"WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
        m_environment.remove(QString::fromLatin1(name));
    }
    // Private (0700), as a runtime folder must be. Services the bus starts (the panel's settings
    // daemon) live in this home too.
    m_environment.insert(u"HOME"_s, m_home.path());
    m_environment.insert(u"XDG_RUNTIME_DIR"_s, m_home.path());
    m_environment.insert(u"NO_AT_BRIDGE"_s, u"1"_s);
    m_environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    // A tray, and no clock or monitors that change between two screenshots.
    m_environment.insert(u"ICEWM_PRIVCFG"_s, m_home.path());
    QFile preferences(m_home.filePath(u"preferences"_s));
    if (preferences.open(QIODevice::WriteOnly)) {
        preferences.write("TaskBarEnableSystemTray=1\nTaskBarShowClock=0\nTaskBarShowCPUStatus=0\n"
                          "TaskBarShowMEMStatus=0\nTaskBarShowNetStatus=0\nTaskBarShowMailboxStatus=0\n"
                          "TaskBarShowApm=0\n");
    }
}

DesktopSession::~DesktopSession()
{
    QDBusConnection::disconnectFromBus(m_home.path());
    // Clients first, the display and the bus last; QProcess kills what outlives SIGTERM.
    for (auto process = m_processes.rbegin(); process != m_processes.rend(); ++process) {
        signalGroup(**process, SIGTERM);
        (*process)->waitForFinished(5000);
    }
}

bool DesktopSession::start(Part part)
{
    static constexpr const char* Commands[] = {
        "Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp -noreset",
        "dbus-daemon --session --nofork --print-address=1",
        "icewm",
        "weston --backend=headless-backend.so --socket=wl-test --width=1280 --height=800",
        "xfce4-panel --disable-wm-check",
        "xmessage -title focus-holder typing"};
    QProcess& process = *m_processes.emplace_back(std::make_unique<QProcess>());
    process.setChildProcessModifier([] {
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    process.setProcessEnvironment(m_environment);
    process.setStandardErrorFile(QProcess::nullDevice());
    if (part != Display && part != Bus) {
        process.setStandardOutputFile(QProcess::nullDevice());
    }
    process.startCommand(QString::fromLatin1(Commands[part]));
    m_panel = part == Panel ? &process : m_panel;
    if (part == Display || part == Bus) {
        process.waitForReadyRead(Patience);
        const QString line = QString::fromUtf8(process.readLine()).trimmed();
        m_environment.insert(part == Bus ? u"DBUS_SESSION_BUS_ADDRESS"_s : u"DISPLAY"_s,
                             part == Bus ? line : u':' + line);
        return !line.isEmpty() && (part == Display || QDBusConnection::connectToBus(line, m_home.path()).isConnected());
    }
    // Events (a client's output, signals on the bus) are handled meanwhile.
    return QTest::qWaitFor(
        [&] {
            return part == Icewm      ? icewmServes()
                : part == Weston      ? QFile::exists(m_home.filePath(u"wl-test"_s))
                : part == FocusHolder ? activeWindowIs(u"focus-holder"_s)
                                      : owns("org.kde.StatusNotifierWatcher");
        },
        Patience);
}

bool DesktopSession::stopPanel()
{
    // The status tray is a child in the panel's process group.
    signalGroup(*m_panel, SIGKILL);
    std::exchange(m_panel, nullptr)->waitForFinished(5000);
    // A panel that starts while the bus still names the old one hands over to it and exits.
    return QTest::qWaitFor([this] { return !owns("org.kde.StatusNotifierWatcher") && !owns("org.xfce.Panel"); },
                           Patience);
}

QProcessEnvironment DesktopSession::environment(bool wayland) const
{
    QProcessEnvironment environment = m_environment;
    if (wayland) {
        environment.remove(u"DISPLAY"_s);
        environment.insert(u"QT_QPA_PLATFORM"_s, u"wayland"_s);
        // A path, since a client may have a runtime folder of its own.
        environment.insert(u"WAYLAND_DISPLAY"_s, m_home.filePath(u"wl-test"_s));
    }
    return environment;
}

bool DesktopSession::run(const QString& command, QByteArray* output) const
{
    QProcess client;
    client.setProcessEnvironment(m_environment);
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start(u"timeout"_s, {QString::number(Patience / 1000), u"sh"_s, u"-c"_s, command});
    const bool finished = client.waitForFinished(-1);
    if (output) {
        *output = client.readAllStandardOutput();
    }
    return finished && client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0;
}

bool DesktopSession::activeWindowIs(const QString& title) const
{
    return run(u"xdotool getactivewindow getwindowname | grep -qxF '%1'"_s.arg(title));
}

QDBusMessage
DesktopSession::call(const QString& object, const QString& interface, const QString& method, QVariantList args) const
{
    QDBusInterface remote(object.section(u'/', 0, 0), u'/' + object.section(u'/', 1), interface, bus());
    return remote.callWithArgumentList(QDBus::Block, method, args);
}

QVariant DesktopSession::property(const QString& object, const QString& interface, const QString& name) const
{
    const QDBusMessage reply = call(object, u"org.freedesktop.DBus.Properties"_s, u"Get"_s, {interface, name});
    return reply.arguments().value(0).value<QDBusVariant>().variant();
}

bool DesktopSession::owns(const char* name) const
{
    return bus().interface()->isServiceRegistered(QString::fromLatin1(name));
}

// What Qt asks before it shows an XEmbed icon: the tray's selection has an owner; and icewm
// names its check window once it manages the screen.
bool DesktopSession::icewmServes() const
{
    xcb_connection_t* const connection = xcb_connect(qPrintable(m_environment.value(u"DISPLAY"_s)), nullptr);
    const auto disconnect = qScopeGuard([connection] { xcb_disconnect(connection); });
    if (xcb_connection_has_error(connection) != 0) {
        return false;
    }
    const auto atom = [connection](const char* name) {
        const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name);
        const XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    };
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const XcbReply<xcb_get_property_reply_t> check(
        xcb_get_property_reply(
            connection,
            xcb_get_property(connection, 0, root, atom("_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW, 0, 1),
            nullptr),
        &std::free);
    const XcbReply<xcb_get_selection_owner_reply_t> tray(
        xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, atom("_NET_SYSTEM_TRAY_S0")), nullptr),
        &std::free);
    return check && xcb_get_property_value_length(check.get()) > 0 && tray && tray->owner != XCB_NONE;
}
