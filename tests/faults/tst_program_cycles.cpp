#include "proc_table.h"
#include "program_log.h"
#include "program_run.h"
#include "program_sandbox.h"
#include "tests/support/https_test_server.h"

#include <QDir>
#include <QTest>

#include <unistd.h>

// Launch and quit, again and again, as logins and logouts do: each cycle installs and starts
// the tool, each quit ends it, and nothing piles up.
class TestProgramCycles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void launchAndQuitFiftyTimesLeavesNothingBehind();
};

namespace {
constexpr int Patience = 30000;
constexpr int Cycles = 50;
} // namespace

void TestProgramCycles::launchAndQuitFiftyTimesLeavesNothingBehind()
{
    ProgramSandbox sandbox;
    HttpsTestServer server(QStringLiteral(TEST_CERT_DIR "/server"));
    const QByteArray tool = ProgramSandbox::toolScript("trap 'exit 0' TERM\nwhile :; do sleep 1; done\n");
    server.setRoute("/static/cli/" + ProgramSandbox::AssetName.toUtf8(), {200, tool, {}, {}});
    QVERIFY(server.listen());
    // What this test itself holds, the program may pass on without leaking anything of its own.
    const QStringList allowedTargets = ProcTable::descriptorTargets(::getpid());

    QList<qint64> groups;
    for (int cycle = 1; cycle <= Cycles; ++cycle) {
        sandbox.forgetToolReport();
        ProgramRun run(QStringLiteral(PLAIN_TRAY_UNDER_TEST), sandbox.environment(server.origin()));
        QVERIFY(run.start());
        QVERIFY2(run.waitUntil([&sandbox] { return sandbox.toolReport().has_value(); }, Patience),
                 qPrintable(QStringLiteral("cycle %1:\n%2").arg(cycle).arg(run.lines().join(u'\n'))));
        const auto report = sandbox.toolReport();
        groups.append(report->group);
        // Whatever the tool inherited came from outside the program, never from it: no lock,
        // socket, pipe or download of the program's own reaches the tool.
        for (const QString& inherited : report->inheritedDescriptors) {
            const QString target = inherited.mid(inherited.indexOf(QStringLiteral(" -> ")) + 4);
            QVERIFY2(allowedTargets.contains(target), qPrintable(inherited));
        }
        QVERIFY(run.waitForLine(ProgramLog::output(QStringLiteral("✅ CLI started successfully in zsh")), Patience));

        run.terminate();
        QVERIFY(run.waitForExit(Patience));
        QVERIFY(run.exitedNormally());
        QCOMPARE(run.exitCode(), 0);
        QVERIFY2(ProgramLog::quitLines(run) == ProgramLog::quitBySigterm(ProgramLog::Tool::Graceful),
                 qPrintable(QStringLiteral("cycle %1:\n%2").arg(cycle).arg(ProgramLog::quitLines(run).join(u'\n'))));
        QCOMPARE(ProcTable::group(report->group), QList<qint64>());
        QCOMPARE(sandbox.installDirEntries(), QStringList{QStringLiteral("corvalt")});
        QCOMPARE(sandbox.installedTool(), tool);
        // The single-instance lock and socket go with the program.
        QCOMPARE(
            QDir(sandbox.runtimeDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList());
    }

    // Each launch had a tool of its own, and none of them is left, not even as a zombie.
    QCOMPARE(QSet<qint64>(groups.cbegin(), groups.cend()).size(), Cycles);
    QCOMPARE(ProcTable::withCommandLineContaining(sandbox.word().toUtf8()), QList<qint64>());
    for (const qint64 group : std::as_const(groups)) {
        QCOMPARE(ProcTable::group(group), QList<qint64>());
    }
    QCOMPARE(ProcTable::zombieChildrenOf(::getpid()), QList<qint64>());
}

QTEST_GUILESS_MAIN(TestProgramCycles)
#include "tst_program_cycles.moc"
