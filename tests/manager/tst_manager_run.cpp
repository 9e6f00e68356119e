#include "manager/tool_process.h"
#include "manager_test_support.h"
#include "tests/support/environment_guard.h"
#include "tests/support/in_order.h"
#include "tests/support/proc_table.h"

#include <QProcess>

// The tool in a real login shell: what reaches the output, and the fallback to bash. How it
// stops is the whole program's suite's.
class TestManagerRun : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runs_data();
    void runs();
    void floodArrivesWhole();
    void manyRunsLeakNothing();
};

namespace {
const QString Missing = QStringLiteral("/nonexistent/shell");
const QString Exited0 = QStringLiteral("\n⚡️ CLI exited with code 0\n");
} // namespace

void TestManagerRun::runs_data()
{
    QTest::addColumn<QString>("homeName");
    QTest::addColumn<QString>("zsh");
    QTest::addColumn<QString>("bash");
    QTest::addColumn<QByteArray>("tool"); // empty: no tool installed
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<int>("runs");

    const QString zsh = QStringLiteral("/bin/zsh");
    const QString bash = QStringLiteral("/bin/bash");
    const QString odd = QStringLiteral("home dir 'q' \"d\" $HOME `id` \\ ü");
    const QString home = QStringLiteral("home");
    const QByteArray counted = "echo run >> \"$HOME/runs\"\n";
    QTest::newRow("two lines under zsh") << home << zsh << bash << (counted + "echo first\necho second\n")
                                         << QStringList{QStringLiteral(
                                                            "🔧 Corvalt Manager initialized\n"
                                                            "▶️ Starting corvalt CLI in zsh with color support...\n"
                                                            "✅ CLI started successfully in zsh\nfirst\nsecond\n") +
                                                        Exited0}
                                         << QStringList{} << 1;
    QTest::newRow("failing tool falls back to bash once")
        << home << zsh << bash << (counted + "exit 3\n")
        << QStringList{QStringLiteral("⚠️ zsh failed, trying bash...\n"),
                       QStringLiteral("▶️ Starting corvalt CLI in bash with color support...\n"),
                       QStringLiteral("\n⚡️ CLI exited with code 3\n")}
        << QStringList{} << 4;
    QTest::newRow("crash is reported") << home << zsh << bash << (counted + "ulimit -c 0\nkill -SEGV $$\n")
                                       << QStringList{QStringLiteral("⚠️ zsh failed, trying bash...\n"),
                                                      QStringLiteral("\n⚡️ CLI exited with code 11\n")}
                                       << QStringList{} << 4;
    QTest::newRow("colour run's errors hidden, plain run's shown")
        << home << zsh << bash
        << QByteArray("[ \"$1\" = --color=always ] && { echo colour-error >&2; exit 1; }\necho plain-error >&2\n")
        << QStringList{QStringLiteral("plain-error\n") + Exited0} << QStringList{QStringLiteral("colour-error")} << 0;
    QTest::newRow("no zsh: bash") << home << Missing << bash << (counted + "echo ran\n")
                                  << QStringList{QStringLiteral("⚠️ Failed to start in zsh, trying bash: "),
                                                 QStringLiteral(
                                                     "\n▶️ Starting corvalt CLI in bash with color support...\n"
                                                     "✅ CLI started successfully in bash\n"),
                                                 QStringLiteral("ran\n") + Exited0}
                                  << QStringList{} << 1;
    QTest::newRow("no shell at all") << home << Missing << Missing << QByteArray("echo ran\n")
                                     << QStringList{QStringLiteral("⚠️ Failed to start in zsh, trying bash: "),
                                                    QStringLiteral("❌ Failed to run CLI in bash: ")}
                                     << QStringList{QStringLiteral("⚡️"), QStringLiteral("ran\n")} << 0;
    QTest::newRow("no tool") << home << zsh << bash << QByteArray()
                             << QStringList{QStringLiteral("❌ CLI not found or not executable at ")}
                             << QStringList{QStringLiteral("▶️")} << 0;
    QTest::newRow("odd home under zsh") << odd << zsh << bash << (counted + "echo odd-home-ok\n")
                                        << QStringList{QStringLiteral("odd-home-ok\n") + Exited0}
                                        << QStringList{QStringLiteral("trying bash")} << 1;
    QTest::newRow("odd home under bash") << odd << Missing << bash << (counted + "echo odd-home-ok\n")
                                         << QStringList{QStringLiteral("odd-home-ok\n") + Exited0} << QStringList{}
                                         << 1;
    QTest::newRow("colour forced, colour vetoes removed")
        << home << zsh << bash
        << QByteArray("echo \"args=$* FORCE_COLOR=$FORCE_COLOR TERM=$TERM\"\n"
                      "echo \"NO_COLOR=${NO_COLOR-unset} ANSI_COLORS_DISABLED=${ANSI_COLORS_DISABLED-unset}\"\n"
                      "echo \"KEEP=$KEEP_THIS\"\n")
        << QStringList{QStringLiteral("args=--color=always FORCE_COLOR=1 TERM=xterm-256color\n"
                                      "NO_COLOR=unset ANSI_COLORS_DISABLED=unset\nKEEP=kept\n")}
        << QStringList{} << 0;
    // Characters cut by a read, followed by the rest, by a line feed, and by nothing at all.
    QTest::newRow("UTF-8 cut across reads, invalid bytes")
        << home << zsh << bash
        << QByteArray("printf 'caf\\303'\nsleep 0.3\nprintf '\\251 ok\\n'\nprintf 'bad \\377 byte\\n'\n"
                      "printf 'cut \\342\\202'\nsleep 0.3\nprintf '\\nnext\\n'\nprintf 'end \\342'\n")
        << QStringList{QStringLiteral("café ok\nbad \uFFFD byte\ncut \uFFFD"),
                       QStringLiteral("\nnext\nend \uFFFD") + Exited0}
        << QStringList{} << 0;
}

void TestManagerRun::runs()
{
    QFETCH(QString, homeName);
    QFETCH(QString, zsh);
    QFETCH(QString, bash);
    QFETCH(QByteArray, tool);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, absent);
    QFETCH(int, runs);

    TestSandbox sandbox(homeName);
    if (!tool.isEmpty()) {
        TestSandbox::writeScript(sandbox.toolPath(), tool);
    }
    ManagerConfig config = sandboxConfig(sandbox);
    config.zshPath = zsh;
    config.bashPath = bash;
    CorvaltManager manager(config);
    {
        const EnvironmentGuard environment({{"NO_COLOR", "1"}, {"ANSI_COLORS_DISABLED", "1"}, {"KEEP_THIS", "kept"}});
        manager.runCLI();
    }
    const auto output = [&manager] { return manager.output(); };
    QTRY_VERIFY2_WITH_TIMEOUT(inOrder(output(), expected), qPrintable(output()), 20000);
    // Nothing more comes: no second exit, no restart.
    QTest::qWait(300);
    QVERIFY2(output().count(QStringLiteral("⚡️ CLI exited")) <= 1, qPrintable(output()));
    for (const QString& text : absent) {
        QVERIFY2(!output().contains(text), qPrintable(text));
    }
    QCOMPARE(readAll(sandbox.home() + QStringLiteral("/runs")).count("run\n"), runs);
    QVERIFY(!manager.currentProcess());
}

void TestManagerRun::floodArrivesWhole()
{
    TestSandbox sandbox;
    // 10 MiB of numbered lines: any lost, doubled or reordered piece breaks the comparison.
    const QByteArray flood = "seq -w 1 1048576 | sed 's/$/ flood/' | head -c 10485760\n";
    TestSandbox::writeScript(sandbox.toolPath(), flood);
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QVERIFY(waitForExit(manager));
    QProcess reference;
    reference.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromLatin1(flood)});
    QVERIFY(reference.waitForFinished(60000));
    const QString expected = QString::fromLatin1(reference.readAll());
    QCOMPARE(expected.size(), qsizetype(10485760));
    QVERIFY(manager.output().endsWith(QStringLiteral("✅ CLI started successfully in zsh\n") + expected + Exited0));
}

void TestManagerRun::manyRunsLeakNothing()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "echo run\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    const qint64 self = QCoreApplication::applicationPid();
    manager.runCLI();
    QVERIFY(waitForExit(manager, 1));
    QTest::qWait(100);
    const int before = ProcTable::openDescriptors(self);
    for (int run = 2; run <= 51; ++run) {
        manager.runCLI();
        QVERIFY(waitForExit(manager, run));
    }
    QTest::qWait(300);
    QCOMPARE(ProcTable::openDescriptors(self), before);
    QCOMPARE(ProcTable::zombieChildrenOf(self), QList<qint64>());
    QCOMPARE(manager.findChildren<ToolProcess*>().size(), 0);
}

QTEST_GUILESS_MAIN(TestManagerRun)
#include "tst_manager_run.moc"
