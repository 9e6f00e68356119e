#include "platform/process_control.h"
#include "probe_state.h"
#include "tests/support/https_test_server.h"
#include "tests/support/test_sandbox.h"
#include "tray_run.h"
#include "x_session.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>
#include <memory>

// The tray program as a user meets it: a private X display with icewm as tray host, a local
// HTTPS distribution server, a temporary home, and clicks on the real tray icon and menus.
class TestTrayEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void withoutTrayTheWindowCarriesTheMenu();
    void firstLaunchSetsUpTheToolAndOpensTheWindow();
    void trayMenuShowsTheFiveEntries();
    void openStatusKeepsOneWindow();
    void startAtLoginTogglesLabelAndEntry();
    void secondLaunchBringsTheWindowBack();
    void quitEndsTheToolAndTheProgram();
    void laterLaunchKeepsStartAtLoginOff();
    void sigtermEndsLikeQuit();
    void crashedInstanceDoesNotBlockTheNextLaunch();
    void lostDisplayEndsTheTool();

private:
    struct Tool
    {
        qint64 pid = 0;
        qint64 group = 0;
        QString parent;
    };

    std::unique_ptr<TrayRun> launch(const QString& home);
    QString homeFor(const QString& name) const;
    static QString entryPath(const QString& home)
    {
        return home + QStringLiteral("/.config/autostart/corvalt-tray.desktop");
    }
    static std::optional<Tool> readToolReport(const QString& home);
    // What /proc says of a process, for a failure's message.
    static QString describeProcess(qint64 pid);
    static bool waitUntil(const std::function<bool()>& condition, int milliseconds = 20000);
    bool openTrayMenu(TrayRun& run, int button = 1);
    bool choose(TrayRun& run, const QString& label);
    QString screenshot(const QString& name, const QRect& crop = {});
    static int countPixels(const QImage& image, const QRect& area, const std::function<bool(QRgb)>& matches);
    static QStringList cleanupLines(const TrayRun& run);

    static const QString WindowMenuWarning;
    static const QString CheckedLabel;
    static const QString UncheckedLabel;

    QTemporaryDir m_root;
    QString m_word;
    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<XSession> m_x;
    std::unique_ptr<TrayRun> m_run;
    QString m_home;
    QStringList m_homes;
    // Groups of tools whose report a later launch has overwritten.
    QList<qint64> m_earlierGroups;
    std::optional<Tool> m_tool;
};

const QString TestTrayEndToEnd::WindowMenuWarning =
    QStringLiteral("⚠️ No system tray available: the Corvalt menu is in the terminal window's menu bar");
const QString TestTrayEndToEnd::CheckedLabel = QStringLiteral("✓ Start at Login");
const QString TestTrayEndToEnd::UncheckedLabel = QStringLiteral("Start at Login");

namespace {

// The stand-in for the tool: reports where it runs, then prints coloured status lines until
// it is asked to stop.
const QByteArray StandInTool = R"sh(report="$HOME/tool-report.txt"
{
    echo "pid=$$"
    echo "group=$(ps -o pgid= -p $$ | tr -d ' ')"
    echo "parent=$(ps -o args= -p $PPID)"
} > "$report.part" && mv "$report.part" "$report"
trap 'kill $sleeper 2>/dev/null; printf "stand-in stopping\n"; exit 0' TERM
# Outliving a crashed program means writing into a closed pipe: only a stop request ends it.
trap '' PIPE
i=0
while :; do
    i=$((i + 1))
    printf '\033[1;31mALERT %d\033[0m \033[32mall good\033[0m \033[34mblue\033[0m\n' "$i"
    sleep 0.3 &
    sleeper=$!
    wait $sleeper
done
)sh";

bool isRed(QRgb pixel)
{
    return qRed(pixel) >= 150 && qGreen(pixel) <= 110 && qBlue(pixel) <= 110;
}

} // namespace

void TestTrayEndToEnd::initTestCase()
{
    QVERIFY(m_root.isValid());
    QDir().mkpath(QStringLiteral(SCREENSHOT_DIR));
    m_word = TestSandbox::uniqueWord();

    m_server = std::make_unique<HttpsTestServer>(QStringLiteral(TEST_CERT_DIR "/server"));
    m_server->setRoute("/static/cli/" + m_word.toUtf8() + "-tool", {200, "#!/bin/sh\n" + StandInTool, {}, {}});
    QVERIFY(m_server->listen());

    m_x = std::make_unique<XSession>(QStringLiteral(TRAY_HOST_PROBE));
    QVERIFY2(m_x->startServer(), "Xvfb did not start");
    qInfo("display %s", qPrintable(m_x->display()));
}

void TestTrayEndToEnd::cleanupTestCase()
{
    m_run.reset();
    // Whatever went wrong, no tool of this run may outlive it.
    for (const QString& home : std::as_const(m_homes)) {
        if (const auto tool = readToolReport(home); tool && tool->group > 1) {
            ProcessControl::signalGroup(tool->group, ProcessControl::Signal::Kill);
        }
    }
    for (const qint64 group : std::as_const(m_earlierGroups)) {
        ProcessControl::signalGroup(group, ProcessControl::Signal::Kill);
    }
    m_x.reset();
}

QString TestTrayEndToEnd::homeFor(const QString& name) const
{
    // The home's path carries the run's word, so the sweep of a later launch finds this run's
    // tools and nothing else.
    return m_root.filePath(m_word + u'-' + name);
}

std::unique_ptr<TrayRun> TestTrayEndToEnd::launch(const QString& home)
{
    QDir().mkpath(home);
    if (!m_homes.contains(home)) {
        m_homes.append(home);
    }
    const QString runtime = home + QStringLiteral("-runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QProcessEnvironment environment = m_x->environment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    environment.insert(QStringLiteral("TRAY_TEST_BASE_URL"), m_server->origin() + QStringLiteral("/static/cli"));
    environment.insert(QStringLiteral("TRAY_TEST_ASSET_NAME"), m_word + QStringLiteral("-tool"));
    environment.insert(QStringLiteral("TRAY_TEST_CA_FILE"), QStringLiteral(TEST_CERT_DIR "/ca.pem"));
    environment.insert(QStringLiteral("TRAY_TEST_SEARCH_WORD"), m_word);
    auto run = std::make_unique<TrayRun>(QStringLiteral(TRAY_UNDER_TEST), environment);
    if (!run->start()) {
        return nullptr;
    }
    return run;
}

std::optional<TestTrayEndToEnd::Tool> TestTrayEndToEnd::readToolReport(const QString& home)
{
    QFile file(home + QStringLiteral("/tool-report.txt"));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    Tool tool;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("pid=")) {
            tool.pid = line.mid(4).toLongLong();
        } else if (line.startsWith("group=")) {
            tool.group = line.mid(6).toLongLong();
        } else if (line.startsWith("parent=")) {
            tool.parent = QString::fromUtf8(line.mid(7));
        }
    }
    return tool;
}

QString TestTrayEndToEnd::describeProcess(qint64 pid)
{
    const auto read = [pid](const char* name) {
        QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
        return file.open(QIODevice::ReadOnly) ? file.readAll().replace('\0', ' ').trimmed()
                                              : QByteArray("(unreadable)");
    };
    return QStringLiteral("pid %1 still there: stat %2; command %3")
        .arg(pid)
        .arg(QString::fromUtf8(read("stat")), QString::fromUtf8(read("cmdline")));
}

bool TestTrayEndToEnd::waitUntil(const std::function<bool()>& condition, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > milliseconds) {
            return false;
        }
        QTest::qWait(20);
    }
    return true;
}

bool TestTrayEndToEnd::openTrayMenu(TrayRun& run, int button)
{
    if (!waitUntil([&run] { return run.state().trayAvailable && run.state().icon.width() > 0; })) {
        return false;
    }
    // A click that comes right after a menu closed is swallowed: click again until it opens.
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTest::qWait(300);
        if (!m_x->click(run.state().icon.center(), button)) {
            return false;
        }
        if (waitUntil([&run] { return !run.state().menu.isEmpty(); }, 3000)) {
            return true;
        }
    }
    return false;
}

bool TestTrayEndToEnd::choose(TrayRun& run, const QString& label)
{
    const auto centre = run.state().menuEntry(label);
    if (!centre) {
        qWarning("no entry %s in %s", qPrintable(label), qPrintable(run.state().menuLabels().join(u'|')));
        return false;
    }
    // "Quit" may end the program before the probe sees the menu close.
    return m_x->click(*centre, 1) && waitUntil([&run] { return run.state().menu.isEmpty() || !run.isRunning(); }, 5000);
}

QString TestTrayEndToEnd::screenshot(const QString& name, const QRect& crop)
{
    const QString path = QStringLiteral(SCREENSHOT_DIR "/") + name + QStringLiteral(".png");
    const QImage image = m_x->screenshot(path);
    if (!crop.isEmpty() && !image.isNull()) {
        image.copy(crop.intersected(image.rect())).save(path);
    }
    return path;
}

int TestTrayEndToEnd::countPixels(const QImage& image, const QRect& area, const std::function<bool(QRgb)>& matches)
{
    int count = 0;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            count += matches(image.pixel(x, y)) ? 1 : 0;
        }
    }
    return count;
}

QStringList TestTrayEndToEnd::cleanupLines(const TrayRun& run)
{
    QStringList lines;
    for (const QString& line : run.logLines()) {
        if (line.startsWith(u"🧹") || line.startsWith(u"🛑") || line.startsWith(u"ℹ️ No running") ||
            line.startsWith(u"✅ CLI process") || line.startsWith(u"⚠️ Process")) {
            lines.append(line);
        }
    }
    return lines;
}

void TestTrayEndToEnd::withoutTrayTheWindowCarriesTheMenu()
{
    // No window manager and no tray host yet, as on a desktop without a tray.
    const QString home = homeFor(QStringLiteral("no-tray"));
    auto run = launch(home);
    QVERIFY(run);
    QVERIFY2(waitUntil([&run] { return run->state().windows == 1 && !run->state().menuBar.isEmpty(); }),
             qPrintable(run->lines().join(u'\n')));
    QVERIFY(run->hasLine(WindowMenuWarning));
    QVERIFY(!run->state().trayAvailable);

    const auto menuTitle = run->state().menuBarEntry(QStringLiteral("Corvalt"));
    QVERIFY2(menuTitle, qPrintable(run->lines().constLast()));
    QVERIFY(m_x->click(*menuTitle));
    QVERIFY(waitUntil([&run] { return !run->state().menu.isEmpty(); }));
    QStringList labels = run->state().menuLabels();
    labels.removeAll(QStringLiteral("-"));
    QCOMPARE(labels, (QStringList{QStringLiteral("Open Corvalt Status"), CheckedLabel, QStringLiteral("Quit")}));
    screenshot(QStringLiteral("no-tray-window-menu"));
    QVERIFY(m_x->run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")}));
    QVERIFY(waitUntil([&run] { return run->state().menu.isEmpty(); }));

    // A tray that appears later (a panel that starts after the program) still gets the icon.
    QVERIFY2(m_x->startWindowManager(), "icewm did not start");
    QVERIFY(waitUntil([&run] { return run->state().trayAvailable && run->state().icon.width() > 0; }));
    screenshot(QStringLiteral("no-tray-then-tray"));

    // Closed, the window comes back when the program is launched again.
    QVERIFY(m_x->closeWindow(run->state().windowId));
    QVERIFY(waitUntil([&run] { return run->state().windows == 0; }));
    {
        const auto again = launch(home);
        QVERIFY(again);
        QVERIFY(waitUntil([&again] { return !again->isRunning(); }));
        QCOMPARE(again->exitCode(), 0);
    }
    QVERIFY(waitUntil([&run] { return run->state().windows == 1 && !run->state().menuBar.isEmpty(); }));

    // "Quit" from the window's own menu ends the program.
    QVERIFY(m_x->click(*run->state().menuBarEntry(QStringLiteral("Corvalt"))));
    QVERIFY(waitUntil([&run] { return !run->state().menu.isEmpty(); }));
    QVERIFY(choose(*run, QStringLiteral("Quit")));
    QVERIFY(waitUntil([&run] { return !run->isRunning(); }));
    QVERIFY(run->exitedNormally());
    QCOMPARE(run->exitCode(), 0);
}

void TestTrayEndToEnd::firstLaunchSetsUpTheToolAndOpensTheWindow()
{
    if (!m_x->hasTrayHost()) {
        QVERIFY2(m_x->startWindowManager(), "icewm did not start");
    }
    m_home = homeFor(QStringLiteral("home"));
    m_run = launch(m_home);
    QVERIFY(m_run);
    TrayRun& run = *m_run;
    QVERIFY2(waitUntil([this] { return readToolReport(m_home).has_value(); }), qPrintable(run.lines().join(u'\n')));
    QVERIFY(waitUntil([&run] { return run.state().windows == 1; }));
    QVERIFY(!run.hasLine(WindowMenuWarning));

    // The launch lines in their order, the window job last.
    const QStringList order{QStringLiteral("🚀 First launch detected, enabling login item by default"),
                            QStringLiteral("🔧 Login item enabled by default using SMAppService"),
                            QStringLiteral("🚀 AppDelegate applicationDidFinishLaunching called"),
                            QStringLiteral("🚀 About to call downloadAndRunCLI"),
                            QStringLiteral("🚀 downloadAndRunCLI() called"),
                            QStringLiteral("🔍 Searching for existing corvalt processes..."),
                            QStringLiteral("ℹ️ No existing corvalt processes found"),
                            QStringLiteral("📥 Downloading latest CLI version..."),
                            QStringLiteral("📥 installCLI() called"),
                            QStringLiteral("🚀 downloadAndRunCLI called"),
                            QStringLiteral("🚀 Opening terminal window automatically")};
    qsizetype previous = -1;
    for (const QString& line : order) {
        const qsizetype index = run.indexOf(line);
        QVERIFY2(index > previous, qPrintable(line));
        previous = index;
    }
    // The window appeared after the job that opens it, not before.
    const QStringList& lines = run.lines();
    for (qsizetype i = 0; i < previous; ++i) {
        if (ProbeState::isStateLine(lines.at(i))) {
            QCOMPARE(ProbeState::parse(lines.at(i)).windows, 0);
        }
    }
    for (qsizetype i = previous; i < lines.size(); ++i) {
        if (ProbeState::isStateLine(lines.at(i)) && ProbeState::parse(lines.at(i)).windows == 1) {
            qInfo("window shown %lld ms after the launch line", run.arrival(i) - run.arrival(run.indexOf(order.at(2))));
            break;
        }
    }

    // The tool: installed with mode 0755, run by a login shell.
    const QFileInfo tool(m_home + QStringLiteral("/.corvalt/bin/corvalt"));
    QCOMPARE(tool.permissions() & 0x7777,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser |
                 QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    m_tool = readToolReport(m_home);
    QVERIFY(m_tool && m_tool->pid > 1 && m_tool->group > 1);
    QVERIFY2(m_tool->parent.startsWith(QStringLiteral("/bin/zsh -l -i -c ")), qPrintable(m_tool->parent));

    // Start at login is on after the first launch.
    QVERIFY(QFileInfo(entryPath(m_home)).isFile());
    QVERIFY(QSettings(m_home + QStringLiteral("/.config/Corvalt/corvalt-tray.conf"), QSettings::IniFormat)
                .value(QStringLiteral("hasEnabledLoginItem"))
                .toBool());

    // The tool's coloured output in the window: red where it printed red.
    QVERIFY(waitUntil([&run] {
        return std::any_of(
            run.lines().cbegin(), run.lines().cend(), [](const QString& line) { return line.contains(u"ALERT 3"); });
    }));
    const QRect window = run.state().window;
    QVERIFY(waitUntil(
        [&] {
            const QImage shot = m_x->screenshot(QStringLiteral(SCREENSHOT_DIR "/window-full.png"));
            return countPixels(shot, window, isRed) > 30;
        },
        10000));
    screenshot(QStringLiteral("window"), window);
}

void TestTrayEndToEnd::trayMenuShowsTheFiveEntries()
{
    QVERIFY(m_run);
    TrayRun& run = *m_run;
    const QStringList entries{QStringLiteral("Open Corvalt Status"),
                              QStringLiteral("-"),
                              CheckedLabel,
                              QStringLiteral("-"),
                              QStringLiteral("Quit")};
    // The right button opens the menu, and the left one too, for desktops that pass on no other.
    QVERIFY(openTrayMenu(run, 3));
    QCOMPARE(run.state().menuLabels(), entries);
    QVERIFY(m_x->run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")}));
    QVERIFY(waitUntil([&run] { return run.state().menu.isEmpty(); }));
    QVERIFY(openTrayMenu(run, 1));
    QCOMPARE(run.state().menuLabels(), entries);
    QCOMPARE(run.state().toolTip, QStringLiteral("Corvalt"));
    screenshot(QStringLiteral("tray-menu"));

    // The chevron is drawn in the tray: blue in the icon's square.
    const QRect icon = run.state().icon;
    screenshot(QStringLiteral("tray"), icon.adjusted(-160, -8, 8, 8));
    const QImage full(QStringLiteral(SCREENSHOT_DIR "/tray-menu.png"));
    QVERIFY(countPixels(full, icon, [](QRgb pixel) {
                return qBlue(pixel) >= 150 && qRed(pixel) <= 120 && qGreen(pixel) >= 80 && qGreen(pixel) <= 190;
            }) > 10);
}

void TestTrayEndToEnd::openStatusKeepsOneWindow()
{
    QVERIFY(m_run);
    TrayRun& run = *m_run;
    if (run.state().menu.isEmpty()) {
        QVERIFY(openTrayMenu(run));
    }
    const qulonglong windowId = run.state().windowId;
    QVERIFY(choose(run, QStringLiteral("Open Corvalt Status")));
    // Opening the menu again comes after the action has run.
    QVERIFY(openTrayMenu(run));
    QCOMPARE(run.state().windows, 1);
    QCOMPARE(run.state().windowId, windowId);
    // The display agrees: one visible window with exactly that title.
    QByteArray found;
    QVERIFY(m_x->run(QStringLiteral("xdotool"),
                     {QStringLiteral("search"),
                      QStringLiteral("--onlyvisible"),
                      QStringLiteral("--name"),
                      QStringLiteral("^Corvalt Terminal$")},
                     &found));
    QCOMPARE(found.trimmed(), QByteArray::number(windowId));
    QVERIFY(m_x->run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")}));
    QVERIFY(waitUntil([&run] { return run.state().menu.isEmpty(); }));
}

void TestTrayEndToEnd::startAtLoginTogglesLabelAndEntry()
{
    QVERIFY(m_run);
    TrayRun& run = *m_run;
    const QString entry = entryPath(m_home);

    QVERIFY(openTrayMenu(run));
    QVERIFY(choose(run, CheckedLabel));
    QVERIFY(waitUntil([&run] { return run.hasLine(QStringLiteral("🔧 Login item disabled using SMAppService")); }));
    QVERIFY(!QFileInfo::exists(entry));
    QVERIFY(openTrayMenu(run));
    QCOMPARE(run.state().menuLabels().at(2), UncheckedLabel);

    QVERIFY(choose(run, UncheckedLabel));
    QVERIFY(waitUntil([&run] { return run.hasLine(QStringLiteral("🔧 Login item enabled using SMAppService")); }));
    QVERIFY(QFileInfo(entry).isFile());
    QVERIFY(openTrayMenu(run));
    QCOMPARE(run.state().menuLabels().at(2), CheckedLabel);

    // Left off, for the later launch.
    QVERIFY(choose(run, CheckedLabel));
    QVERIFY(waitUntil(
        [&run] { return run.logLines().count(QStringLiteral("🔧 Login item disabled using SMAppService")) == 2; }));
    QVERIFY(!QFileInfo::exists(entry));
}

void TestTrayEndToEnd::secondLaunchBringsTheWindowBack()
{
    QVERIFY(m_run && m_tool);
    TrayRun& run = *m_run;
    QVERIFY(m_x->closeWindow(run.state().windowId));
    QVERIFY(waitUntil([&run] { return run.state().windows == 0; }));

    const auto second = launch(m_home);
    QVERIFY(second);
    QVERIFY(waitUntil([&second] { return !second->isRunning(); }));
    QVERIFY(second->exitedNormally());
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(second->logLines(),
             QStringList{QStringLiteral(
                 "🪟 Corvalt is already running: asked it to bring its terminal window to the front")});

    QVERIFY(waitUntil([&run] { return run.state().windows == 1; }));
    QVERIFY(run.hasLine(QStringLiteral("🪟 Another launch asked for the terminal window")));
    // The first launch's tool runs on, untouched.
    QVERIFY(ProcessControl::signalProcess(m_tool->pid, ProcessControl::Signal::Probe));
    QCOMPARE(readToolReport(m_home)->pid, m_tool->pid);
    QCOMPARE(run.logLines().count(QStringLiteral("🔍 Searching for existing corvalt processes...")), 1);
}

void TestTrayEndToEnd::quitEndsTheToolAndTheProgram()
{
    QVERIFY(m_run && m_tool);
    TrayRun& run = *m_run;
    QVERIFY(openTrayMenu(run));
    QElapsedTimer quitting;
    quitting.start();
    QVERIFY(choose(run, QStringLiteral("Quit")));
    QVERIFY(waitUntil([&run] { return !run.isRunning(); }));
    qInfo("from the click on Quit to the program's exit: %lld ms", quitting.elapsed());
    QVERIFY(run.exitedNormally());
    QCOMPARE(run.exitCode(), 0);
    // The menu's run ends the tool; the termination hook's run finds nothing left.
    QCOMPARE(cleanupLines(run),
             (QStringList{QStringLiteral("🧹 CorvaltManager cleanup called"),
                          QStringLiteral("🧹 Terminating running CLI process"),
                          QStringLiteral("✅ CLI process cleanup completed"),
                          QStringLiteral("🛑 AppDelegate applicationWillTerminate called"),
                          QStringLiteral("🧹 CorvaltManager cleanup called"),
                          QStringLiteral("ℹ️ No running CLI process to clean up"),
                          QStringLiteral("🛑 App termination cleanup completed")}));
    // Gone by the time the program has ended, which the stop's bound keeps within 2 s.
    QVERIFY(!ProcessControl::groupHasLiveMembers(m_tool->group));
    m_run.reset();
}

void TestTrayEndToEnd::laterLaunchKeepsStartAtLoginOff()
{
    QVERIFY(!m_home.isEmpty());
    m_run = launch(m_home);
    QVERIFY(m_run);
    TrayRun& run = *m_run;
    QVERIFY(waitUntil([&run] { return run.state().windows == 1; }));
    QVERIFY(waitUntil([this] {
        const auto tool = readToolReport(m_home);
        return tool && m_tool && tool->pid != m_tool->pid;
    }));
    m_tool = readToolReport(m_home);

    QVERIFY(!run.hasLine(QStringLiteral("🚀 First launch detected, enabling login item by default")));
    QVERIFY(!QFileInfo::exists(entryPath(m_home)));
    const QStringList launchLines{QStringLiteral("🚀 AppDelegate applicationDidFinishLaunching called"),
                                  QStringLiteral("🚀 About to call downloadAndRunCLI"),
                                  QStringLiteral("🚀 downloadAndRunCLI() called"),
                                  QStringLiteral("🚀 downloadAndRunCLI called"),
                                  QStringLiteral("🚀 Opening terminal window automatically")};
    qsizetype previous = -1;
    for (const QString& line : launchLines) {
        const qsizetype index = run.indexOf(line);
        QVERIFY2(index > previous, qPrintable(line));
        QCOMPARE(run.lines().count(line), 1);
        previous = index;
    }

    QVERIFY(openTrayMenu(run));
    QCOMPARE(run.state().menuLabels().at(2), UncheckedLabel);
    QVERIFY(m_x->run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")}));
    QVERIFY(waitUntil([&run] { return run.state().menu.isEmpty(); }));
}

void TestTrayEndToEnd::sigtermEndsLikeQuit()
{
    QVERIFY(m_run && m_tool);
    TrayRun& run = *m_run;
    QElapsedTimer stopping;
    stopping.start();
    run.terminate();
    QVERIFY(waitUntil([&run] { return !run.isRunning(); }));
    qInfo("from SIGTERM to the program's exit: %lld ms", stopping.elapsed());
    QVERIFY(run.exitedNormally());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(cleanupLines(run),
             (QStringList{QStringLiteral("🛑 Received SIGTERM, quitting"),
                          QStringLiteral("🧹 CorvaltManager cleanup called"),
                          QStringLiteral("🧹 Terminating running CLI process"),
                          QStringLiteral("✅ CLI process cleanup completed"),
                          QStringLiteral("🛑 AppDelegate applicationWillTerminate called"),
                          QStringLiteral("🧹 CorvaltManager cleanup called"),
                          QStringLiteral("ℹ️ No running CLI process to clean up"),
                          QStringLiteral("🛑 App termination cleanup completed")}));
    QVERIFY(!ProcessControl::groupHasLiveMembers(m_tool->group));
    m_run.reset();
}

void TestTrayEndToEnd::crashedInstanceDoesNotBlockTheNextLaunch()
{
    const QString home = homeFor(QStringLiteral("crash"));
    std::optional<Tool> orphan;
    {
        auto crashed = launch(home);
        QVERIFY(crashed);
        QVERIFY(waitUntil([&home] { return readToolReport(home).has_value(); }));
        orphan = readToolReport(home);
        m_earlierGroups.append(orphan->group);
        crashed->kill();
        QVERIFY(waitUntil([&crashed] { return !crashed->isRunning(); }));
    }
    // Its lock and socket are left behind, and its tool runs on without it.
    QVERIFY(ProcessControl::signalProcess(orphan->pid, ProcessControl::Signal::Probe));

    auto next = launch(home);
    QVERIFY(next);
    TrayRun& run = *next;
    QVERIFY(waitUntil([&run] { return run.state().windows == 1; }));
    QVERIFY(!run.hasLine(
        QStringLiteral("🪟 Corvalt is already running: asked it to bring its terminal window to the front")));
    const QString startedLine =
        QStringLiteral("🔧 CorvaltManager outputHandler called with: ✅ CLI started successfully in zsh");
    QVERIFY(waitUntil([&home, &orphan, &run, &startedLine] {
        const auto tool = readToolReport(home);
        return tool && tool->pid != orphan->pid && run.hasLine(startedLine);
    }));
    // The new instance's sweep ended the orphaned tool before it started its own.
    const QStringList log = run.logLines();
    const qsizetype killed = log.indexOf(QStringLiteral("🔨 Killing corvalt process with PID: %1").arg(orphan->pid));
    const qsizetype swept = log.indexOf(QStringLiteral("✅ All existing corvalt processes terminated"));
    QVERIFY2(killed >= 0 && killed < swept && swept < log.indexOf(startedLine), qPrintable(log.join(u'\n')));
    QVERIFY2(waitUntil([&orphan] { return !ProcessControl::signalProcess(orphan->pid, ProcessControl::Signal::Probe); },
                       5000),
             qPrintable(describeProcess(orphan->pid)));
    const auto current = readToolReport(home);
    run.terminate();
    QVERIFY(waitUntil([&run] { return !run.isRunning(); }));
    QCOMPARE(run.exitCode(), 0);
    QVERIFY(!ProcessControl::groupHasLiveMembers(current->group));
}

void TestTrayEndToEnd::lostDisplayEndsTheTool()
{
    // At a logout the display may go away before any signal comes: Qt then exits the program.
    auto display = std::make_unique<XSession>(QStringLiteral(TRAY_HOST_PROBE));
    QVERIFY(display->startServer());
    const QString home = homeFor(QStringLiteral("display-lost"));
    std::swap(display, m_x);
    auto run = launch(home);
    std::swap(display, m_x);
    QVERIFY(run);
    QVERIFY(waitUntil([&home] { return readToolReport(home).has_value(); }));
    QVERIFY(waitUntil([&run] { return run->state().windows == 1; }));
    const auto tool = readToolReport(home);

    display.reset();
    QVERIFY(waitUntil([&run] { return !run->isRunning(); }));
    QCOMPARE(cleanupLines(*run),
             (QStringList{QStringLiteral("🛑 Exiting without a quit, stopping the CLI"),
                          QStringLiteral("🛑 AppDelegate applicationWillTerminate called"),
                          QStringLiteral("🧹 CorvaltManager cleanup called"),
                          QStringLiteral("🧹 Terminating running CLI process"),
                          QStringLiteral("✅ CLI process cleanup completed"),
                          QStringLiteral("🛑 App termination cleanup completed")}));
    QVERIFY(!ProcessControl::groupHasLiveMembers(tool->group));
}

QTEST_GUILESS_MAIN(TestTrayEndToEnd)
#include "tst_tray_end_to_end.moc"
