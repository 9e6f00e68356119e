#include "manager_test_support.h"
#include "tests/support/log_capture.h"

#include <QTest>

// The tool started in a real login shell: zsh first, bash as the fallback, output streamed.
class TestManagerLaunch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void missingOrNotExecutableToolIsReported();
    void twoLinesUnderZsh();
    void failingToolFallsBackToBashOnce();
    void firstRunErrorsAreHiddenFallbackErrorsShown();
    void zshMissingFallsBackToBash();
    void noShellAtAll();
    void environmentAndArguments();
    void hostileHomeDirectory();
    void splitAndInvalidUtf8AreKept();
    void floodArrivesWhole();
    void relaunchReplacesWithoutFallback();
    void crashingToolIsReported();
    void binaryJunkKeepsTheOutputWhole();
    void backgroundChildHoldingThePipeEndsAtCleanup();
    void manyRunsLeakNothing();

private:
    static bool waitForExit(CorvaltManager& manager, int count = 1);
};

bool TestManagerLaunch::waitForExit(CorvaltManager& manager, int count)
{
    return QTest::qWaitFor(
        [&] { return manager.output().count(QStringLiteral("⚡️ CLI exited with code")) >= count; }, 20000);
}

void TestManagerLaunch::missingOrNotExecutableToolIsReported()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QTRY_VERIFY(
        manager.output().endsWith(QStringLiteral("❌ CLI not found or not executable at %1\n").arg(sandbox.toolPath())));

    TestSandbox::writeScript(sandbox.toolPath(), "echo should not run\n");
    QFile(sandbox.toolPath()).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    manager.runCLI();
    QTRY_COMPARE(manager.output().count(QStringLiteral("❌ CLI not found or not executable at ")), 2);
    QVERIFY(!manager.currentProcess());
    QTest::qWait(200);
    QVERIFY(!manager.output().contains(QStringLiteral("should not run")));
}

void TestManagerLaunch::twoLinesUnderZsh()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "echo first\necho second\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QVERIFY(manager.currentProcess());
    QVERIFY(waitForExit(manager));
    QCOMPARE(manager.output(),
             QStringLiteral("🔧 Corvalt Manager initialized\n"
                            "▶️ Starting corvalt CLI in zsh with color support...\n"
                            "✅ CLI started successfully in zsh\n"
                            "first\nsecond\n"
                            "\n⚡️ CLI exited with code 0\n"));
    QVERIFY(!manager.currentProcess());
}

void TestManagerLaunch::failingToolFallsBackToBashOnce()
{
    TestSandbox sandbox;
    const QString counter = sandbox.root() + QStringLiteral("/runs");
    TestSandbox::writeScript(sandbox.toolPath(), "echo run >> \"$RUNS\"\nexit 3\n");
    qputenv("RUNS", QFile::encodeName(counter));
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QVERIFY(waitForExit(manager));
    QTest::qWait(300);
    qunsetenv("RUNS");

    const QString output = manager.output();
    QVERIFY2(appearsInOrder(output,
                            {QStringLiteral("▶️ Starting corvalt CLI in zsh with color support...\n"),
                             QStringLiteral("✅ CLI started successfully in zsh\n"),
                             QStringLiteral("⚠️ zsh failed, trying bash...\n"),
                             QStringLiteral("▶️ Starting corvalt CLI in bash with color support...\n"),
                             QStringLiteral("✅ CLI started successfully in bash\n")}),
             qPrintable(output));
    QVERIFY(output.endsWith(QStringLiteral("\n⚡️ CLI exited with code 3\n")));
    QCOMPARE(output.count(QStringLiteral("⚡️ CLI exited")), 1);
    QCOMPARE(output.count(QStringLiteral("▶️ Starting")), 2);
    // Twice in each shell: with colour, then plainly.
    QCOMPARE(readAll(counter), QByteArray("run\nrun\nrun\nrun\n"));
    QVERIFY(!manager.currentProcess());
}

void TestManagerLaunch::firstRunErrorsAreHiddenFallbackErrorsShown()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(),
                             "if [ \"$1\" = --color=always ]; then echo colour-error >&2; exit 1; fi\n"
                             "echo plain-error >&2\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QVERIFY(waitForExit(manager));
    QVERIFY(manager.output().contains(QStringLiteral("plain-error\n")));
    QVERIFY(!manager.output().contains(QStringLiteral("colour-error")));
    QVERIFY(manager.output().endsWith(QStringLiteral("\n⚡️ CLI exited with code 0\n")));
}

void TestManagerLaunch::zshMissingFallsBackToBash()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "echo ran\n");
    ManagerConfig config = sandboxConfig(sandbox);
    config.zshPath = sandbox.root() + QStringLiteral("/no-such-zsh");
    CorvaltManager manager(config);
    manager.runCLI();
    QVERIFY(waitForExit(manager));
    const QString output = manager.output();
    const qsizetype failed = output.indexOf(QStringLiteral("⚠️ Failed to start in zsh, trying bash: "));
    QVERIFY2(failed > 0, qPrintable(output));
    const qsizetype lineEnd = output.indexOf(u'\n', failed);
    QVERIFY(lineEnd > failed + 45);
    QVERIFY(output.mid(lineEnd + 1)
                .startsWith(QStringLiteral("▶️ Starting corvalt CLI in bash with color support...\n"
                                           "✅ CLI started successfully in bash\n")));
    QVERIFY(output.contains(QStringLiteral("ran\n")));
}

void TestManagerLaunch::noShellAtAll()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "echo ran\n");
    ManagerConfig config = sandboxConfig(sandbox);
    config.zshPath = sandbox.root() + QStringLiteral("/no-such-zsh");
    config.bashPath = sandbox.root() + QStringLiteral("/no-such-bash");
    CorvaltManager manager(config);
    manager.runCLI();
    QTRY_VERIFY(manager.output().contains(QStringLiteral("❌ Failed to run CLI in bash: ")));
    QVERIFY(appearsInOrder(manager.output(),
                           {QStringLiteral("🔧 Corvalt Manager initialized\n"
                                           "▶️ Starting corvalt CLI in zsh with color support...\n"
                                           "⚠️ Failed to start in zsh, trying bash: "),
                            QStringLiteral("\n▶️ Starting corvalt CLI in bash with color support...\n"
                                           "❌ Failed to run CLI in bash: ")}));
    QVERIFY(manager.output().endsWith(u'\n'));
    QVERIFY(!manager.currentProcess());
    QTest::qWait(200);
    QVERIFY(!manager.output().contains(QStringLiteral("⚡️")));
}

void TestManagerLaunch::environmentAndArguments()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(),
                             "echo \"args=$*\"\n"
                             "echo \"TERM=$TERM COLORTERM=$COLORTERM FORCE_COLOR=$FORCE_COLOR\"\n"
                             "echo \"CLICOLOR=$CLICOLOR CLICOLOR_FORCE=$CLICOLOR_FORCE TERM_PROGRAM=$TERM_PROGRAM\"\n"
                             "echo \"NO_COLOR=${NO_COLOR-unset} ANSI_COLORS_DISABLED=${ANSI_COLORS_DISABLED-unset}\"\n"
                             "echo \"KEEP=$KEEP_THIS\"\n");
    qputenv("NO_COLOR", "1");
    qputenv("ANSI_COLORS_DISABLED", "1");
    qputenv("KEEP_THIS", "kept");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    qunsetenv("NO_COLOR");
    qunsetenv("ANSI_COLORS_DISABLED");
    qunsetenv("KEEP_THIS");
    QVERIFY(waitForExit(manager));
    QVERIFY2(manager.output().contains(QStringLiteral("args=--color=always\n"
                                                      "TERM=xterm-256color COLORTERM=truecolor FORCE_COLOR=1\n"
                                                      "CLICOLOR=1 CLICOLOR_FORCE=1 TERM_PROGRAM=Corvalt Mac\n"
                                                      "NO_COLOR=unset ANSI_COLORS_DISABLED=unset\n"
                                                      "KEEP=kept\n")),
             qPrintable(manager.output()));
}

void TestManagerLaunch::hostileHomeDirectory()
{
    TestSandbox sandbox(QStringLiteral("home dir 'q' \"d\" $HOME `id` ü"));
    TestSandbox::writeScript(sandbox.toolPath(), "echo hostile-home-ok\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QVERIFY(waitForExit(manager));
    QVERIFY2(manager.output().contains(QStringLiteral("hostile-home-ok\n")), qPrintable(manager.output()));
    QVERIFY(manager.output().endsWith(QStringLiteral("\n⚡️ CLI exited with code 0\n")));
    QVERIFY(!manager.output().contains(QStringLiteral("trying bash")));
}

void TestManagerLaunch::splitAndInvalidUtf8AreKept()
{
    TestSandbox sandbox;
    // "é" split across two writes with a pause between, then a byte that is never valid.
    TestSandbox::writeScript(sandbox.toolPath(),
                             "printf 'caf\\303'\nsleep 0.3\nprintf '\\251 ok\\n'\nprintf 'bad \\377 byte\\n'\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QVERIFY(waitForExit(manager));
    QVERIFY2(manager.output().contains(QStringLiteral("café ok\n")), qPrintable(manager.output()));
    QVERIFY(manager.output().contains(QStringLiteral("bad \uFFFD byte\n")));
}

void TestManagerLaunch::floodArrivesWhole()
{
    TestSandbox sandbox;
    // 10 MiB of numbered lines: any lost, doubled or reordered piece breaks the comparison.
    TestSandbox::writeScript(sandbox.toolPath(), "seq -w 1 1048576 | sed 's/$/ flood/' | head -c 10485760\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QVERIFY(waitForExit(manager));

    QProcess reference;
    reference.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QStringLiteral("seq -w 1 1048576 | sed 's/$/ flood/' | head -c 10485760")});
    QVERIFY(reference.waitForFinished(60000));
    const QString expected = QString::fromLatin1(reference.readAll());
    QCOMPARE(expected.size(), qsizetype(10485760));
    QVERIFY(manager.output().contains(QStringLiteral("✅ CLI started successfully in zsh\n") + expected +
                                      QStringLiteral("\n⚡️ CLI exited with code 0\n")));
}

void TestManagerLaunch::relaunchReplacesWithoutFallback()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "echo started\nwhile :; do sleep 0.05; done\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QTRY_VERIFY(manager.output().contains(QStringLiteral("started\n")));
    ToolProcess* const first = manager.currentProcess();
    const qint64 firstGroup = first->processId();

    manager.runCLI();
    ToolProcess* const second = manager.currentProcess();
    QVERIFY(second && second != first);
    QVERIFY(QTest::qWaitFor([&] { return processesInGroup(firstGroup).isEmpty(); }, 10000));
    QVERIFY(waitForExit(manager));
    QTest::qWait(300);

    // The replaced shell's exit is reported, but it neither falls back nor forgets the new one.
    QVERIFY(!manager.output().contains(QStringLiteral("trying bash")));
    QCOMPARE(manager.output().count(QStringLiteral("▶️ Starting corvalt CLI in zsh")), 2);
    QCOMPARE(manager.currentProcess(), second);
    QVERIFY(second->isRunning());
    manager.cleanup();
    QVERIFY(!manager.currentProcess());
}

void TestManagerLaunch::crashingToolIsReported()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "echo crashing\nkill -SEGV $$\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QVERIFY(waitForExit(manager));
    // bash runs the last command in its own process, so the signal itself ends the shell.
    QVERIFY2(manager.output().endsWith(QStringLiteral("\n⚡️ CLI exited with code 11\n")),
             qPrintable(manager.output()));
    QVERIFY(manager.output().contains(QStringLiteral("⚠️ zsh failed, trying bash...\n")));
    QCOMPARE(manager.output().count(QStringLiteral("crashing\n")), 4);
    QVERIFY(!manager.currentProcess());
}

void TestManagerLaunch::binaryJunkKeepsTheOutputWhole()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "echo before\nhead -c 200000 /dev/urandom\necho\necho after\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    QVERIFY(waitForExit(manager));
    const QString output = manager.output();
    QVERIFY(appearsInOrder(output,
                           {QStringLiteral("before\n"), QStringLiteral("\nafter\n\n⚡️ CLI exited with code 0\n")}));
    QVERIFY(output.contains(QChar::ReplacementCharacter));
}

void TestManagerLaunch::backgroundChildHoldingThePipeEndsAtCleanup()
{
    TestSandbox sandbox;
    const QString pidFile = sandbox.root() + QStringLiteral("/child.pid");
    // The child inherits the output pipe and outlives the tool.
    TestSandbox::writeScript(sandbox.toolPath(),
                             QByteArray("(trap 'exit 0' TERM; while :; do sleep 0.05; done) &\necho $! > '") +
                                 QFile::encodeName(pidFile) + "'\necho parent-done\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    manager.runCLI();
    const qint64 group = manager.currentProcess()->processId();
    QVERIFY(waitForExit(manager));
    QVERIFY(manager.output().endsWith(QStringLiteral("parent-done\n\n⚡️ CLI exited with code 0\n")));
    QVERIFY(!manager.currentProcess());
    const qint64 child = readAll(pidFile).trimmed().toLongLong();
    QVERIFY(processesInGroup(group).contains(child));

    const LogCapture log;
    manager.cleanup();
    QCOMPARE(log.linesStartingWith({QStringLiteral("🧹"), QStringLiteral("ℹ️"), QStringLiteral("✅ CLI process")}),
             (QStringList{QStringLiteral("🧹 CorvaltManager cleanup called"),
                          QStringLiteral("ℹ️ No running CLI process to clean up")}));
    QVERIFY(processesInGroup(group).isEmpty());
}

void TestManagerLaunch::manyRunsLeakNothing()
{
    TestSandbox sandbox;
    TestSandbox::writeScript(sandbox.toolPath(), "echo run\n");
    CorvaltManager manager(sandboxConfig(sandbox));
    const auto openDescriptors = [] {
        return QDir(QStringLiteral("/proc/self/fd"))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
            .size();
    };
    const auto zombieChildren = [] {
        int zombies = 0;
        const QString self = QString::number(QCoreApplication::applicationPid());
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QByteArray stat = readAll(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && fields.at(0) == "Z" && fields.at(1) == self.toLatin1()) {
                ++zombies;
            }
        }
        return zombies;
    };

    manager.runCLI();
    QVERIFY(waitForExit(manager, 1));
    QTest::qWait(100);
    const qsizetype before = openDescriptors();
    for (int run = 2; run <= 51; ++run) {
        manager.runCLI();
        QVERIFY(waitForExit(manager, run));
    }
    QTest::qWait(300);
    QCOMPARE(openDescriptors(), before);
    QCOMPARE(zombieChildren(), 0);
    QCOMPARE(manager.findChildren<ToolProcess*>().size(), 0);
}

QTEST_GUILESS_MAIN(TestManagerLaunch)
#include "tst_manager_launch.moc"
