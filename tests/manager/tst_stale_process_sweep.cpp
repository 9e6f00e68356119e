#include "manager/pid_list_parser.h"
#include "manager_test_support.h"
#include "platform/process_control.h"
#include "tests/support/log_capture.h"

#include <QProcess>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {
const QStringList SweepPrefixes =
    u"🔍|⚠️ Failed|ℹ️|🎯|🔨|⚡️|✅|🔧 CorvaltManager outputHandler called with: ✅"_s.split(u'|');

bool alive(qint64 pid)
{
    return ProcessControl::signalProcess(pid, ProcessControl::Signal::Probe);
}

// Processes a test starts, each as bash running a script; every one ends, by pid, with this.
struct Processes
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    std::vector<std::unique_ptr<QProcess>> started;
    QList<qint64> others;

    ~Processes()
    {
        for (const qint64 pid : std::as_const(others)) {
            ProcessControl::signalProcess(pid, ProcessControl::Signal::Kill);
        }
        for (const auto& process : started) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    qint64 start(const QString& script)
    {
        auto& process = started.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(environment);
        process->start(u"/bin/bash"_s, {u"-c"_s, script});
        return process->waitForStarted() ? process->processId() : 0;
    }
};
} // namespace

// The sweep against real processes that carry a word unique to this run in their command lines.
class TestStaleProcessSweep : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void nothingFound();
    void searchProgramMissing();
    void endsTheToolAndSparesBystanders_data();
    void endsTheToolAndSparesBystanders();
};

void TestStaleProcessSweep::parse_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QList<qint32>>("expected");
    QTest::newRow("two lines") << QByteArray("812\n4471\n") << QList<qint32>{812, 4471};
    QTest::newRow("blank line, padding, tab, CRLF") << QByteArray("  812  \n\n\t4471\r\n") << QList<qint32>{812, 4471};
    QTest::newRow("order and duplicates kept") << QByteArray("9\n3\n9") << QList<qint32>{9, 3, 9};
    QTest::newRow("only white space") << QByteArray(" \n\t\r\n") << QList<qint32>{};
    QTest::newRow("letters after digits, letters only") << QByteArray("812abc\npgrep: bad\n") << QList<qint32>{};
    QTest::newRow("beyond 32 bits") << QByteArray("2147483648\n-2147483649\n") << QList<qint32>{};
    QTest::newRow("32-bit limits") << QByteArray("2147483647\n-2147483648")
                                   << QList<qint32>{2147483647, -2147483647 - 1};
    QTest::newRow("signs, inner blank") << QByteArray("+12\n-3\n+\n-\n1 2\n") << QList<qint32>{12, -3};
    // Octal escapes: U+2028 and U+0085 as separators, U+00A0 around a number.
    QTest::newRow("unicode line separators") << QByteArray("7\342\200\2508\302\2059") << QList<qint32>{7, 8, 9};
    QTest::newRow("no-break space trimmed") << QByteArray("\302\24042\302\240\n") << QList<qint32>{42};
    QTest::newRow("non-ASCII digits") << QByteArray("\xd9\xa3\n") << QList<qint32>{};
    QTest::newRow("invalid UTF-8 rejects all") << QByteArray("812\n\xff\n4471\n") << QList<qint32>{};
    QTest::newRow("huge digit run") << QByteArray(40, '9') << QList<qint32>{};
}

void TestStaleProcessSweep::parse()
{
    QFETCH(QByteArray, input);
    QFETCH(QList<qint32>, expected);
    QCOMPARE(PidListParser::parse(input), expected);
}

void TestStaleProcessSweep::nothingFound()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    const LogCapture log;
    manager.cleanupExistingProcesses();
    QCOMPARE(log.linesStartingWith(SweepPrefixes),
             QStringList({u"🔍 Searching for existing corvalt processes..."_s,
                          u"ℹ️ No existing corvalt processes found"_s}));
    QTRY_COMPARE(manager.output(),
                 u"🔧 Corvalt Manager initialized\n🔍 Checking for existing corvalt processes...\n"
                 u"ℹ️ No existing corvalt processes found\n"_s);
}

void TestStaleProcessSweep::searchProgramMissing()
{
    TestSandbox sandbox;
    ManagerConfig config = sandboxConfig(sandbox);
    config.searchProgram = sandbox.root() + u"/no-such-pgrep"_s;
    CorvaltManager manager(config);
    const LogCapture log;
    manager.cleanupExistingProcesses();
    const QStringList lines = log.linesStartingWith(SweepPrefixes);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), u"🔍 Searching for existing corvalt processes..."_s);
    QVERIFY2(lines.at(1).startsWith(u"⚠️ Failed to search for existing processes: QProcess::FailedToStart: "_s),
             qPrintable(lines.at(1)));
    QTRY_VERIFY(manager.output().contains(u"⚠️ Failed to search for existing processes: "_s));
    QVERIFY(manager.output().endsWith(u'\n'));
    QVERIFY(!manager.output().contains(u"ℹ️"_s));
}

void TestStaleProcessSweep::endsTheToolAndSparesBystanders_data()
{
    QTest::addColumn<bool>("hostileSearch");
    QTest::newRow("pgrep") << false;
    QTest::newRow("search also naming this test, its parent, init, groups and junk") << true;
}

void TestStaleProcessSweep::endsTheToolAndSparesBystanders()
{
    QFETCH(bool, hostileSearch);
    const QString word = TestSandbox::uniqueWord();
    TestSandbox sandbox(word); // the installed tool's path carries the word
    const QString root = sandbox.root();
    QVERIFY(QDir(root).mkpath(u"bin"_s) && QDir(root).mkpath(u"old"_s));
    QVERIFY(QFile::copy(u"/bin/sleep"_s, root + u"/bin/"_s + word));
    QVERIFY(QFile::copy(u"/bin/dash"_s, root + u"/old/"_s + word));
    TestSandbox::writeScript(sandbox.toolPath(), "while :; do sleep 0.05; done\n");
    TestSandbox::writeScript(root + u"/src/%1/build.sh"_s.arg(word), "while :; do sleep 0.05; done\n");
    TestSandbox::writeScript(root + u"/notes/%1.log"_s.arg(word), "");
    ManagerConfig config = sandboxConfig(sandbox);
    config.searchArguments = {u"-f"_s, word};
    if (hostileSearch) {
        config.searchProgram = root + u"/search"_s;
        TestSandbox::writeScript(config.searchProgram,
                                 "echo 0; echo 1; echo -1; echo -$PPID; echo $PPID; awk '{print $4}' /proc/$PPID/stat\n"
                                 "echo not-a-pid; exec /usr/bin/pgrep \"$@\"\n");
    }
    CorvaltManager manager(config);
    Processes processes;
    processes.environment.insert(u"W"_s, word);
    processes.environment.insert(u"D"_s, root);
    processes.environment.insert(u"P"_s, sandbox.toolPath());
    // A script ending in exec, and the signal that ends it (0: a bystander, which must live on).
    const QList<std::pair<QString, int>> cases = {
        {uR"(exec "$D/bin/$W" 1000)"_s, SIGTERM},
        {uR"(trap '' TERM; exec "$D/bin/$W" 1001)"_s, SIGKILL},
        {uR"(exec -a "$W" sleep 1002)"_s, SIGTERM},
        {uR"(exec bash -c "$P --color=always 2>/dev/null || $P")"_s, SIGTERM}, // an earlier launch
        {uR"(exec -a worker "$D/old/$W" -c 'trap "" TERM; while :; do sleep 0.05; done' "$W")"_s, SIGKILL},
        {uR"(exec tail -f "$D/notes/$W.log")"_s, 0},
        {uR"(exec /bin/sh "$D/src/$W/build.sh")"_s, 0},
        {uR"(exec -a "$D/$W/sleep" sleep 1003)"_s, 0},
        {uR"(exec sh -c "sleep 1004; : $P.old")"_s, 0}};
    QList<std::pair<qint64, int>> started;
    for (const auto& [script, signal] : cases) {
        started.append({processes.start(script), signal});
        QTRY_VERIFY(ProcessControl::commandLineOf(started.constLast().first).join(u' ').contains(word));
    }
    // The earlier launch's shell runs the installed tool, a script, as "sh PATH --color=always".
    const QString children = u"/proc/%1/task/%1/children"_s.arg(started.at(3).first);
    QTRY_VERIFY(!readAll(children).trimmed().isEmpty());
    const qint64 child = readAll(children).trimmed().toLongLong();
    processes.others.append(child);
    QTRY_VERIFY(ProcessControl::commandLineOf(child).contains(sandbox.toolPath()));
    QVERIFY(QFile::remove(root + u"/old/"_s + word)); // a build replaced while it runs

    QMap<qint64, bool> tools{{child, false}}; // in the search's order; stubborn or not
    for (const auto& [pid, signal] : std::as_const(started)) {
        if (signal != 0) {
            tools.insert(pid, signal == SIGKILL);
        }
    }
    QStringList ids;
    QStringList expected{u"🔍 Searching for existing corvalt processes..."_s, {}};
    for (auto tool = tools.cbegin(); tool != tools.cend(); ++tool) {
        ids.append(QString::number(tool.key()));
        expected.append(u"🔨 Killing corvalt process with PID: "_s + ids.constLast());
        if (tool.value()) {
            expected.append(u"⚡️ Force killing stubborn process PID: "_s + ids.constLast());
        }
    }
    expected[1] = u"🎯 Found 6 corvalt process(es): [%1]"_s.arg(ids.join(u", "_s));
    expected += {u"🔧 CorvaltManager outputHandler called with: ✅ Cleaned up existing corvalt processes"_s,
                 u"✅ All existing corvalt processes terminated"_s};

    const LogCapture log;
    manager.cleanupExistingProcesses();
    QCOMPARE(log.linesStartingWith(SweepPrefixes), expected);
    QTRY_COMPARE(
        manager.output(),
        u"🔧 Corvalt Manager initialized\n🔍 Checking for existing corvalt processes...\n"
        u"🎯 Found 6 existing corvalt process(es), terminating...\n✅ Cleaned up existing corvalt processes\n"_s);
    for (const auto& [pid, signal] : std::as_const(started)) {
        QTRY_COMPARE(alive(pid), signal == 0);
    }
    QTRY_VERIFY(!alive(child));
}

QTEST_GUILESS_MAIN(TestStaleProcessSweep)
#include "tst_stale_process_sweep.moc"
