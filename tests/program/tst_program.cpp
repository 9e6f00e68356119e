#include "tests/support/https_test_server.h"
#include "tests/support/in_order.h"
#include "tests/support/proc_table.h"
#include "tests/support/program_run.h"
#include "tests/support/test_sandbox.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>

#include <csignal>

// The whole program, headless, as a user's session meets it: launch and quit, signals, a crash,
// a stalled server, and a flooding tool with a second launch.
class TestProgram : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { m_cycles = std::make_unique<TestSandbox>(); }
    void launchAndQuitCycles_data();
    void launchAndQuitCycles();
    void crashRecovery();
    void quitDuringAStalledDownload();
    void floodKeepsTheProgramBoundedAndAnswering();

private:
    // Serves `tool` (or `route`) as the newest build and starts the program.
    std::unique_ptr<ProgramRun> start(const TestSandbox& sandbox, HttpsTestServer::Route route);
    static std::unique_ptr<ProgramRun> waitForTool(std::unique_ptr<ProgramRun> run, const TestSandbox& sandbox);
    // Sends the signal and checks that the program ended well, in time, with nothing left.
    static void quit(ProgramRun& run, int signal, const QStringList& stop, qint64 toolGroup);

    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<TestSandbox> m_cycles;
};

namespace {

constexpr int Patience = 30000;
const QString WindowOpened = QStringLiteral("🚀 Opening terminal window automatically");
const QByteArray Graceful = "trap 'exit 0' TERM\necho tool-up\nwhile :; do sleep 0.1; done\n";

#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 FloodBytes = qint64(64) * 1024 * 1024;
#else
constexpr qint64 FloodBytes = qint64(512) * 1024 * 1024;
#endif
// Far below what the flood would take if the program kept it, far above what it needs.
constexpr qint64 MemoryBound = qint64(160) * 1024 * 1024;

QString signalName(int signal)
{
    return QStringLiteral("SIG") + QString::fromLatin1(sigabbrev_np(signal));
}

// The log line that carries a text passed to the output.
QString output(const QString& text)
{
    return QStringLiteral("🔧 CorvaltManager outputHandler called with: ") + text;
}

QStringList launchSequence(const QString& origin, bool updateMode)
{
    const QString url = origin + QStringLiteral("/static/cli/") + TestSandbox::AssetName;
    return {QStringLiteral("🚀 AppDelegate applicationDidFinishLaunching called"),
            QStringLiteral("🚀 About to call downloadAndRunCLI"),
            QStringLiteral("🚀 downloadAndRunCLI() called"),
            QStringLiteral("🔍 Searching for existing corvalt processes..."),
            QStringLiteral("📥 Downloading latest CLI version..."),
            QStringLiteral("📥 installCLI() called"),
            QStringLiteral("📥 Binary name: ") + TestSandbox::AssetName,
            QStringLiteral("📥 Download URL: ") + url,
            QStringLiteral("📥 Update mode: ") + (updateMode ? QStringLiteral("true") : QStringLiteral("false")),
            QStringLiteral("🚀 downloadAndRunCLI called"),
            QStringLiteral("🚀 Opening terminal window automatically")};
}

const QString CleanupCalled = QStringLiteral("🧹 CorvaltManager cleanup called");
const QString NothingToStop = QStringLiteral("ℹ️ No running CLI process to clean up");
const QStringList Stopped = {QStringLiteral("🧹 Terminating running CLI process"),
                             QStringLiteral("✅ CLI process cleanup completed")};
const QStringList Forced = {QStringLiteral("🧹 Terminating running CLI process"),
                            QStringLiteral("⚠️ Process didn't terminate gracefully, forcing termination"),
                            QStringLiteral("✅ CLI process cleanup completed")};

} // namespace

std::unique_ptr<ProgramRun> TestProgram::start(const TestSandbox& sandbox, HttpsTestServer::Route route)
{
    m_server = std::make_unique<HttpsTestServer>(QStringLiteral(TEST_CERT_DIR "/server"));
    m_server->setRoute("/static/cli/" + TestSandbox::AssetName.toUtf8(), std::move(route));
    if (!m_server->listen()) {
        return nullptr;
    }
    QFile::remove(sandbox.home() + QStringLiteral("/tool-report.txt"));
    auto run =
        std::make_unique<ProgramRun>(QStringLiteral(PLAIN_TRAY_UNDER_TEST), sandbox.environment(m_server->origin()));
    return run->start() ? std::move(run) : nullptr;
}

std::unique_ptr<ProgramRun> TestProgram::waitForTool(std::unique_ptr<ProgramRun> run, const TestSandbox& sandbox)
{
    if (!run || !run->waitUntil([&sandbox] { return sandbox.toolReport().has_value(); }, Patience) ||
        !run->waitForLine(WindowOpened, Patience)) {
        qWarning("%s", run ? qPrintable(run->lines().join(u'\n')) : "not started");
        return nullptr;
    }
    return run;
}

void TestProgram::quit(ProgramRun& run, int signal, const QStringList& stop, qint64 toolGroup)
{
    QElapsedTimer clock;
    clock.start();
    ::kill(pid_t(run.processId()), signal);
    QVERIFY(run.waitForExit(Patience));
    // The 2.0 s stop deadline, with a margin for a loaded machine.
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(run.exitedNormally());
    QCOMPARE(run.exitCode(), 0);
    const QStringList prefixes{QStringLiteral("🛑"),
                               QStringLiteral("🧹"),
                               QStringLiteral("ℹ️ No running"),
                               QStringLiteral("✅ CLI process"),
                               QStringLiteral("⚠️ Process")};
    const QStringList expected =
        QStringList{QStringLiteral("🛑 Received %1, quitting").arg(signalName(signal)), CleanupCalled} + stop +
        QStringList{QStringLiteral("🛑 AppDelegate applicationWillTerminate called"),
                    CleanupCalled,
                    NothingToStop,
                    QStringLiteral("🛑 App termination cleanup completed")};
    QCOMPARE(run.linesStartingWith(prefixes), expected);
    // Interactive shells ignore SIGTERM and would run the tool again: no restart, no fallback.
    QVERIFY(!run.hasLine(output(QStringLiteral("⚠️ zsh failed, trying bash..."))));
    QVERIFY(run.linesStartingWith({output(QStringLiteral("▶️"))}).size() <= 1);
    // Gone, zombies included, by the time the program has exited.
    QVERIFY(toolGroup == 0 || ProcTable::group(toolGroup).isEmpty());
}

void TestProgram::launchAndQuitCycles_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("tool");
    QTest::addColumn<QStringList>("stop");
    const QByteArray idle = "echo tool-up\nwhile :; do sleep 0.1; done\n";
    QTest::newRow("first launch, SIGINT, tool ends on the request") << SIGINT << Graceful << Stopped;
    QTest::newRow("SIGTERM, tool ends by the signal") << SIGTERM << idle << Stopped;
    // The colour run fails, and the shell runs the plain one in a process of its own.
    QTest::newRow("SIGTERM, plain run in place of the shell")
        << SIGTERM << ("[ \"$1\" = --color=always ] && exit 1\ntrap 'exit 0' TERM\n" + idle) << Stopped;
    // The refusal is inherited by the tool's children: none of them ends on SIGTERM either.
    QTest::newRow("SIGTERM, stubborn tool with children")
        << SIGTERM << ("trap '' TERM\nsleep 600 &\n" + idle) << Forced;
    QTest::newRow("SIGHUP, tool gone, its child left")
        << SIGHUP << QByteArray("sleep 600 &\nexit 0\n") << QStringList{NothingToStop};
}

// One home for every row, launched and quit again and again: each launch finds nothing of the
// one before, neither a running tool nor a file beside it.
void TestProgram::launchAndQuitCycles()
{
    QFETCH(int, signal);
    QFETCH(QByteArray, tool);
    QFETCH(QStringList, stop);
    const TestSandbox& sandbox = *m_cycles;
    const bool update = QFileInfo::exists(sandbox.toolPath());
    auto run = waitForTool(start(sandbox, {200, TestSandbox::toolScript(tool), {}, {}}), sandbox);
    QVERIFY(run);
    if (stop.contains(NothingToStop)) {
        QVERIFY(run->waitForLineContaining(QStringLiteral("⚡️ CLI exited with code 0"), Patience));
    }
    const QString url = m_server->origin() + QStringLiteral("/static/cli/") + TestSandbox::AssetName;
    QVERIFY2(inOrder(run->lines(), launchSequence(m_server->origin(), update)), qPrintable(run->lines().join(u'\n')));
    QVERIFY(inOrder(run->lines(),
                    {output(QStringLiteral("🚀 Starting Corvalt CLI setup...")),
                     output(QStringLiteral("🔍 Checking for existing corvalt processes...")),
                     output(QStringLiteral("ℹ️ No existing corvalt processes found")),
                     output(QStringLiteral("📥 Downloading latest CLI version...")),
                     output((update ? QStringLiteral("🔄 Updating CLI to latest version from ")
                                    : QStringLiteral("📥 Installing CLI from ")) +
                            url),
                     output(update ? QStringLiteral("✅ CLI updated to latest version at ") + sandbox.toolPath()
                                   : QStringLiteral("✅ CLI installed at ") + sandbox.toolPath()),
                     output(QStringLiteral("▶️ Starting corvalt CLI in zsh with color support...")),
                     output(QStringLiteral("✅ CLI started successfully in zsh"))}));
    QCOMPARE(sandbox.installedTool(), TestSandbox::toolScript(tool));
    QCOMPARE(sandbox.installDirEntries(), QStringList{QStringLiteral("corvalt")});
    QVERIFY(QFileInfo::exists(sandbox.autostartEntryPath()));
    quit(*run, signal, stop, sandbox.toolReport()->group);
}

void TestProgram::crashRecovery()
{
    TestSandbox sandbox;
    auto first = waitForTool(start(sandbox, {200, TestSandbox::toolScript(Graceful), {}, {}}), sandbox);
    QVERIFY(first);
    const TestSandbox::ToolReport orphan = *sandbox.toolReport();
    // A crash leaves its lock and its tool behind; the next launch takes over both.
    first->kill();
    QVERIFY(first->waitForExit(Patience));
    QVERIFY(!ProcTable::group(orphan.group).isEmpty());
    auto next = waitForTool(start(sandbox, {200, TestSandbox::toolScript(Graceful), {}, {}}), sandbox);
    QVERIFY(next);
    QVERIFY(inOrder(next->lines(), launchSequence(m_server->origin(), true)));
    QVERIFY(next->hasLine(QStringLiteral("🔨 Killing corvalt process with PID: %1").arg(orphan.pid)));
    QVERIFY(ProgramRun::waitUntil([&] { return ProcTable::group(orphan.group).isEmpty(); }, Patience));
    quit(*next, SIGTERM, Stopped, sandbox.toolReport()->group);
}

void TestProgram::quitDuringAStalledDownload()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "echo old\n");
    auto run =
        start(sandbox, {200, "#!/bin/sh\n" + QByteArray(1 << 20, '#'), HttpsTestServer::Behaviour::StallMidBody, {}});
    QVERIFY(run);
    QVERIFY(run->waitForLine(QStringLiteral("📥 Update mode: true"), Patience));
    QVERIFY(run->waitUntil([this] { return m_server->requestCount() > 0; }, Patience));
    QVERIFY(run->waitForLine(WindowOpened, Patience));
    quit(*run, SIGTERM, QStringList{NothingToStop}, 0);
    QCOMPARE(sandbox.installedTool(), QByteArray("#!/bin/sh\necho old\n"));
    QCOMPARE(sandbox.installDirEntries(), QStringList{QStringLiteral("corvalt")});
}

void TestProgram::floodKeepsTheProgramBoundedAndAnswering()
{
    TestSandbox sandbox;
    // As fast as a pipe goes: coloured lines in large writes, then an end mark, then idle.
    const QByteArray tool = TestSandbox::toolScript(
        "line=$(printf '\\033[32mINFO\\033[0m flood-line 0123456789 abcdefghijklmnopqrstuvwxyz')\n"
        "yes \"$line\" | head -c " +
        QByteArray::number(FloodBytes) + "\nprintf '\\nflood-done\\n'\n" + Graceful);
    auto run = start(sandbox, {200, tool, {}, {}});
    QVERIFY(run);
    // The flood's own lines are counted, not kept: a test must not hold a gigabyte.
    run->setLineFilter([](QByteArrayView line) { return !line.contains("flood-line"); });
    run = waitForTool(std::move(run), sandbox);
    QVERIFY(run);

    // Part of the way in, a second launch starts no second tool: it asks the first for its
    // window, which answers from its event loop between the pieces of the flood, and leaves.
    QVERIFY(run->waitUntil([&run] { return run->logBytes() > FloodBytes / 4; }, 10 * Patience));
    const qint64 toolPid = sandbox.toolReport()->pid;
    ProgramRun second(QStringLiteral(PLAIN_TRAY_UNDER_TEST), sandbox.environment(m_server->origin()));
    QVERIFY(second.start() && second.waitForExit(Patience));
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(second.lines(),
             QStringList{QStringLiteral(
                 "🪟 Corvalt is already running: asked it to bring its terminal window to the front")});
    QVERIFY(run->hasLine(QStringLiteral("🪟 Another launch asked for the terminal window")));
    QCOMPARE(sandbox.toolReport()->pid, toolPid);

    QVERIFY(run->waitForLineContaining(QStringLiteral("tool-up"), 10 * Patience));
    const qint64 peak = ProcTable::statusBytes(run->processId(), "VmHWM");
    qInfo("flood of %lld MiB: peak resident memory %lld MiB", FloodBytes >> 20, peak >> 20);
    QVERIFY(peak > 0);
    // The log carries the output once, not the whole text again at each change.
    QVERIFY2(run->logBytes() < 3 * FloodBytes, qPrintable(QString::number(run->logBytes())));
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizer's shadow memory and quarantine say nothing about the program's own bound.
    QVERIFY2(peak < MemoryBound, qPrintable(QStringLiteral("%1 MiB").arg(peak >> 20)));
#endif
    quit(*run, SIGTERM, Stopped, sandbox.toolReport()->group);
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
