#include "manager_test_support.h"
#include "tests/support/log_capture.h"

#include <QSignalSpy>
#include <QTest>

// The output channel: every emitted text reaches output() on the main loop, in order, verbatim.
class TestManagerOutput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startsWithTheInitialisedLine();
    void appendsOnTheMainLoopInOrder();
    void emptyTextLogsButChangesNothing();
    void logOfTheWholeTextStaysBounded();
    void queuedTextAfterTheManagerIsGoneLogsNil();
    void createInstallDirectoryIsSilent();
    void outputStaysWithinItsBound();
    void sharedUsesTheBuiltInConfiguration();
};

void TestManagerOutput::startsWithTheInitialisedLine()
{
    TestSandbox sandbox;
    const LogCapture log;
    const CorvaltManager manager(sandboxConfig(sandbox));
    QCOMPARE(manager.output(), QStringLiteral("🔧 Corvalt Manager initialized\n"));
    QVERIFY(manager.outputHandler());
    QCOMPARE(manager.installDir(), sandbox.home() + QStringLiteral("/.corvalt/bin"));
    QCOMPARE(manager.toolPath(), sandbox.toolPath());
    QVERIFY(!manager.currentProcess());
    QVERIFY(log.lines().isEmpty());
}

void TestManagerOutput::appendsOnTheMainLoopInOrder()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    QSignalSpy appended(&manager, &CorvaltManager::outputAppended);
    const LogCapture log;

    manager.outputHandler()(QStringLiteral("one\ntwo\n\n"));
    manager.outputHandler()(QStringLiteral("three"));
    // Never inside the emitter's call: only once the main loop has run the queued steps.
    QCOMPARE(manager.output(), QStringLiteral("🔧 Corvalt Manager initialized\n"));
    QTRY_COMPARE(appended.size(), 2);

    const QString expected = QStringLiteral("🔧 Corvalt Manager initialized\none\ntwo\n\nthree");
    QCOMPARE(manager.output(), expected);
    QCOMPARE(appended.at(0).at(0).toString(), QStringLiteral("one\ntwo\n\n"));
    QCOMPARE(appended.at(1).at(1).value<qsizetype>(), qsizetype(0));

    QCOMPARE(log.lines(),
             (QStringList{QStringLiteral("🔧 CorvaltManager outputHandler called with: one"),
                          QStringLiteral("two"),
                          QString(),
                          QString(),
                          QStringLiteral("🔧 CorvaltManager outputHandler called with: three"),
                          QStringLiteral("🔧 CorvaltManager updating output on main thread"),
                          QStringLiteral("🔧 CorvaltManager output is now: 🔧 Corvalt Manager initialized"),
                          QStringLiteral("one"),
                          QStringLiteral("two"),
                          QString(),
                          QString(),
                          QStringLiteral("🔧 CorvaltManager updating output on main thread"),
                          QStringLiteral("🔧 CorvaltManager output is now: 🔧 Corvalt Manager initialized"),
                          QStringLiteral("one"),
                          QStringLiteral("two"),
                          QString(),
                          QStringLiteral("three")}));
}

void TestManagerOutput::emptyTextLogsButChangesNothing()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    QSignalSpy appended(&manager, &CorvaltManager::outputAppended);
    const LogCapture log;
    manager.outputHandler()(QString());
    QTRY_COMPARE(appended.size(), 1);
    QCOMPARE(manager.output(), QStringLiteral("🔧 Corvalt Manager initialized\n"));
    QCOMPARE(log.linesStartingWith({QStringLiteral("🔧 CorvaltManager")}).size(), 3);
}

void TestManagerOutput::logOfTheWholeTextStaysBounded()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    QSignalSpy appended(&manager, &CorvaltManager::outputAppended);
    const QString chunk = QString(1000, u'x') + u'\n';
    const LogCapture log;
    for (int i = 0; i < 200; ++i) {
        manager.outputHandler()(chunk);
    }
    QTRY_COMPARE(appended.size(), 200);
    QCOMPARE(manager.output().size(), qsizetype(31 + 200 * 1001));

    const QStringList wholeTextLines = log.linesStartingWith({QStringLiteral("🔧 CorvaltManager output is now: ")});
    QCOMPARE(wholeTextLines.size(), 200);
    // Linear, not quadratic: each repeat is at most the tail plus a short marker.
    for (const QString& line : wholeTextLines) {
        QVERIFY2(line.size() < 600, qPrintable(QString::number(line.size())));
    }
    QVERIFY(wholeTextLines.last().contains(QString::number(manager.output().size() - 500)));
    QVERIFY(wholeTextLines.last().endsWith(QString(499, u'x')));
}

void TestManagerOutput::queuedTextAfterTheManagerIsGoneLogsNil()
{
    TestSandbox sandbox;
    const LogCapture log;
    {
        const CorvaltManager manager(sandboxConfig(sandbox));
        manager.outputHandler()(QStringLiteral("late\n"));
    }
    QTRY_VERIFY(log.lines().contains(QStringLiteral("🔧 CorvaltManager output is now: nil")));
    QCOMPARE(log.lines().last(), QStringLiteral("🔧 CorvaltManager output is now: nil"));
}

void TestManagerOutput::createInstallDirectoryIsSilent()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    QSignalSpy appended(&manager, &CorvaltManager::outputAppended);
    const LogCapture log;

    manager.createInstallDirectory();
    QVERIFY(QFileInfo(sandbox.installDir()).isDir());
    manager.createInstallDirectory();

    // A file where the folder should go: the directory cannot be made, and nothing is said.
    TestSandbox blocked;
    QFile blocker(blocked.home() + QStringLiteral("/.corvalt"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    CorvaltManager blockedManager(sandboxConfig(blocked));
    blockedManager.createInstallDirectory();
    QVERIFY(!QFileInfo(blocked.installDir()).exists());

    QCoreApplication::processEvents();
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(appended.size(), 0);
}

void TestManagerOutput::outputStaysWithinItsBound()
{
    TestSandbox sandbox;
    ManagerConfig config = sandboxConfig(sandbox);
    config.maxOutputBytes = 4096; // 2048 characters
    CorvaltManager manager(config);
    QSignalSpy appended(&manager, &CorvaltManager::outputAppended);
    QString everything = manager.output();
    for (int line = 0; line < 1000; ++line) {
        const QString text = QStringLiteral("line %1\n").arg(line);
        everything += text;
        manager.outputHandler()(text);
    }
    QTRY_COMPARE(appended.size(), 1000);
    qsizetype dropped = 0;
    for (const QList<QVariant>& arguments : appended) {
        dropped += arguments.at(1).value<qsizetype>();
    }
    QVERIFY(manager.output().size() <= 2048);
    // What is left is exactly the newest text, starting at a line.
    QCOMPARE(manager.output(), everything.mid(dropped));
    QVERIFY(manager.output().startsWith(QStringLiteral("line ")));
    QVERIFY(manager.output().endsWith(QStringLiteral("line 999\n")));
}

void TestManagerOutput::sharedUsesTheBuiltInConfiguration()
{
    TestSandbox sandbox;
    CorvaltManager& shared = CorvaltManager::shared();
    QCOMPARE(&CorvaltManager::shared(), &shared);
    QCOMPARE(shared.parent(), QCoreApplication::instance());
    QCOMPARE(shared.installDir(), sandbox.home() + QStringLiteral("/.corvalt/bin"));
    QCOMPARE(shared.baseURL().scheme(), QStringLiteral("https"));
    QVERIFY(shared.baseURL().path().endsWith(QStringLiteral("/static/cli")));
    QCOMPARE(shared.output(), QStringLiteral("🔧 Corvalt Manager initialized\n"));
}

QTEST_GUILESS_MAIN(TestManagerOutput)
#include "tst_manager_output.moc"
