#include "proc_table.h"
#include "program_log.h"
#include "program_run.h"
#include "program_sandbox.h"
#include "tests/support/https_test_server.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <sys/types.h>
#include <unistd.h>

// A server that fails the program: the launch goes on to its end, the installed tool stays as it
// was, and the quit is clean.
class TestProgramServerFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void failingDownloadKeepsTheInstalledTool_data();
    void failingDownloadKeepsTheInstalledTool();
    void quitDuringADownloadLeavesTheToolAsItWas_data();
    void quitDuringADownloadLeavesTheToolAsItWas();
};

namespace {

constexpr int Patience = 30000;

// What an earlier launch installed: a tool that refuses the polite request and has no child,
// so that a copy of it left running can only end by the sweep's SIGKILL.
const QByteArray InstalledTool = ProgramSandbox::toolScript("trap '' TERM\nwhile :; do :; done\n");

QString downloadUrl(const HttpsTestServer& server)
{
    return server.origin() + QStringLiteral("/static/cli/") + ProgramSandbox::AssetName;
}

QByteArray routePath()
{
    return "/static/cli/" + ProgramSandbox::AssetName.toUtf8();
}

} // namespace

void TestProgramServerFaults::failingDownloadKeepsTheInstalledTool_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<HttpsTestServer::Behaviour>("behaviour");
    QTest::addColumn<QString>("error");
    QTest::newRow("HTTP 404") << 404 << HttpsTestServer::Behaviour::Normal
                              << QStringLiteral("Error transferring %1 - server replied: Not Found");
    // Qt's own wording for a dropped connection; only the message's start is the program's.
    QTest::newRow("reset mid-body") << 200 << HttpsTestServer::Behaviour::Reset << QString();
}

void TestProgramServerFaults::failingDownloadKeepsTheInstalledTool()
{
    QFETCH(int, status);
    QFETCH(HttpsTestServer::Behaviour, behaviour);
    QFETCH(QString, error);

    ProgramSandbox sandbox;
    QVERIFY(sandbox.isValid());
    HttpsTestServer server(QStringLiteral(TEST_CERT_DIR "/server"));
    server.setRoute(routePath(), {status, QByteArray(256 * 1024, 'n'), behaviour, {}});
    QVERIFY(server.listen());
    QVERIFY(sandbox.installTool(InstalledTool));

    // A copy of the installed tool still running from an earlier session.
    QProcess stale;
    stale.setProcessEnvironment(sandbox.environment(server.origin()));
    stale.setStandardOutputFile(QProcess::nullDevice());
    stale.start(sandbox.toolPath(), {});
    QVERIFY(stale.waitForStarted(Patience));
    QVERIFY(ProgramRun::waitUntil([&sandbox] { return sandbox.toolReport().has_value(); }, Patience));
    sandbox.forgetToolReport();
    const QString stalePid = QString::number(stale.processId());

    ProgramRun run(QStringLiteral(PLAIN_TRAY_UNDER_TEST), sandbox.environment(server.origin()));
    QVERIFY(run.start());
    const QString errorPrefix = ProgramLog::output(QStringLiteral("❌ Download error: "));
    QVERIFY2(run.waitUntil([&] { return run.indexOfLineContaining(errorPrefix) >= 0; }, Patience),
             qPrintable(run.lines().join(u'\n')));
    QVERIFY(run.waitForLine(QStringLiteral("🚀 Opening terminal window automatically"), Patience));
    if (!error.isEmpty()) {
        QVERIFY2(run.hasLine(errorPrefix + error.arg(downloadUrl(server))),
                 qPrintable(run.lines().at(run.indexOfLineContaining(errorPrefix))));
    }

    QVERIFY(ProgramLog::inOrder(run.lines(), ProgramLog::launch(downloadUrl(server), true)));
    QVERIFY(ProgramLog::inOrder(run.lines(),
                                {QStringLiteral("🔍 Searching for existing corvalt processes..."),
                                 QStringLiteral("🎯 Found 1 corvalt process(es): [%1]").arg(stalePid),
                                 QStringLiteral("🔨 Killing corvalt process with PID: %1").arg(stalePid),
                                 QStringLiteral("⚡️ Force killing stubborn process PID: %1").arg(stalePid),
                                 QStringLiteral("✅ All existing corvalt processes terminated"),
                                 QStringLiteral("📥 Downloading latest CLI version...")}));
    QVERIFY(run.waitUntil([&stale] { return stale.state() == QProcess::NotRunning; }, Patience));
    QCOMPARE(stale.exitStatus(), QProcess::CrashExit);

    // Not replaced, not started, and nothing half-written beside it.
    QCOMPARE(sandbox.installedTool(), InstalledTool);
    QCOMPARE(sandbox.installDirEntries(), QStringList{QStringLiteral("corvalt")});
    QVERIFY(QFileInfo(sandbox.toolPath()).isExecutable());
    QCOMPARE(run.indexOfLineContaining(QStringLiteral("▶️ Starting corvalt CLI")), -1);
    QVERIFY(!sandbox.toolReport());

    run.terminate();
    QVERIFY(run.waitForExit(Patience));
    QVERIFY(run.exitedNormally());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(ProgramLog::quitLines(run), ProgramLog::quitBySigterm(ProgramLog::Tool::None));
    QCOMPARE(sandbox.installedTool(), InstalledTool);
}

void TestProgramServerFaults::quitDuringADownloadLeavesTheToolAsItWas_data()
{
    QTest::addColumn<HttpsTestServer::Behaviour>("behaviour");
    QTest::newRow("stalled mid-body") << HttpsTestServer::Behaviour::StallMidBody;
    QTest::newRow("never answering") << HttpsTestServer::Behaviour::NoAnswer;
}

void TestProgramServerFaults::quitDuringADownloadLeavesTheToolAsItWas()
{
    QFETCH(HttpsTestServer::Behaviour, behaviour);

    ProgramSandbox sandbox;
    HttpsTestServer server(QStringLiteral(TEST_CERT_DIR "/server"));
    server.setRoute(routePath(), {200, QByteArray(8 * 1024 * 1024, 'n'), behaviour, {}});
    QVERIFY(server.listen());
    QVERIFY(sandbox.installTool(InstalledTool));

    ProgramRun run(QStringLiteral(PLAIN_TRAY_UNDER_TEST), sandbox.environment(server.origin()));
    QVERIFY(run.start());
    QVERIFY(run.waitForLine(QStringLiteral("🚀 Opening terminal window automatically"), Patience));
    if (behaviour == HttpsTestServer::Behaviour::StallMidBody) {
        // Half the body has been staged in the install folder when the quit comes.
        // Half the body is staged in the install folder when the quit comes: as a file there, or
        // as one without a name yet, open in the program.
        QVERIFY(run.waitUntil(
            [&] {
                return sandbox.installDirEntries().size() == 2 ||
                    !ProcTable::descriptorsUnder(run.processId(), sandbox.installDir()).isEmpty();
            },
            Patience));
    } else {
        QVERIFY(run.waitUntil([&server] { return server.requestCount() == 1; }, Patience));
    }

    run.terminate();
    QVERIFY(run.waitForExit(Patience));
    QVERIFY(run.exitedNormally());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(ProgramLog::quitLines(run), ProgramLog::quitBySigterm(ProgramLog::Tool::None));
    QCOMPARE(run.indexOfLineContaining(QStringLiteral("❌")), -1);
    QCOMPARE(sandbox.installedTool(), InstalledTool);
    QCOMPARE(sandbox.installDirEntries(), QStringList{QStringLiteral("corvalt")});
}

QTEST_GUILESS_MAIN(TestProgramServerFaults)
#include "tst_program_server_faults.moc"
