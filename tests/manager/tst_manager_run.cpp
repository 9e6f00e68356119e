#include "manager/tool_process.h"
#include "manager_test_support.h"
#include "tests/support/environment_guard.h"
#include "tests/support/in_order.h"
#include "tests/support/proc_table.h"

using namespace Qt::StringLiterals;

namespace {
const QString Missing = u"/nonexistent/shell"_s;
const QString Exited0 = u"\n⚡️ CLI exited with code 0\n"_s;
const QString Retry = u"⚠️ Failed to start in zsh, trying bash: "_s;
const QString Fallback =
    u"⚠️ zsh failed, trying bash...\n▶️ Starting corvalt CLI in bash with color support...\n"_s;
// Every run's home needs quoting in a shell, under zsh and under bash alike.
const QString OddHome = u"home dir 'q' \"d\" $HOME `id` \\ ü"_s;
QString started(const QString& shell)
{
    return u"▶️ Starting corvalt CLI in %1 with color support...\n✅ CLI started successfully in %1\n"_s.arg(
        shell);
}
} // namespace

// The tool in a real login shell: what reaches the output, and the fallback to bash. How it
// stops is the whole program's suite's.
class TestManagerRun : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runs_data()
    {
        QTest::addColumn<int>("missing"); // 1: no zsh, 2: no shell at all
        QTest::addColumn<int>("runs");
        QTest::addColumn<QStringList>("absent");
        QTest::addColumn<QByteArray>("tool"); // empty: no tool installed
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("two lines under zsh")
            << 0 << 1 << QStringList{} << QByteArray("echo first\necho second\n")
            << QStringList{u"🔧 Corvalt Manager initialized\n"_s + started(u"zsh"_s) + u"first\nsecond\n"_s + Exited0};
        QTest::newRow("failing tool falls back to bash once")
            << 0 << 4 << QStringList{} << QByteArray("exit 3\n")
            << QStringList{Fallback, u"\n⚡️ CLI exited with code 3\n"_s};
        QTest::newRow("crash is reported") << 0 << 4 << QStringList{} << QByteArray("ulimit -c 0\nkill -SEGV $$\n")
                                           << QStringList{Fallback, u"\n⚡️ CLI exited with code 11\n"_s};
        QTest::newRow("colour run's errors hidden, plain run's shown")
            << 0 << 2 << QStringList{u"colour-error"_s}
            << QByteArray("[ \"$1\" = --color=always ] && { echo colour-error >&2; exit 1; }\necho plain-error >&2\n")
            << QStringList{u"plain-error\n"_s + Exited0};
        QTest::newRow("no zsh: bash") << 1 << 1 << QStringList{} << QByteArray("echo ran\n")
                                      << QStringList{Retry, u"\n"_s + started(u"bash"_s), u"ran\n"_s + Exited0};
        QTest::newRow("no shell at all") << 2 << 0 << QStringList{u"⚡️"_s, u"ran\n"_s} << QByteArray("echo ran\n")
                                         << QStringList{Retry, u"❌ Failed to run CLI in bash: "_s};
        QTest::newRow("no tool") << 0 << 0 << QStringList{u"▶️"_s} << QByteArray()
                                 << QStringList{u"❌ CLI not found or not executable at "_s};
        QTest::newRow("colour forced, colour vetoes removed")
            << 0 << 1 << QStringList{}
            << QByteArray("echo \"$* $FORCE_COLOR $TERM ${NO_COLOR-unset} ${ANSI_COLORS_DISABLED-unset} $KEEP_THIS\"\n")
            << QStringList{u"--color=always 1 xterm-256color unset unset kept\n"_s};
        // Characters cut by a read, followed by the rest, by a line feed, and by nothing at all.
        QTest::newRow("UTF-8 cut across reads, invalid bytes")
            << 0 << 1 << QStringList{}
            << QByteArray("printf 'caf\\303'\nsleep 0.3\nprintf '\\251 ok\\n'\nprintf 'bad \\377 byte\\n'\n"
                          "printf 'cut \\342\\202'\nsleep 0.3\nprintf '\\nnext\\n'\nprintf 'end \\342'\n")
            << QStringList{u"café ok\nbad \uFFFD byte\ncut \uFFFD"_s, u"\nnext\nend \uFFFD"_s + Exited0};
    }

    void runs()
    {
        QFETCH(int, missing);
        QFETCH(int, runs);
        QFETCH(QStringList, absent);
        QFETCH(QByteArray, tool);
        QFETCH(QStringList, expected);
        TestSandbox sandbox(OddHome);
        if (!tool.isEmpty()) {
            TestSandbox::writeScript(sandbox.toolPath(), "echo run >> \"$HOME/runs\"\n" + tool);
        }
        ManagerConfig config = sandboxConfig(sandbox);
        config.zshPath = missing > 0 ? Missing : config.zshPath;
        config.bashPath = missing > 1 ? Missing : config.bashPath;
        CorvaltManager manager(config);
        {
            const EnvironmentGuard environment(
                {{"NO_COLOR", "1"}, {"ANSI_COLORS_DISABLED", "1"}, {"KEEP_THIS", "kept"}});
            manager.runTool();
        }
        QTRY_VERIFY2_WITH_TIMEOUT(inOrder(manager.output(), expected), qPrintable(manager.output()), 20000);
        // Nothing more comes: no second exit, no restart.
        QTest::qWait(300);
        QVERIFY2(manager.output().count(u"⚡️ CLI exited"_s) <= 1, qPrintable(manager.output()));
        for (const QString& text : absent) {
            QVERIFY2(!manager.output().contains(text), qPrintable(text));
        }
        QCOMPARE(readAll(sandbox.home() + u"/runs"_s).count("run\n"), runs);
        QVERIFY(!manager.currentProcess());
    }

    // A 10 MiB flood arrives whole and in order; then 50 more runs leave nothing behind.
    void floodThenManyRunsLeakNothing()
    {
        TestSandbox sandbox;
        TestSandbox::writeScript(sandbox.toolPath(), "seq -w 1 1048576 | sed 's/$/ flood/' | head -c 10485760\n");
        CorvaltManager manager(sandboxConfig(sandbox));
        const auto exits = [&manager](int count) {
            return QTest::qWaitFor([&] { return manager.output().count(u"⚡️ CLI exited with code"_s) >= count; },
                                   20000);
        };
        manager.runTool();
        QVERIFY(exits(1));
        QString flood;
        for (int line = 1; flood.size() < 10485760; ++line) {
            flood += u"%1 flood\n"_s.arg(line, 7, 10, QChar(u'0'));
        }
        flood.truncate(10485760);
        QVERIFY(manager.output().endsWith(started(u"zsh"_s) + flood + Exited0));
        TestSandbox::writeScript(sandbox.toolPath(), "echo run\n");
        QTest::qWait(100);
        const int before = ProcTable::openDescriptors(QCoreApplication::applicationPid());
        for (int run = 2; run <= 51; ++run) {
            manager.runTool();
            QVERIFY(exits(run));
        }
        QTest::qWait(300);
        QCOMPARE(ProcTable::openDescriptors(QCoreApplication::applicationPid()), before);
        QCOMPARE(ProcTable::zombieChildrenOf(QCoreApplication::applicationPid()), QList<qint64>());
        QCOMPARE(manager.findChildren<ToolProcess*>().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestManagerRun)
#include "tst_manager_run.moc"
