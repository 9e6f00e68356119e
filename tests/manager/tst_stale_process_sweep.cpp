#include "manager/pid_list_parser.h"
#include "manager_test_support.h"
#include "platform/process_control.h"
#include "tests/support/log_capture.h"

#include <QProcess>
#include <QRegularExpression>

#include <csignal>

using namespace Qt::StringLiterals;

const QString Opening = u"🔧 Corvalt Manager initialized\n🔍 Checking for existing corvalt processes...\n"_s;
// What each process runs, and the signal that ends it.
using Cases = QList<std::pair<QString, int>>;

// The sweep against real processes that carry a word unique to this run in their command lines.
class TestStaleProcessSweep : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse()
    {
        // Padding, blank lines, CR, U+2028 and U+0085 as line ends, U+00A0 as padding; junk, signs, 32-bit limits.
        QCOMPARE(PidListParser::parse("  812  \n\n\t4471\r\n9\n812\n7\342\200\2508\302\205\302\24042\302\240\n812abc\n"
                                      "pgrep: bad\n+\n-\n1 2\n\xd9\xa3\n2147483648\n-2147483649\n"
                                      "9999999999999999999999999999999999999999\n+12\n-3\n2147483647\n-2147483648\n"),
                 (QList<qint32>{812, 4471, 9, 812, 7, 8, 42, 12, -3, 2147483647, -2147483647 - 1}));
        QCOMPARE(PidListParser::parse("812\n\xff\n4471\n"), QList<qint32>{}); // invalid UTF-8
    }

    void findsNoTool_data()
    {
        QTest::addColumn<QByteArray>("search"); // the search program, a script; empty: there is none
        QTest::addColumn<QString>("output");    // after the opening lines; '*': the system's own words
        QTest::newRow("search program missing")
            << QByteArray() << u"⚠️ Failed to search for existing processes: *\n"_s;
        QTest::newRow("own pids") << "echo 0; echo 1; echo -$PPID; echo $PPID; awk '{print $4}' /proc/$PPID/stat\n"_ba
                                  << u"ℹ️ No existing corvalt processes found\n"_s;
    }

    void findsNoTool()
    {
        QFETCH(QByteArray, search);
        QFETCH(QString, output);
        TestSandbox sandbox;
        const QString self = QCoreApplication::applicationFilePath();
        if (!search.isEmpty() && self.endsWith(u"/tst_stale_process_sweep")) {
            // Once more as a copy named like the tool, under a shell named so too: then only the guard
            // keeps the sweep off itself and its ancestors.
            const QString shell = sandbox.home() + u'/' + sandbox.word();
            const QString copy = sandbox.root() + u'/' + sandbox.word();
            QVERIFY(QFile::copy(u"/bin/dash"_s, shell) && QFile::copy(self, copy));
            QCOMPARE(QProcess::execute(shell, {u"-c"_s, u"\"$0\" 'findsNoTool:own pids'; exit $?"_s, copy}), 0);
            return;
        }
        ManagerConfig config = sandboxConfig(sandbox);
        config.searchProgram = sandbox.root() + u"/search"_s;
        if (!search.isEmpty()) {
            config.searchArguments.last() = QFileInfo(self).fileName(); // this copy's name, a word unique to the run
            TestSandbox::writeScript(config.searchProgram, search);
        }
        CorvaltManager manager(config);
        manager.cleanupExistingProcesses();
        const QString pattern = QRegularExpression::escape(Opening + output).replace(u"\\*"_s, u"[^\\n]+"_s);
        const QRegularExpression expected(QRegularExpression::anchoredPattern(pattern));
        QTRY_VERIFY2(expected.match(manager.output()).hasMatch(), qPrintable(manager.output()));
    }

    void endsOnlyTheTool_data()
    {
        QTest::addColumn<QByteArray>("build"); // the installed tool
        QTest::addColumn<Cases>("cases");      // what each process runs, and the signal that ends it (0: a
                                               // bystander, which must live on)
        // Only take the path as an argument.
        const Cases readers = {{uR"(exec tail -f "$P" >/dev/null)"_s, 0}, {uR"(exec cp "$P" "$D/fifo")"_s, 0}};
        QTest::newRow("shell build")
            << "#!/bin/sh\nwhile :; do sleep 0.05; done\n"_ba
            << Cases{{uR"(trap '' TERM; exec "$D/$W" 1001)"_s, SIGKILL},
                     {uR"(exec -a "$W" sleep 1002)"_s, SIGTERM},
                     // an earlier launch and its tool
                     {uR"(exec bash -c "sleep 1005 && $P --color=always 2>/dev/null || $P")"_s, SIGTERM},
                     {uR"(exec /bin/sh "$P" --color=always)"_s, SIGTERM},
                     {uR"(exec -a worker "$HOME/$W" -c 'trap "" TERM; while :; do sleep 0.05; done' "$W")"_s, SIGKILL},
                     {uR"(exec tail -f "$D/$W" >/dev/null)"_s, 0},
                     {uR"(exec /bin/sh "$D/src/$W/build.sh")"_s, 0},
                     {uR"(exec -a "$D/$W/sleep" sleep 1003)"_s, 0},
                     {uR"(exec sh -c "sleep 1004; : $P.old")"_s, 0}} +
                readers;
        const QByteArray python = "import time\nwhile True:\n    time.sleep(0.05)\n";
        // Python running another program that only takes the path as an argument.
        const QString other = uR"(exec python3 -c 'import time; time.sleep(60)' "$P")"_s;
        QTest::newRow("python build, with an argument")
            << "#!/usr/bin/python3 -u\n" + python
            << Cases{{uR"(exec "$P" --color=always)"_s, SIGTERM}, {QString(other).replace(u"-c"_s, u"-u -c"_s), 0}} +
                readers;
        QTest::newRow("python build through env") << "#!/usr/bin/env python3\n" +
                python << Cases{{uR"(exec "$P" --color=always)"_s, SIGTERM}, {other, 0}} + readers;
    }

    void endsOnlyTheTool()
    {
        QFETCH(QByteArray, build);
        QFETCH(Cases, cases);
        TestSandbox sandbox; // the installed tool's path carries the word
        const QString root = sandbox.root();
        const QString word = sandbox.word();
        const QString shell = sandbox.home() + u'/' + word;
        QVERIFY(QFile::copy(u"/bin/sleep"_s, root + u'/' + word) && QFile::copy(u"/bin/dash"_s, shell));
        TestSandbox::writeScript(sandbox.toolPath(), build);
        TestSandbox::writeScript(root + u"/src/%1/build.sh"_s.arg(word), "while :; do sleep 0.05; done\n");
        CorvaltManager manager(sandboxConfig(sandbox));
        QString script = u"D=\"$0\"\nmkfifo \"$D/fifo\"\n"_s;
        for (const auto& [command, signal] : cases) {
            script += u"(%1) & echo $!\n"_s.arg(command);
        }
        QProcess launcher; // its process group holds every case, and ends with the test
        // The system's python3, whatever the test's own PATH prefers.
        launcher.setEnvironment(QProcess::systemEnvironment()
                                << u"W="_s + word << u"P="_s + sandbox.toolPath() << u"PATH=/usr/bin:/bin"_s);
        launcher.setChildProcessModifier(&ProcessControl::becomeSessionLeader);
        launcher.start(u"/bin/bash"_s, {u"-c"_s, script + u"wait"_s, root});
        QVERIFY(launcher.waitForStarted());
        const auto endGroup = qScopeGuard([&, group = launcher.processId()] {
            ProcessControl::signalGroup(group, ProcessControl::Signal::Kill);
            launcher.waitForFinished();
        });
        QTRY_COMPARE(launcher.peek(4096).count('\n'), cases.size());
        std::map<qint64, int> endings; // in the search's order
        qsizetype tools = 0;
        for (const auto& [command, signal] : cases) {
            const qint64 pid = endings.emplace(launcher.readLine().trimmed().toLongLong(), signal).first->first;
            // Once an interpreter runs: env hands over to python3, which runs the tool.
            QTRY_VERIFY(ProcessControl::commandLineOf(pid).join(u' ').contains(word) &&
                        ProcessControl::commandLineOf(pid).constFirst() != u"/usr/bin/env");
            tools += signal ? 1 : 0;
        }
        QVERIFY(QFile::remove(shell)); // a build replaced while it runs

        const LogCapture capture;
        const QDeadlineTimer grace(tools * 500); // each tool has its half second
        manager.cleanupExistingProcesses();
        QVERIFY(grace.hasExpired());
        const QStringList logged = capture.linesStartingWith({u"🎯"_s, u"🔨"_s, u"⚡️"_s}); // before events run
        QString ids, log;
        for (const auto& [pid, signal] : endings) {
            ids += signal ? u", %1"_s.arg(pid) : QString();
            log += signal ? u"🔨 Killing corvalt process with PID: %1\n"_s.arg(pid) : QString();
            log += signal == SIGKILL ? u"⚡️ Force killing stubborn process PID: %1\n"_s.arg(pid) : QString();
            QTRY_COMPARE(ProcessControl::signalProcess(pid, ProcessControl::Signal::Probe), signal == 0);
        }
        QCOMPARE(logged.join(u'\n') + u'\n',
                 u"🎯 Found %1 corvalt process(es): [%2]\n"_s.arg(tools).arg(ids.mid(2)) + log);
        QTRY_COMPARE(manager.output(),
                     Opening +
                         u"🎯 Found %1 existing corvalt process(es), terminating...\n✅ Cleaned up existing corvalt "
                         "processes\n"_s.arg(tools));
    }
};

QTEST_GUILESS_MAIN(TestStaleProcessSweep)
#include "tst_stale_process_sweep.moc"
