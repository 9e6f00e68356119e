#include "desktop_session.h"
#include "tests/support/https_test_server.h"
#include "tests/support/proc_table.h"
#include "tests/support/program_run.h"
#include "tests/support/test_sandbox.h"

#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

// The tray program as users meet it, on desktops of the test's own: icewm's XEmbed tray, and
// xfce4-panel's StatusNotifierItem host for X11 and Wayland clients, driven as a user and as a
// host would, against a local HTTPS distribution server in a temporary home.
class TestTrayEndToEnd : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void itemRegistered() { m_itemRegistered = ProgramRun::Clock::now(); }

private Q_SLOTS:
    void initTestCase();
    void xembedTray_data();
    void xembedTray();
    void statusNotifierHost_data();
    void statusNotifierHost();
    void lostDisplayEndsTheTool();

private:
    std::unique_ptr<ProgramRun> launch(const DesktopSession& desktop, bool wayland = false);
    // The latest line of the program's probe, field by field.
    static QHash<QString, QString> probe(const ProgramRun& run);
    static QStringList labels(const QString& entries);
    static std::optional<QPoint> centre(const QString& entries, const QString& label);
    bool openMenu(ProgramRun& run, const DesktopSession& desktop, QPoint at, int button);
    bool choose(ProgramRun& run, const DesktopSession& desktop, const QString& label);
    // The program's exit ended the tool; `quit` when it came through "Quit".
    bool toolEndedWith(ProgramRun& run, bool quit = true);

    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<TestSandbox> m_sandbox;
    ProgramRun::Clock::time_point m_itemRegistered;
};

namespace {

using namespace std::chrono_literals;
constexpr int Patience = 60000;
const QString Checked = QStringLiteral("✓ Start at Login");
const QString Unchecked = QStringLiteral("Start at Login");
const QStringList FiveEntries{
    QStringLiteral("Open Corvalt Status"), QStringLiteral("-"), Checked, QStringLiteral("-"), QStringLiteral("Quit")};

// Asks the item or its menu over the bus as a host does, with gdbus; its answer as text.
QString busCall(const DesktopSession& desktop, const QString& item, const QString& method, const QStringList& arguments)
{
    const qsizetype slash = item.indexOf(u'/');
    QProcess gdbus;
    gdbus.setProcessEnvironment(desktop.environment());
    gdbus.start(QStringLiteral("gdbus"),
                QStringLiteral("call --session --dest %1 --object-path %2 --method %3")
                        .arg(item.left(slash), item.mid(slash), method)
                        .split(u' ') +
                    arguments);
    return gdbus.waitForFinished(Patience) ? QString::fromUtf8(gdbus.readAllStandardOutput()) : QString();
}

QString itemProperty(const DesktopSession& desktop, const QString& item, const QString& name)
{
    return busCall(desktop,
                   item,
                   QStringLiteral("org.freedesktop.DBus.Properties.Get"),
                   {QStringLiteral("org.kde.StatusNotifierItem"), name});
}

QStringList registeredItems(const DesktopSession& desktop)
{
    const QDBusMessage reply = desktop.bus().call(
        QDBusMessage::createMethodCall(QStringLiteral("org.kde.StatusNotifierWatcher"),
                                       QStringLiteral("/StatusNotifierWatcher"),
                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                       QStringLiteral("Get"))
        << QStringLiteral("org.kde.StatusNotifierWatcher") << QStringLiteral("RegisteredStatusNotifierItems"));
    return reply.arguments().isEmpty() ? QStringList()
                                       : reply.arguments().constFirst().value<QDBusVariant>().variant().toStringList();
}

// The menu's entries by id, as the host reads its layout: labels, "-" for separators.
QList<std::pair<int, QString>> menuEntries(const DesktopSession& desktop, const QString& menu)
{
    const QString layout = busCall(desktop,
                                   menu,
                                   QStringLiteral("com.canonical.dbusmenu.GetLayout"),
                                   {QStringLiteral("0"), QStringLiteral("int32 -1"), QStringLiteral("@as []")});
    static const QRegularExpression entry(QStringLiteral(R"(<\((\d+), \{([^{}]*)\})"));
    static const QRegularExpression label(QStringLiteral(R"('label': <'([^']*)'>)"));
    QList<std::pair<int, QString>> entries;
    for (const QRegularExpressionMatch& match : entry.globalMatch(layout)) {
        const QString properties = match.captured(2);
        entries.append({match.captured(1).toInt(),
                        properties.contains(QStringLiteral("'separator'")) ? QStringLiteral("-")
                                                                           : label.match(properties).captured(1)});
    }
    return entries;
}

QStringList menuLabels(const QList<std::pair<int, QString>>& entries)
{
    QStringList labels;
    for (const auto& entry : entries) {
        labels.append(entry.second);
    }
    return labels;
}

bool clickEntry(const DesktopSession& desktop, const QString& menu, const QString& label)
{
    for (const auto& [id, text] : menuEntries(desktop, menu)) {
        if (text == label) {
            return !busCall(
                        desktop,
                        menu,
                        QStringLiteral("com.canonical.dbusmenu.Event"),
                        {QString::number(id), QStringLiteral("clicked"), QStringLiteral("<0>"), QStringLiteral("0")})
                        .isNull();
        }
    }
    return false;
}

} // namespace

void TestTrayEndToEnd::initTestCase()
{
    m_server = std::make_unique<HttpsTestServer>(QStringLiteral(TEST_CERT_DIR "/server"));
    m_server->setRoute(
        "/static/cli/" + TestSandbox::AssetName.toUtf8(),
        {200, TestSandbox::toolScript("trap 'exit 0' TERM\nwhile :; do sleep 0.2 & wait $!; done\n"), {}, {}});
    QVERIFY(m_server->listen());
}

std::unique_ptr<ProgramRun> TestTrayEndToEnd::launch(const DesktopSession& desktop, bool wayland)
{
    m_sandbox = std::make_unique<TestSandbox>();
    auto run = std::make_unique<ProgramRun>(QStringLiteral(TRAY_UNDER_TEST),
                                            m_sandbox->environment(m_server->origin(), desktop.environment(wayland)));
    // One that did not start fails the first wait.
    run->start();
    return run;
}

QHash<QString, QString> TestTrayEndToEnd::probe(const ProgramRun& run)
{
    QHash<QString, QString> fields;
    for (auto line = run.lines().crbegin(); line != run.lines().crend() && fields.isEmpty(); ++line) {
        if (line->startsWith(u"🧪 state\t")) {
            for (const QString& field : line->split(u'\t').mid(1)) {
                fields.insert(field.section(u'=', 0, 0), field.section(u'=', 1));
            }
        }
    }
    return fields;
}

QStringList TestTrayEndToEnd::labels(const QString& entries)
{
    QStringList labels;
    for (const QString& entry : entries.split(u'|', Qt::SkipEmptyParts)) {
        labels.append(entry.section(u'@', 0, 0));
    }
    return labels;
}

std::optional<QPoint> TestTrayEndToEnd::centre(const QString& entries, const QString& label)
{
    for (const QString& entry : entries.split(u'|')) {
        if (entry.section(u'@', 0, 0) == label) {
            const QString xy = entry.section(u'@', 1);
            return QPoint(xy.section(u',', 0, 0).toInt(), xy.section(u',', 1).toInt());
        }
    }
    return std::nullopt;
}

bool TestTrayEndToEnd::openMenu(ProgramRun& run, const DesktopSession& desktop, QPoint at, int button)
{
    // A click that comes right after a menu closed is swallowed: click again until it opens.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!desktop.click(at, button)) {
            return false;
        }
        if (ProgramRun::waitUntil([&run] { return !probe(run).value(QStringLiteral("menu")).isEmpty(); }, 3000)) {
            return true;
        }
    }
    return false;
}

bool TestTrayEndToEnd::choose(ProgramRun& run, const DesktopSession& desktop, const QString& label)
{
    const auto at = centre(probe(run).value(QStringLiteral("menu")), label);
    return at && desktop.click(*at, 1) &&
        ProgramRun::waitUntil([&run] { return probe(run).value(QStringLiteral("menu")).isEmpty() || !run.isRunning(); },
                              Patience);
}

bool TestTrayEndToEnd::toolEndedWith(ProgramRun& run, bool quit)
{
    const auto tool = m_sandbox->toolReport();
    return tool && run.waitForExit(Patience) && (!quit || (run.exitedNormally() && run.exitCode() == 0)) &&
        run.hasLine(QStringLiteral("🧹 Terminating running CLI process")) &&
        ProgramRun::waitUntil([&tool] { return ProcTable::group(tool->group).isEmpty(); }, Patience);
}

void TestTrayEndToEnd::xembedTray_data()
{
    QTest::addColumn<bool>("trayAtLaunch");
    QTest::newRow("tray at launch") << true;
    // As on a bare window manager, and a panel that starts after the program.
    QTest::newRow("tray later") << false;
}

void TestTrayEndToEnd::xembedTray()
{
    QFETCH(bool, trayAtLaunch);
    DesktopSession desktop;
    QVERIFY(desktop.start());
    QVERIFY(!trayAtLaunch || desktop.startIcewm());
    const auto run = launch(desktop);
    QVERIFY2(run->waitUntil([&run] { return probe(*run).value(QStringLiteral("windows")) == u"1"; }, Patience),
             qPrintable(run->lines().join(u'\n')));
    QCOMPARE(run->hasLine(QStringLiteral(
                 "⚠️ No system tray available: the Corvalt menu is in the terminal window's menu bar")),
             !trayAtLaunch);
    if (!trayAtLaunch) {
        // Without a tray, the window's menu bar carries the actions.
        const auto title = centre(probe(*run).value(QStringLiteral("menubar")), QStringLiteral("Corvalt"));
        QVERIFY(title);
        QVERIFY(openMenu(*run, desktop, *title, 1));
        QCOMPARE(labels(probe(*run).value(QStringLiteral("menu"))).filter(QRegularExpression(QStringLiteral("^[^-]"))),
                 (QStringList{FiveEntries.at(0), Checked, FiveEntries.at(4)}));
        QVERIFY(desktop.run("xdotool key Escape"));
        QVERIFY(desktop.startIcewm());
    }
    QVERIFY(run->waitUntil([&run] { return !probe(*run).value(QStringLiteral("icon")).endsWith(u",0"); }, Patience));
    const QStringList icon = probe(*run).value(QStringLiteral("icon")).split(u',');
    const QPoint iconCentre(icon.at(0).toInt() + icon.at(2).toInt() / 2, icon.at(1).toInt() + icon.at(3).toInt() / 2);

    // Both buttons open the same menu, for desktops that pass on only one.
    for (const int button : {3, 1}) {
        QVERIFY(run->waitUntil([&run] { return probe(*run).value(QStringLiteral("menu")).isEmpty(); }, Patience));
        QVERIFY(openMenu(*run, desktop, iconCentre, button));
        QCOMPARE(labels(probe(*run).value(QStringLiteral("menu"))), FiveEntries);
        QVERIFY(desktop.run("xdotool key Escape"));
    }
    QVERIFY(run->waitUntil([&run] { return probe(*run).value(QStringLiteral("menu")).isEmpty(); }, Patience));
    QVERIFY(openMenu(*run, desktop, iconCentre, 1));
    QVERIFY(choose(*run, desktop, Checked));
    QVERIFY(run->waitUntil([this] { return !QFileInfo::exists(m_sandbox->autostartEntryPath()); }, Patience));
    QVERIFY(openMenu(*run, desktop, iconCentre, 1));
    QCOMPARE(labels(probe(*run).value(QStringLiteral("menu"))).at(2), Unchecked);
    QVERIFY(choose(*run, desktop, QStringLiteral("Quit")));
    QVERIFY(toolEndedWith(*run));
}

void TestTrayEndToEnd::statusNotifierHost_data()
{
    QTest::addColumn<bool>("wayland");
    QTest::addColumn<bool>("hostAtLaunch");
    QTest::newRow("x11, host at launch") << false << true;
    QTest::newRow("wayland, host later") << true << false;
}

void TestTrayEndToEnd::statusNotifierHost()
{
    QFETCH(bool, wayland);
    QFETCH(bool, hostAtLaunch);
    DesktopSession desktop;
    QVERIFY(desktop.start());
    QVERIFY(wayland ? desktop.startWeston() : desktop.startIcewm());
    QVERIFY(!hostAtLaunch || desktop.startPanel());
    const auto run = launch(desktop, wayland);
    QVERIFY2(run->waitUntil([&run] { return probe(*run).value(QStringLiteral("windows")) == u"1"; }, Patience),
             qPrintable(run->lines().join(u'\n')));

    // A host that starts late, and one that restarts, get the item again: timed from the
    // watcher's appearance to the item's registration, both as the bus tells.
    QDBusServiceWatcher watcher(
        QStringLiteral("org.kde.StatusNotifierWatcher"), desktop.bus(), QDBusServiceWatcher::WatchForRegistration);
    ProgramRun::Clock::time_point hostUp;
    connect(&watcher, &QDBusServiceWatcher::serviceRegistered, this, [&hostUp] { hostUp = ProgramRun::Clock::now(); });
    QVERIFY(desktop.bus().connect({},
                                  QStringLiteral("/StatusNotifierWatcher"),
                                  QStringLiteral("org.kde.StatusNotifierWatcher"),
                                  QStringLiteral("StatusNotifierItemRegistered"),
                                  this,
                                  SLOT(itemRegistered())));
    for (const bool restart : {false, true}) {
        if (restart || !hostAtLaunch) {
            QVERIFY(!restart || desktop.stopPanel());
            // At a login, autostart entries and the panel start together; the panel is slower.
            QVERIFY(restart ||
                    run->waitUntil([&run] { return ProgramRun::Clock::now() - run->startedAt() > 3s; }, Patience));
            m_itemRegistered = {};
            QVERIFY(desktop.startPanel());
            QVERIFY(run->waitUntil([this] { return m_itemRegistered != ProgramRun::Clock::time_point(); }, Patience));
            qInfo("%s host: item registered %lld ms after the watcher appeared",
                  restart ? "restarted" : "late",
                  qint64(std::chrono::duration_cast<std::chrono::milliseconds>(m_itemRegistered - hostUp).count()));
        }
        QVERIFY(run->waitUntil([&desktop] { return !registeredItems(desktop).isEmpty(); }, Patience));
    }
    const QString item = registeredItems(desktop).constFirst();
    QVERIFY2(itemProperty(desktop, item, QStringLiteral("ToolTip")).contains(QStringLiteral("'Corvalt'")),
             qPrintable(itemProperty(desktop, item, QStringLiteral("ToolTip"))));
    QVERIFY(itemProperty(desktop, item, QStringLiteral("IconPixmap")).contains(QStringLiteral("(16, 16, ")));
    static const QRegularExpression objectPath(QStringLiteral("objectpath '([^']+)'"));
    const QString menu =
        item.section(u'/', 0, 0) + objectPath.match(itemProperty(desktop, item, QStringLiteral("Menu"))).captured(1);
    QCOMPARE(menuLabels(menuEntries(desktop, menu)), FiveEntries);

    QVERIFY(clickEntry(desktop, menu, Checked));
    QVERIFY(run->waitUntil([this] { return !QFileInfo::exists(m_sandbox->autostartEntryPath()); }, Patience));
    QVERIFY(run->waitUntil([&] { return menuLabels(menuEntries(desktop, menu)).value(2) == Unchecked; }, Patience));
    QVERIFY(clickEntry(desktop, menu, Unchecked));
    QVERIFY(run->waitUntil([this] { return QFileInfo::exists(m_sandbox->autostartEntryPath()); }, Patience));
    QVERIFY(run->waitUntil([&] { return menuLabels(menuEntries(desktop, menu)).value(2) == Checked; }, Patience));

    // The host's left click: the menu where a program may place one, the window elsewhere.
    if (!wayland) {
        QVERIFY(desktop.run("wmctrl -c 'Corvalt Terminal'"));
        QVERIFY(run->waitUntil([&run] { return probe(*run).value(QStringLiteral("windows")) == u"0"; }, Patience));
        QVERIFY(clickEntry(desktop, menu, FiveEntries.at(0)));
        QVERIFY(run->waitUntil([&run] { return probe(*run).value(QStringLiteral("windows")) == u"1"; }, Patience));
        QVERIFY(!busCall(desktop,
                         item,
                         QStringLiteral("org.kde.StatusNotifierItem.Activate"),
                         {QStringLiteral("100"), QStringLiteral("10")})
                     .isNull());
        QVERIFY(run->waitUntil([&run] { return labels(probe(*run).value(QStringLiteral("menu"))) == FiveEntries; },
                               Patience));
        QVERIFY(desktop.run("xdotool key Escape"));
    }
    QVERIFY(clickEntry(desktop, menu, QStringLiteral("Quit")));
    QVERIFY(toolEndedWith(*run));
}

void TestTrayEndToEnd::lostDisplayEndsTheTool()
{
    // At a logout the display and the bus may go before any signal comes: Qt then exits.
    auto desktop = std::make_unique<DesktopSession>();
    QVERIFY(desktop->start());
    const auto run = launch(*desktop);
    QVERIFY(run->waitUntil([this] { return m_sandbox->toolReport().has_value(); }, Patience));
    desktop.reset();
    QVERIFY(toolEndedWith(*run, false));
    QVERIFY(run->hasLine(QStringLiteral("🛑 Exiting without a quit, stopping the CLI")));
}

QTEST_GUILESS_MAIN(TestTrayEndToEnd)
#include "tst_tray_end_to_end.moc"
