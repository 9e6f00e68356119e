#include "proc_table.h"
#include "program_log.h"
#include "program_run.h"
#include "program_sandbox.h"
#include "tests/support/https_test_server.h"

#include <QTest>

// Tools that misbehave under the whole program: the program outlives them, stays answerable
// and bounded, and leaves none of their processes behind when it exits.
class TestProgramToolFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stubbornToolIsGoneWhenTheProgramHasExited();
    void toolEndingByItselfLeavesNothing_data();
    void toolEndingByItselfLeavesNothing();
    void floodKeepsTheProgramBoundedAndAnswering();

private:
    // Serves `tool` as the newest build and launches the program; it returns once the tool has
    // written its report.
    std::unique_ptr<ProgramRun> launch(const ProgramSandbox& sandbox, const QByteArray& tool);
    // Quits by SIGTERM and checks that the program ended well and the tool's group is empty.
    static void quit(ProgramRun& run, qint64 toolGroup, ProgramLog::Tool expected);

    std::unique_ptr<HttpsTestServer> m_server;
};

namespace {

constexpr int Patience = 30000;

#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 FloodBytes = qint64(64) * 1024 * 1024;
#elif !defined(NDEBUG)
constexpr qint64 FloodBytes = qint64(256) * 1024 * 1024;
#else
constexpr qint64 FloodBytes = qint64(1024) * 1024 * 1024;
#endif

// Far below what the flood would take if the program kept it, far above what it needs.
constexpr qint64 MemoryBound = qint64(160) * 1024 * 1024;

} // namespace

std::unique_ptr<ProgramRun> TestProgramToolFaults::launch(const ProgramSandbox& sandbox, const QByteArray& tool)
{
    m_server = std::make_unique<HttpsTestServer>(QStringLiteral(TEST_CERT_DIR "/server"));
    m_server->setRoute("/static/cli/" + ProgramSandbox::AssetName.toUtf8(), {200, tool, {}, {}});
    if (!m_server->listen()) {
        return nullptr;
    }
    auto run =
        std::make_unique<ProgramRun>(QStringLiteral(PLAIN_TRAY_UNDER_TEST), sandbox.environment(m_server->origin()));
    if (!run->start() || !run->waitUntil([&sandbox] { return sandbox.toolReport().has_value(); }, Patience)) {
        qWarning("%s", qPrintable(run->lines().join(u'\n')));
        return nullptr;
    }
    return run;
}

void TestProgramToolFaults::quit(ProgramRun& run, qint64 toolGroup, ProgramLog::Tool expected)
{
    run.terminate();
    QVERIFY(run.waitForExit(Patience));
    QVERIFY(run.exitedNormally());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(ProgramLog::quitLines(run), ProgramLog::quitBySigterm(expected));
    // Gone, zombies included, by the time the program has exited.
    QCOMPARE(ProcTable::group(toolGroup), QList<qint64>());
}

void TestProgramToolFaults::stubbornToolIsGoneWhenTheProgramHasExited()
{
    ProgramSandbox sandbox;
    // The refusal is inherited by the tool's children: none of them ends on SIGTERM either.
    const auto run = launch(sandbox, ProgramSandbox::toolScript("trap '' TERM\nwhile :; do sleep 1; done\n"));
    QVERIFY(run);
    const auto tool = sandbox.toolReport();
    QVERIFY(tool->group > 1);
    QVERIFY(!ProcTable::group(tool->group).isEmpty());
    quit(*run, tool->group, ProgramLog::Tool::Forced);
}

void TestProgramToolFaults::toolEndingByItselfLeavesNothing_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("output");
    const QString fallback = QStringLiteral("⚠️ zsh failed, trying bash...");
    QTest::newRow("exits at once") << QByteArray("exit 0\n")
                                   << QStringList{QStringLiteral("⚡️ CLI exited with code 0")};
    // Under each shell the tool runs twice, and each run crashes; bash's last run is the shell
    // itself, so the signal ends the shell.
    QTest::newRow("crashes with SIGSEGV")
        << QByteArray("ulimit -c 0\nkill -SEGV $$\n")
        << QStringList{ProgramLog::output(fallback), QStringLiteral("⚡️ CLI exited with code 11")};
    QTest::newRow("leaves a child holding the output")
        << QByteArray("sleep 600 &\necho child started\nexit 0\n")
        << QStringList{QStringLiteral("child started"), QStringLiteral("⚡️ CLI exited with code 0")};
}

void TestProgramToolFaults::toolEndingByItselfLeavesNothing()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, output);
    ProgramSandbox sandbox;
    const auto run = launch(sandbox, ProgramSandbox::toolScript(body));
    QVERIFY(run);
    const auto tool = sandbox.toolReport();
    QVERIFY2(run->waitForLine(output.constLast(), Patience), qPrintable(run->lines().join(u'\n')));
    QVERIFY(ProgramLog::inOrder(run->lines(), output));
    QVERIFY(run->waitForLine(QStringLiteral("🚀 Opening terminal window automatically"), Patience));
    quit(*run, tool->group, ProgramLog::Tool::None);
}

void TestProgramToolFaults::floodKeepsTheProgramBoundedAndAnswering()
{
    ProgramSandbox sandbox;
    // As fast as a pipe goes: coloured lines in large writes, then an end mark, then idle.
    const QByteArray tool = ProgramSandbox::toolScript(
        "line=$(printf '\\033[32mINFO\\033[0m flood-line 0123456789 abcdefghijklmnopqrstuvwxyz "
        "ABCDEFGHIJKLMNOPQRSTUVWXYZ')\n"
        "yes \"$line\" | head -c " +
        QByteArray::number(FloodBytes) +
        "\n"
        "printf '\\nflood-done\\n'\n"
        "trap 'exit 0' TERM\n"
        "while :; do sleep 1; done\n");
    const auto run = launch(sandbox, tool);
    QVERIFY(run);
    // The flood's own lines are counted, not kept: a test must not hold a gigabyte.
    run->setLineFilter([](QByteArrayView line) { return !line.contains("flood-line"); });
    const auto report = sandbox.toolReport();

    // Part of the way in, a second launch asks the running program for its window; the
    // program answers from its event loop, between the pieces of the flood.
    QVERIFY(run->waitUntil([&run] { return run->logBytes() > FloodBytes / 4; }, 10 * Patience));
    QVERIFY(run->isRunning());
    {
        ProgramRun second(QStringLiteral(PLAIN_TRAY_UNDER_TEST), sandbox.environment(m_server->origin()));
        QVERIFY(second.start());
        QVERIFY(second.waitForExit(Patience));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.lines(),
                 QStringList{QStringLiteral(
                     "🪟 Corvalt is already running: asked it to bring its terminal window to the front")});
    }
    QVERIFY(run->hasLine(QStringLiteral("🪟 Another launch asked for the terminal window")));

    QVERIFY2(run->waitForLine(QStringLiteral("flood-done"), 10 * Patience),
             qPrintable(QStringLiteral("%1 log bytes").arg(run->logBytes())));
    QVERIFY(run->logBytes() > FloodBytes);
    const qint64 peak = ProcTable::statusBytes(run->processId(), "VmHWM");
    qInfo("flood of %lld MiB: peak resident memory %lld MiB, %lld MiB logged",
          FloodBytes >> 20,
          peak >> 20,
          run->logBytes() >> 20);
    QVERIFY(peak > 0);
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizer's shadow memory and quarantine say nothing about the program's own bound.
    QVERIFY2(peak < MemoryBound, qPrintable(QStringLiteral("%1 MiB").arg(peak >> 20)));
#endif
    quit(*run, report->group, ProgramLog::Tool::Graceful);
}

QTEST_GUILESS_MAIN(TestProgramToolFaults)
#include "tst_program_tool_faults.moc"
