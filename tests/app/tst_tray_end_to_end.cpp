#include "desktop_session.h"
#include "tests/support/https_test_server.h"
#include "tests/support/test_sandbox.h"

#include <QtTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString Watcher = u"org.kde.StatusNotifierWatcher"_s;
const QString Item = u"org.kde.StatusNotifierItem"_s;
const QString Menu = u"com.canonical.dbusmenu"_s;

// In the probe's form: labels joined by "|", "-" for separators.
QString fiveEntries(bool startAtLogin)
{
    return u"Open Corvalt Status|-|%1Start at Login|-|Quit"_s.arg(startAtLogin ? u"✓ "_s : QString());
}

// A field of the program's latest probe line; empty when it is not there.
QString probed(const ProgramRun& run, const QString& name)
{
    static const QRegularExpression probeLine(u"🧪.*"_s);
    for (const QString& field : run.lines().value(run.lines().lastIndexOf(probeLine)).split(u'\t')) {
        if (field.startsWith(name + u'=')) {
            return field.mid(name.size() + 1);
        }
    }
    return {};
}

bool probeShows(ProgramRun& run, const QString& name, const QString& value)
{
    return run.waitUntil([&] { return probed(run, name) == value; }, Patience);
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
    return run.waitUntil(
        [&] { return !menuOpen() && click(desktop, run, name, button) && run.waitUntil(menuOpen, 3000); }, Patience);
}

// The menu as a host reads its layout, in the probe's form; given a label, the host then
// clicks that entry.
QString layout(const DesktopSession& desktop, const QString& menu, const QString& click = {})
{
    const QDBusMessage reply = desktop.call(menu, Menu, u"GetLayout"_s, {0, -1, QStringList()});
    const auto root = reply.arguments().value(1).value<QDBusArgument>();
    int id = 0;
    QVariantMap properties;
    QVariantList children;
    root.beginStructure();
    root >> id >> properties >> children;
    root.endStructure();
    QStringList labels;
    for (const QVariant& child : children) {
        const auto entry = child.value<QDBusArgument>();
        entry.beginStructure();
        entry >> id >> properties;
        entry.endStructure();
        const bool separator = properties.value(u"type"_s) == u"separator"_s;
        labels.append(separator ? u"-"_s : properties.value(u"label"_s).toString());
        if (labels.last() == click) {
            desktop.call(menu, Menu, u"Event"_s, {id, u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0U});
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
        QTest::addColumn<bool>("wayland");
        QTest::addColumn<bool>("hostLater");
        QTest::newRow("xembed, tray at launch") << false << false << false;
        // As on a bare window manager, and a panel that starts after the program.
        QTest::newRow("xembed, tray later") << false << false << true;
        // Both also restart the host.
        QTest::newRow("status notifier, x11, host at launch") << true << false << false;
        QTest::newRow("status notifier, wayland, host later") << true << true << true;
    }

    void trayMenu();

    void lostDisplayEndsTheTool()
    {
        // At a logout the display and the bus may go before any signal comes: Qt then exits.
        auto desktop = std::make_unique<DesktopSession>();
        QVERIFY(desktop->start());
        const auto run = launch(*desktop);
        QVERIFY(run->waitUntil([this] { return m_sandbox->toolReport().has_value(); }, Patience));
        desktop.reset();
        QVERIFY(toolEnded(*run, false));
        QVERIFY(run->hasLine(u"🛑 Exiting without a quit, stopping the CLI"_s));
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

    // The program's exit ended the tool; `quit` when it came through "Quit".
    bool toolEnded(ProgramRun& run, bool quit)
    {
        const auto tool = m_sandbox->toolReport();
        return tool && run.waitForExit(Patience) && (!quit || (run.exitedNormally() && run.exitCode() == 0)) &&
            run.hasLine(u"🧹 Terminating running CLI process"_s) &&
            ProgramRun::waitUntil([&tool] { return ProcTable::group(tool->group).isEmpty(); }, Patience);
    }

    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<TestSandbox> m_sandbox;
    ProgramRun::Clock::time_point m_registeredAt;
};

void TestTrayEndToEnd::trayMenu()
{
    QFETCH(bool, statusNotifier);
    QFETCH(bool, wayland);
    QFETCH(bool, hostLater);
    DesktopSession desktop;
    QVERIFY(desktop.start());
    // icewm is the window manager of X11 rows; as the XEmbed tray it may come later.
    QVERIFY(wayland ? desktop.startWeston() : (hostLater && !statusNotifier) || desktop.startIcewm());
    QVERIFY(!statusNotifier || hostLater || desktop.startPanel());
    const auto run = launch(desktop, wayland);
    QVERIFY2(probeShows(*run, u"window"_s, u"1"_s), qPrintable(run->lines().join(u'\n')));
    QCOMPARE(run->hasLine(u"⚠️ No system tray available: the Corvalt menu is in the terminal window's menu bar"_s),
             hostLater);
    if (hostLater && !wayland) {
        QVERIFY(openMenu(desktop, *run, u"Corvalt"_s));
        QCOMPARE(probed(*run, u"menu"_s), fiveEntries(true).remove(u"|-"_s));
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
        if (restart ? !statusNotifier : !hostLater) {
            continue;
        }
        // At a login, autostart entries and the panel start together; the panel is slower.
        QVERIFY(restart
                    ? desktop.stopPanel()
                    : run->waitUntil([&run] { return ProgramRun::Clock::now() - run->startedAt() > 3s; }, Patience));
        hostUp = m_registeredAt = {};
        QVERIFY(statusNotifier ? desktop.startPanel() : desktop.startIcewm());
        if (statusNotifier) {
            QVERIFY(run->waitUntil([&] { return m_registeredAt > hostUp; }, Patience));
            qInfo("%s host: item registered %lld ms after the watcher appeared",
                  restart ? "restarted" : "late",
                  qint64((m_registeredAt - hostUp) / 1ms));
        }
    }

    const QVariant items =
        desktop.property(Watcher + u"/StatusNotifierWatcher"_s, Watcher, u"RegisteredStatusNotifierItems"_s);
    const QString item = items.toStringList().value(0);
    const QString menu =
        item.section(u'/', 0, 0) + desktop.property(item, Item, u"Menu"_s).value<QDBusObjectPath>().path();
    if (statusNotifier) {
        const auto toolTip = desktop.property(item, Item, u"ToolTip"_s).value<QDBusArgument>();
        toolTip.beginStructure();
        // The icon's name and pixmaps come first.
        toolTip.asVariant();
        toolTip.asVariant();
        QCOMPARE(toolTip.asVariant().toString(), u"Corvalt"_s);
        const auto pixmaps = desktop.property(item, Item, u"IconPixmap"_s).value<QDBusArgument>();
        pixmaps.beginArray();
        pixmaps.beginStructure();
        const int pixels = pixmaps.asVariant().toInt() * pixmaps.asVariant().toInt();
        const QByteArray argb = pixmaps.asVariant().toByteArray();
        QVERIFY(pixels > 0 && argb.size() == pixels * 4 && argb.count('\0') < argb.size());
    }
    if (!wayland) {
        // Both buttons open the menu (a host's Activate is a left click), for desktops that pass
        // on only one. A Wayland client may not place a menu: there it opens the window.
        QVERIFY(statusNotifier ? desktop.call(item, Item, u"Activate"_s, {100, 10}).errorName().isEmpty()
                               : openMenu(desktop, *run, u"tray"_s, 3));
        QVERIFY(probeShows(*run, u"menu"_s, fiveEntries(true)));
        QVERIFY(desktop.run(u"xdotool key Escape"_s));
    }
    // Chooses an entry once the menu shows the five entries with the given state: as a host
    // reads and clicks it, or by a left click on the icon and one on the entry.
    const auto choose = [&](const QString& label, bool startAtLogin) {
        const QString shown = fiveEntries(startAtLogin);
        return statusNotifier
            ? run->waitUntil([&] { return layout(desktop, menu) == shown; }, Patience) &&
                !layout(desktop, menu, label).isEmpty()
            : openMenu(desktop, *run, u"tray"_s) && probeShows(*run, u"menu"_s, shown) && click(desktop, *run, label);
    };
    for (const bool on : {false, true}) {
        QVERIFY(choose(fiveEntries(!on).section(u'|', 2, 2), !on));
        QVERIFY(run->waitUntil([&] { return QFileInfo::exists(m_sandbox->autostartEntryPath()) == on; }, Patience));
    }
    if (!wayland) {
        QVERIFY(desktop.run(u"wmctrl -c 'Corvalt Terminal'"_s));
        QVERIFY(probeShows(*run, u"window"_s, {}));
        QVERIFY(choose(u"Open Corvalt Status"_s, true));
        QVERIFY(probeShows(*run, u"window"_s, u"1"_s));
    }
    QVERIFY(choose(u"Quit"_s, true));
    QVERIFY(toolEnded(*run, true));
}

QTEST_GUILESS_MAIN(TestTrayEndToEnd)
#include "tst_tray_end_to_end.moc"
