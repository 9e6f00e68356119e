#include "tests/support/https_test_server.h"
#include "tests/support/proc_table.h"
#include "tests/support/program_run.h"
#include "tests/support/test_sandbox.h"

#include <QTest>

#include <array>
#include <csignal>
#include <unistd.h>

namespace {

constexpr int Patience = 30000;
const QByteArray Graceful = "trap 'exit 0' TERM\necho tool-up\nwhile :; do sleep 0.1; done\n";
#if defined(__SANITIZE_ADDRESS__)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif
constexpr qint64 FloodBytes = qint64(Sanitized ? 64 : 512) << 20;

// Log lines given one per '\n', each after the prefix.
QStringList seq(const QString& text, const QString& prefix = {})
{
    return QString(prefix + text).replace(u'\n', u'\n' + prefix).split(u'\n');
}

// The log line that carries a text passed to the output.
const QString Output = QStringLiteral("🔧 CorvaltManager outputHandler called with: ");
const QString NothingToStop = QStringLiteral("ℹ️ No running CLI process to clean up");
const QString Stopped = QStringLiteral("🧹 Terminating running CLI process\n✅ CLI process cleanup completed");

QStringList launchSequence(const QString& origin, bool update)
{
    return seq(QStringLiteral("🚀 AppDelegate applicationDidFinishLaunching called\n🚀 About to call downloadAndRunCLI\n"
                              "🚀 downloadAndRunCLI() called\n🔍 Searching for existing corvalt processes...\n"
                              "📥 Downloading latest CLI version...\n📥 installCLI() called\n📥 Binary name: %1\n"
                              "📥 Download URL: %2/static/cli/%1\n📥 Update mode: %3\n🚀 downloadAndRunCLI called\n"
                              "🚀 Opening terminal window automatically")
                   .arg(TestSandbox::AssetName, origin, QString::fromLatin1(update ? "true" : "false")));
}

// setpriv's arguments that run a program as that numeric user id, with no account behind it.
QStringList asUser(const QString& user)
{
    return QStringLiteral("--reuid=%1 --regid=%1 --clear-groups --").arg(user).split(u' ');
}

// Sends the signal and checks that the program ended well, in time, with nothing left.
void quit(ProgramRun& run, int signal, const QString& stop, qint64 toolGroup)
{
    const auto sent = ProgramRun::Clock::now();
    ::kill(pid_t(run.processId()), signal);
    QVERIFY(run.waitForExit(Patience));
    // The 2.0 s stop deadline, with a margin for a loaded machine.
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(ProgramRun::Clock::now() - sent).count();
    QVERIFY2(took < 5000, qPrintable(QString::number(took)));
    QVERIFY(run.exitedNormally() && run.exitCode() == 0);
    QCOMPARE(
        run.linesStartingWith(seq(QStringLiteral("🛑\n🧹\nℹ️ No running\n✅ CLI process\n⚠️ Process"))),
        seq(QStringLiteral("🛑 Received SIG%1, quitting\n🧹 CorvaltManager cleanup called\n%2\n"
                           "🛑 AppDelegate applicationWillTerminate called\n🧹 CorvaltManager cleanup called\n"
                           "ℹ️ No running CLI process to clean up\n🛑 App termination cleanup completed")
                .arg(QString::fromLatin1(sigabbrev_np(signal)), stop)));
    // Interactive shells ignore SIGTERM and would run the tool again: no restart, no fallback.
    const QStringList stopping = run.lines().mid(run.lines().indexOf(
        QStringLiteral("🛑 Received SIG%1, quitting").arg(QString::fromLatin1(sigabbrev_np(signal)))));
    QVERIFY(!stopping.contains(Output + QStringLiteral("⚠️ zsh failed, trying bash...")));
    QVERIFY(linesStartingWith(stopping, {Output + QStringLiteral("▶️")}).isEmpty());
    // Gone, zombies included, by the time the program has exited.
    QVERIFY(toolGroup == 0 || ProcTable::group(toolGroup).isEmpty());
}

} // namespace

// The whole program, headless, as a user's session meets it: launch and quit, signals, a crash,
// a stalled server, and a flooding tool with a second launch.
class TestProgram : public QObject
{
    Q_OBJECT

    // Serves `route` as the newest build, starts the program (as `user` when given) and waits for
    // its window and, unless told otherwise, its tool.
    std::unique_ptr<ProgramRun>
    start(const TestSandbox& sandbox, HttpsTestServer::Route route, bool tool = true, const QString& user = {})
    {
        m_server = std::make_unique<HttpsTestServer>(QStringLiteral(TEST_CERT_DIR "/server"));
        m_server->setRoute("/static/cli/" + TestSandbox::AssetName.toUtf8(), std::move(route));
        QFile::remove(sandbox.home() + QStringLiteral("/tool-report.txt"));
        const bool listening = m_server->listen();
        const QString program = QStringLiteral(PLAIN_TRAY_UNDER_TEST);
        auto run = std::make_unique<ProgramRun>(user.isEmpty() ? program : QStringLiteral("/usr/bin/setpriv"),
                                                sandbox.environment(m_server->origin()));
        run->setArguments(user.isEmpty() ? QStringList() : asUser(user) << program);
        // A flood's own lines are counted, not kept: a test must not hold a gigabyte.
        run->setLineFilter([](QByteArrayView line) { return !line.contains("flood-line"); });
        if (!listening || !run->start() ||
            (tool && !run->waitUntil([&sandbox] { return sandbox.toolReport().has_value(); }, Patience)) ||
            !run->waitForLine(QStringLiteral("🚀 Opening terminal window automatically"), Patience)) {
            qWarning("%s", qPrintable(run->lines().join(u'\n')));
            return nullptr;
        }
        return run;
    }

    std::unique_ptr<HttpsTestServer> m_server;
    TestSandbox m_cycles;

private Q_SLOTS:
    void launchAndQuitCycles_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QByteArray>("tool");
        QTest::addColumn<QString>("stop");
        const QByteArray idle = "echo tool-up\nwhile :; do sleep 0.1; done\n";
        QTest::newRow("first launch, SIGINT, tool ends on the request") << SIGINT << Graceful << Stopped;
        QTest::newRow("SIGTERM, tool ends by the signal") << SIGTERM << idle << Stopped;
        // The colour run fails, and the shell runs the plain one in a process of its own.
        QTest::newRow("SIGTERM, plain run in place of the shell")
            << SIGTERM << ("[ \"$1\" = --color=always ] && exit 1\ntrap 'exit 0' TERM\n" + idle) << Stopped;
        // The refusal is inherited by the tool's children: none of them ends on SIGTERM either.
        // Stopped, with the forced ending between its two lines.
        QTest::newRow("SIGTERM, stubborn tool with children")
            << SIGTERM << ("trap '' TERM\nsleep 600 &\n" + idle)
            << QString(Stopped).replace(
                   u'\n', QStringLiteral("\n⚠️ Process didn't terminate gracefully, forcing termination\n"));
        // Both zsh runs fail and leave a child that refuses SIGTERM; the bash run refuses it too.
        QTest::newRow("SIGTERM, stubborn tool with leftovers of earlier runs")
            << SIGTERM
            << ("echo \"$5\" >> \"$HOME/groups\"\nruns=$(cat \"$HOME/runs\" 2>/dev/null || echo 0)\n"
                "echo $((runs + 1)) > \"$HOME/runs\"\ntrap '' TERM\nsleep 600 &\n[ \"$runs\" -ge 2 ] || exit 3\n" +
                idle)
            << QString(Stopped).replace(
                   u'\n', QStringLiteral("\n⚠️ Process didn't terminate gracefully, forcing termination\n"));
        QTest::newRow("SIGHUP, tool gone, its child left")
            << SIGHUP << QByteArray("sleep 600 &\nexit 0\n") << NothingToStop;
    }

    // One home for every row, launched and quit again and again: each launch finds nothing of the
    // one before, neither a running tool nor a file beside it.
    void launchAndQuitCycles()
    {
        QFETCH(int, signal);
        QFETCH(QByteArray, tool);
        QFETCH(QString, stop);
        const bool update = QFile::exists(m_cycles.toolPath());
        auto run = start(m_cycles, {200, TestSandbox::toolScript(tool), {}, {}});
        QVERIFY(run &&
                run->waitForLineContaining(stop == NothingToStop ? QStringLiteral("⚡️ CLI exited with code 0")
                                                                 : QStringLiteral("tool-up"),
                                           Patience));
        QVERIFY2(inOrder(run->lines(), launchSequence(m_server->origin(), update)),
                 qPrintable(run->lines().join(u'\n')));
        const QString installed = update
            ? QStringLiteral("🔄 Updating CLI to latest version from %1/static/cli/%2\n"
                             "✅ CLI updated to latest version at %3")
            : QStringLiteral("📥 Installing CLI from %1/static/cli/%2\n✅ CLI installed at %3");
        QVERIFY(inOrder(
            run->lines(),
            seq(QStringLiteral(
                    "🚀 Starting Corvalt CLI setup...\n🔍 Checking for existing corvalt processes...\n"
                    "ℹ️ No existing corvalt processes found\n📥 Downloading latest CLI version...\n%1\n"
                    "▶️ Starting corvalt CLI in zsh with color support...\n✅ CLI started successfully in zsh")
                    .arg(installed.arg(m_server->origin(), TestSandbox::AssetName, m_cycles.toolPath())),
                Output)));
        QCOMPARE(m_cycles.installedTool(), TestSandbox::toolScript(tool));
        QCOMPARE(m_cycles.installDirEntries(), QStringList{QStringLiteral("corvalt")});
        QVERIFY(QFile::exists(m_cycles.autostartEntryPath()));
        quit(*run, signal, stop, m_cycles.toolReport()->group);
        // Also what earlier runs left.
        const QString groups = m_cycles.home() + QStringLiteral("/groups");
        for (const QByteArray& group : TestSandbox::readFile(groups).split('\n')) {
            QVERIFY(group.isEmpty() || ProcTable::group(group.toLongLong()).isEmpty());
        }
        QFile::remove(groups);
    }

    void crashRecovery()
    {
        TestSandbox sandbox;
        auto first = start(sandbox, {200, TestSandbox::toolScript(Graceful), {}, {}});
        QVERIFY(first);
        const TestSandbox::ToolReport orphan = *sandbox.toolReport();
        // A crash leaves its lock and its tool behind; the next launch takes over both.
        first->kill();
        QVERIFY(first->waitForExit(Patience));
        QVERIFY(!ProcTable::group(orphan.group).isEmpty());
        auto next = start(sandbox, {200, TestSandbox::toolScript(Graceful), {}, {}});
        QVERIFY(next && inOrder(next->lines(), launchSequence(m_server->origin(), true)));
        QVERIFY(next->hasLine(QStringLiteral("🔨 Killing corvalt process with PID: %1").arg(orphan.pid)));
        QVERIFY(ProgramRun::waitUntil([&] { return ProcTable::group(orphan.group).isEmpty(); }, Patience));
        quit(*next, SIGTERM, Stopped, sandbox.toolReport()->group);
    }

    void anotherUsersCopyIsLeftAlone()
    {
        if (::getuid() != 0) {
            QSKIP("Runs the program and another user's copy of the tool under two user ids of their own: needs root");
        }
        TestSandbox sandbox;
        const QString user = QStringLiteral("54321");
        QCOMPARE(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("-R"), user + u':' + user, sandbox.root()}),
                 0);
        // Named as the tool: another user's copy, and a copy of ours that becomes another user's
        // when asked to end, so that it cannot be ended.
        const QStringList commands = {QStringLiteral("exec -a \"$0\" sleep 600"),
                                      QStringLiteral("exec -a \"$0\" /usr/bin/python3 -c 'import os, signal, time\n"
                                                     "signal.signal(signal.SIGTERM, lambda *_: os.setresuid(54322, "
                                                     "54322, 54322))\ntime.sleep(600)'")};
        // The second is ours by its real ids and root by its effective ones, so that it can change
        // them; bash keeps them so with -p.
        const QList<QStringList> owners = {
            asUser(QStringLiteral("54322")),
            QStringLiteral("--ruid=%1 --euid=0 --rgid=%1 --egid=0 --clear-groups --").arg(user).split(u' ')};
        std::array<QProcess, 2> copies;
        for (std::size_t index = 0; index < copies.size(); ++index) {
            copies[index].start(QStringLiteral("/usr/bin/setpriv"),
                                QStringList(owners[index]) << QStringLiteral("/bin/bash") << QStringLiteral("-pc")
                                                           << commands[index] << sandbox.word());
        }
        const auto endCopies = qScopeGuard([&copies] {
            for (QProcess& copy : copies) {
                copy.kill();
                copy.waitForFinished();
            }
        });
        const auto named = [&sandbox](const QProcess& copy) {
            return TestSandbox::readFile(QStringLiteral("/proc/%1/cmdline").arg(copy.processId()))
                .startsWith(sandbox.word().toUtf8());
        };
        // The copy that refuses to end does so once Python has its handler, which on a loaded
        // machine comes well after its name.
        const auto catchesTerm = [](const QProcess& copy) {
            const QByteArray status = TestSandbox::readFile(QStringLiteral("/proc/%1/status").arg(copy.processId()));
            const qsizetype at = status.indexOf("\nSigCgt:\t");
            return at >= 0 && (status.mid(at + 9, 16).toULongLong(nullptr, 16) & (1ULL << (SIGTERM - 1))) != 0;
        };
        QVERIFY(ProgramRun::waitUntil([&] { return named(copies[0]) && named(copies[1]) && catchesTerm(copies[1]); },
                                      Patience));

        auto run = start(sandbox, {200, TestSandbox::toolScript(Graceful), {}, {}}, true, user);
        QVERIFY(run);
        // The other user's copy is neither counted nor signalled, and no grace period is spent on
        // it; the copy that could not be ended is named instead of a success.
        const QString stuck = QStringLiteral("[%1]").arg(copies[1].processId());
        QVERIFY2(inOrder(run->lines(),
                         {QStringLiteral("🔍 Searching for existing corvalt processes..."),
                          QStringLiteral("🎯 Found 1 corvalt process(es): ") + stuck,
                          QStringLiteral("🔨 Killing corvalt process with PID: ") + stuck.mid(1).chopped(1),
                          Output + QStringLiteral("⚠️ Could not end existing corvalt process(es): ") + stuck,
                          QStringLiteral("⚠️ Existing corvalt processes still running: ") + stuck,
                          QStringLiteral("📥 Downloading latest CLI version...")}),
                 qPrintable(run->lines().join(u'\n')));
        QVERIFY(!run->hasLine(QStringLiteral("✅ All existing corvalt processes terminated")));
        const auto swept = run->lineReadAt(run->indexOf(QStringLiteral("📥 Downloading latest CLI version..."))) -
            run->lineReadAt(run->indexOf(QStringLiteral("🔍 Searching for existing corvalt processes...")));
        QVERIFY2(swept < std::chrono::milliseconds(1000),
                 qPrintable(QString::number(std::chrono::duration_cast<std::chrono::milliseconds>(swept).count())));
        quit(*run, SIGTERM, Stopped, sandbox.toolReport()->group);
        QCOMPARE(copies[0].state(), QProcess::Running);
    }

    void adoptedHelpersAreReaped()
    {
        TestSandbox sandbox;
        // Ten background helpers, each orphaned at once and handed to the program.
        const QByteArray helpers = "for n in 1 2 3 4 5 6 7 8 9 10; do\n"
                                   "  (sh -c 'sleep 0.2; echo done >> \"$HOME/helpers\"' &)\ndone\n";
        auto run = start(sandbox, {200, TestSandbox::toolScript(helpers + Graceful), {}, {}});
        QVERIFY(run);
        QVERIFY(run->waitUntil(
            [&] { return TestSandbox::readFile(sandbox.home() + QStringLiteral("/helpers")).count('\n') == 10; },
            Patience));
        // Once they have ended, only the tool's shell is left of the program's children.
        const qint64 shell = sandbox.toolReport()->group;
        QVERIFY(
            run->waitUntil([&] { return ProcTable::childrenOf(run->processId()) == QList<qint64>{shell}; }, Patience));
        quit(*run, SIGTERM, Stopped, shell); // the tool still ran
    }

    void quitDuringAStalledDownload()
    {
        TestSandbox sandbox;
        TestSandbox::writeScript(sandbox.toolPath(), "echo old\n");
        const QByteArray body = "#!/bin/sh\n" + QByteArray(1 << 20, '#');
        auto run = start(sandbox, {200, body, HttpsTestServer::Behaviour::StallMidBody, {}}, false);
        QVERIFY(run && run->hasLine(QStringLiteral("📥 Update mode: true")));
        QVERIFY(run->waitUntil([this] { return m_server->requestCount() > 0; }, Patience));
        quit(*run, SIGTERM, NothingToStop, 0);
        QCOMPARE(sandbox.installedTool(), QByteArray("#!/bin/sh\necho old\n"));
        QCOMPARE(sandbox.installDirEntries(), QStringList{QStringLiteral("corvalt")});
    }

    void floodKeepsTheProgramBoundedAndAnswering()
    {
        TestSandbox sandbox;
        // As fast as a pipe goes: coloured lines in large writes, then an end mark, then idle.
        const QByteArray tool = TestSandbox::toolScript(
            "line=$(printf '\\033[32mINFO\\033[0m flood-line 0123456789 abcdefghijklmnopqrstuvwxyz')\n"
            "yes \"$line\" | head -c " +
            QByteArray::number(FloodBytes) + "\nprintf '\\nflood-done\\n'\n" + Graceful);
        auto run = start(sandbox, {200, tool, {}, {}});
        // Part of the way in, a second launch starts no second tool: it asks the first for its
        // window, which answers from its event loop between the pieces of the flood, and leaves.
        QVERIFY(run && run->waitUntil([&run] { return run->logBytes() > FloodBytes / 4; }, 10 * Patience));
        const qint64 toolPid = sandbox.toolReport()->pid;
        ProgramRun second(QStringLiteral(PLAIN_TRAY_UNDER_TEST), sandbox.environment(m_server->origin()));
        QVERIFY(second.start() && second.waitForExit(Patience) && second.exitCode() == 0);
        QCOMPARE(
            second.lines(),
            seq(QStringLiteral("🪟 Corvalt is already running: asked it to bring its terminal window to the front")));
        QVERIFY(run->hasLine(QStringLiteral("🪟 Another launch asked for the terminal window")));
        QCOMPARE(sandbox.toolReport()->pid, toolPid);
        QVERIFY(run->waitForLineContaining(QStringLiteral("tool-up"), 10 * Patience));
        const qint64 peak = ProcTable::statusBytes(run->processId(), "VmHWM");
        qInfo("flood of %lld MiB: peak resident memory %lld MiB", FloodBytes >> 20, peak >> 20);
        QVERIFY(peak > 0);
        // The log carries the output once, not the whole text again at each change.
        QVERIFY2(run->logBytes() < 3 * FloodBytes, qPrintable(QString::number(run->logBytes())));
        // Far below what the flood would take if the program kept it, far above what it needs. The
        // sanitizer's shadow memory and quarantine say nothing about the program's own bound.
        QVERIFY2(Sanitized || peak < qint64(160) << 20, qPrintable(QStringLiteral("%1 MiB").arg(peak >> 20)));
        quit(*run, SIGTERM, Stopped, sandbox.toolReport()->group);
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
