#include "devtools/desktop_session.h"
#include "tests/support/https_test_server.h"
#include "tests/support/proc_table.h"
#include "tests/support/program_run.h"
#include "tests/support/test_sandbox.h"

#include <QtDBus>
#include <QtTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

constexpr int Patience = DesktopSession::Patience;

bool waitFor(const std::function<bool()>& condition)
{
    return ProgramRun::waitUntil(condition, Patience);
}

const QString Watcher = u"org.kde.StatusNotifierWatcher"_s, Item = u"org.kde.StatusNotifierItem"_s;
const QString Menu = u"com.canonical.dbusmenu"_s;

// The menu in the probe's form: labels joined by "|", "-" for separators.
const QString FiveEntries = u"Open Corvalt Status|-|✓ Start at Login|-|Quit"_s;

// A field of the program's latest probe line; empty when it is not there.
QString probed(const ProgramRun& run, const QString& name)
{
    const QStringList probes = run.lines().filter(u"🧪"_s);
    return QRegularExpression(u"\t%1=([^\t]*)"_s.arg(name)).match(probes.value(probes.size() - 1)).captured(1);
}

bool probeShows(ProgramRun& run, const QString& name, const QString& value)
{
    return waitFor([&] { return probed(run, name) == value; });
}

// The fields of a D-Bus structure, or of an array's first one.
QVariantList fields(const QVariant& value, bool inArray = false)
{
    const auto argument = value.value<QDBusArgument>();
    if (inArray) {
        argument.beginArray();
    }
    argument.beginStructure();
    QVariantList fields;
    while (!argument.atEnd()) {
        fields.append(argument.asVariant());
    }
    return fields;
}

// Clicks what the probe placed under that name: the tray icon, a menu bar title or an entry.
bool click(const DesktopSession& desktop, const ProgramRun& run, const QString& name, int button = 1)
{
    const QStringList xy = probed(run, name).split(u',');
    // Not "mousemove --sync": it never returns when the pointer is already there.
    return xy.size() == 2 && desktop.run(u"xdotool mousemove %1 %2 click %3"_s.arg(xy[0], xy[1]).arg(button));
}

// A click that comes right after a menu closed is swallowed: click again until a menu opens.
bool openMenu(const DesktopSession& desktop, ProgramRun& run, const QString& name, int button = 1)
{
    const auto menuOpen = [&run] { return !probed(run, u"menu"_s).isEmpty(); };
    return waitFor([&] { return !menuOpen() && click(desktop, run, name, button) && run.waitUntil(menuOpen, 3000); });
}

// The menu as a host reads its layout, in the probe's form; given a label, the host then
// clicks that entry.
QString layout(const DesktopSession& desktop, const QString& menu, const QString& click = {})
{
    const QDBusMessage reply = desktop.call(menu, Menu, u"GetLayout"_s, {0, -1, QStringList()});
    QStringList labels;
    for (const QVariant& child : qdbus_cast<QVariantList>(fields(reply.arguments().value(1)).value(2))) {
        const QVariantList entry = fields(child);
        const auto properties = qdbus_cast<QVariantMap>(entry.value(1));
        labels.append(properties.value(u"type"_s) == u"separator"_s ? u"-"_s : properties.value(u"label"_s).toString());
        if (labels.last() == click) {
            desktop.call(menu, Menu, u"Event"_s, {entry[0], u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0U});
        }
    }
    return labels.join(u'|');
}

} // namespace

// The tray program as users meet it, on desktops of the test's own: icewm's XEmbed tray, and
// xfce4-panel's StatusNotifierItem host for X11 and Wayland clients, driven as a user and as a
// host would, against a local HTTPS distribution server in a temporary home.
class TestTrayEndToEnd : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void itemRegistered() { m_registeredAt = ProgramRun::Clock::now(); }

private Q_SLOTS:
    void trayMenu_data()
    {
        QTest::addColumn<bool>("statusNotifier");
        QTest::addColumn<bool>("hostLater");
        QTest::newRow("xembed, tray at launch") << false << false;
        // As on a bare window manager, and a panel that starts after the program.
        QTest::newRow("xembed, tray later") << false << true;
        // Both also restart the host.
        QTest::newRow("status notifier, x11, host at launch") << true << false;
        QTest::newRow("status notifier, wayland, host later") << true << true;
    }

    void trayMenu();

    void lostDisplayEndsTheTool()
    {
        // At a logout the display and the bus may go before any signal comes: Qt then exits.
        auto desktop = std::make_unique<DesktopSession>();
        QVERIFY(desktop->start(DesktopSession::Display) && desktop->start(DesktopSession::Bus));
        const auto run = launch(*desktop);
        QVERIFY(waitFor([this] { return m_sandbox->toolReport().has_value(); }));
        desktop.reset();
        QVERIFY(toolEnded(*run, u"🛑 Exiting without a quit, stopping the CLI"_s));
    }

private:
    std::unique_ptr<ProgramRun> launch(const DesktopSession& desktop, bool wayland = false)
    {
        if (!m_server) {
            m_server = std::make_unique<HttpsTestServer>(QStringLiteral(TEST_CERT_DIR "/server"));
            m_server->setRoute(
                "/static/cli/" + TestSandbox::AssetName.toUtf8(),
                {200, TestSandbox::toolScript("trap 'exit 0' TERM\nwhile :; do sleep 0.2 & wait $!; done\n"), {}, {}});
            m_server->listen();
        }
        m_sandbox = std::make_unique<TestSandbox>();
        auto run = std::make_unique<ProgramRun>(
            QStringLiteral(TRAY_UNDER_TEST), m_sandbox->environment(m_server->origin(), desktop.environment(wayland)));
        // One that did not start fails the first wait.
        run->start();
        return run;
    }

    // The program's exit ended the tool: through "Quit" it exits 0, without one it says so.
    bool toolEnded(ProgramRun& run, const QString& withoutQuit = {})
    {
        const auto tool = m_sandbox->toolReport();
        return tool && run.waitForExit(Patience) &&
            (withoutQuit.isEmpty() ? run.exitedNormally() && run.exitCode() == 0 : run.hasLine(withoutQuit)) &&
            run.hasLine(u"🧹 Terminating running CLI process"_s) &&
            waitFor([&tool] { return ProcTable::group(tool->group).isEmpty(); });
    }

    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<TestSandbox> m_sandbox;
    ProgramRun::Clock::time_point m_registeredAt;
};

void TestTrayEndToEnd::trayMenu()
{
    QFETCH(bool, statusNotifier);
    QFETCH(bool, hostLater);
    const bool wayland = statusNotifier && hostLater;
    DesktopSession desktop;
    QVERIFY(desktop.start(DesktopSession::Display) && desktop.start(DesktopSession::Bus));
    // icewm is the window manager of X11 rows; as the XEmbed tray it may come later.
    QVERIFY(wayland ? desktop.start(DesktopSession::Weston)
                    : (hostLater && !statusNotifier) || desktop.start(DesktopSession::Icewm));
    QVERIFY(!statusNotifier || hostLater || desktop.start(DesktopSession::Panel));
    // At a login the window opens by itself while the user types elsewhere: it shows, but the
    // keyboard stays where it was.
    QVERIFY(hostLater || desktop.start(DesktopSession::FocusHolder));
    const auto run = launch(desktop, wayland);
    QVERIFY2(probeShows(*run, u"window"_s, u"1"_s), qPrintable(run->lines().join(u'\n')));
    QVERIFY(hostLater || desktop.activeWindowIs(u"focus-holder"_s));
    QCOMPARE(run->hasLine(u"⚠️ No system tray available: the Corvalt menu is in the terminal window's menu bar"_s),
             hostLater);
    if (hostLater && !wayland) {
        QVERIFY(openMenu(desktop, *run, u"Corvalt"_s));
        QCOMPARE(probed(*run, u"menu"_s), QString(FiveEntries).remove(u"|-"_s));
        QVERIFY(desktop.run(u"xdotool key Escape"_s));
    }

    // A host that starts late, and one that restarts, get the item again: timed from the
    // watcher's appearance to the item's registration, both as the bus tells.
    QDBusServiceWatcher watcher(Watcher, desktop.bus(), QDBusServiceWatcher::WatchForRegistration);
    ProgramRun::Clock::time_point hostUp;
    connect(&watcher, &QDBusServiceWatcher::serviceRegistered, this, [&hostUp] { hostUp = ProgramRun::Clock::now(); });
    QVERIFY(desktop.bus().connect(
        {}, u"/StatusNotifierWatcher"_s, Watcher, u"StatusNotifierItemRegistered"_s, this, SLOT(itemRegistered())));
    for (const bool restart : {false, true}) {
        if (restart ? statusNotifier : hostLater) {
            // At a login, autostart entries and the panel start together; the panel is slower.
            QVERIFY(restart ? desktop.stopPanel()
                            : waitFor([&run] { return ProgramRun::Clock::now() - run->startedAt() > 3s; }));
            hostUp = m_registeredAt = {};
            QVERIFY(statusNotifier ? desktop.start(DesktopSession::Panel) : desktop.start(DesktopSession::Icewm));
            if (statusNotifier) {
                QVERIFY(waitFor([&] { return m_registeredAt > hostUp; }));
                qInfo("%s host: item registered %lld ms after the watcher appeared",
                      restart ? "restarted" : "late",
                      qint64((m_registeredAt - hostUp) / 1ms));
            }
        }
    }

    const QVariant items =
        desktop.property(Watcher + u"/StatusNotifierWatcher"_s, Watcher, u"RegisteredStatusNotifierItems"_s);
    const QString item = items.toStringList().value(0);
    const QString menu =
        item.section(u'/', 0, 0) + desktop.property(item, Item, u"Menu"_s).value<QDBusObjectPath>().path();
    if (statusNotifier) {
        // The icon's name and pixmaps come before the title.
        QCOMPARE(fields(desktop.property(item, Item, u"ToolTip"_s)).value(2).toString(), u"Corvalt"_s);
        const QVariantList pixmap = fields(desktop.property(item, Item, u"IconPixmap"_s), true);
        const QByteArray argb = pixmap.value(2).toByteArray();
        QVERIFY(pixmap.value(0).toInt() * pixmap.value(1).toInt() * 4 == argb.size() && argb.count('\0') < argb.size());
    }
    if (!wayland) {
        // Both buttons open the menu (a host's Activate is a left click), for desktops that pass
        // on only one. A Wayland client may not place a menu: there it opens the window.
        QVERIFY(statusNotifier ? desktop.call(item, Item, u"Activate"_s, {100, 10}).errorName().isEmpty()
                               : openMenu(desktop, *run, u"tray"_s, 3));
        QVERIFY(probeShows(*run, u"menu"_s, FiveEntries));
        QVERIFY(desktop.run(u"xdotool key Escape"_s));
    }
    // Chooses an entry once the menu shows the five entries with the given state: as a host
    // reads and clicks it, or by a left click on the icon and one on the entry.
    const auto choose = [&](const QString& label, bool startAtLogin) {
        const QString shown = startAtLogin ? FiveEntries : QString(FiveEntries).remove(u"✓ "_s);
        return statusNotifier
            ? waitFor([&] { return layout(desktop, menu) == shown; }) && !layout(desktop, menu, label).isEmpty()
            : openMenu(desktop, *run, u"tray"_s) && probeShows(*run, u"menu"_s, shown) && click(desktop, *run, label);
    };
    for (const bool on : {false, true}) {
        QVERIFY(choose(on ? u"Start at Login"_s : u"✓ Start at Login"_s, !on));
        QVERIFY(waitFor([&] { return QFileInfo::exists(m_sandbox->autostartEntryPath()) == on; }));
    }
    if (!wayland) {
        QVERIFY(desktop.run(u"wmctrl -c 'Corvalt Terminal'"_s));
        QVERIFY(probeShows(*run, u"window"_s, {}));
        QVERIFY(choose(u"Open Corvalt Status"_s, true));
        QVERIFY(probeShows(*run, u"window"_s, u"1"_s));
        // Asked for, the window takes the keyboard.
        QVERIFY(waitFor([&desktop] { return desktop.activeWindowIs(u"Corvalt Terminal"_s); }));
    }
    QVERIFY(choose(u"Quit"_s, true));
    QVERIFY(toolEnded(*run));
}

QTEST_GUILESS_MAIN(TestTrayEndToEnd)
#include "tst_tray_end_to_end.moc"
