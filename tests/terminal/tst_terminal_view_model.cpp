#include "manager/log_excerpt.h"
#include "terminal/terminal_view_model.h"
#include "terminal_test_support.h"
#include "tests/support/log_capture.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

// The model mirrors the manager's output through queued deliveries, in order, with its log lines.
class TestTerminalViewModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startsWithTheManagersTextAndDeliversItAgain();
    void deliveriesFromABackgroundThreadArriveInOrder();
    void releasedWithDeliveriesQueuedDoesNothing();
    void logLinesOfTheWholeTextStayBounded();
    void followsTheTrimmedOutput();

private:
    static QStringList modelLines(const LogCapture& log);
};

QStringList TestTerminalViewModel::modelLines(const LogCapture& log)
{
    return log.linesStartingWith({QStringLiteral("🖥️ TerminalViewModel")});
}

void TestTerminalViewModel::startsWithTheManagersTextAndDeliversItAgain()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    const LogCapture log;
    TerminalViewModel model(manager);
    QSignalSpy appended(&model, &TerminalViewModel::outputAppended);
    QSignalSpy replaced(&model, &TerminalViewModel::outputReplaced);

    // The manager's text at once, never the placeholder: the manager always has its first line.
    QCOMPARE(model.output(), QStringLiteral("🔧 Corvalt Manager initialized\n"));
    QCOMPARE(model.corvaltManager(), &manager);
    QCOMPARE(
        modelLines(log),
        (QStringList{QStringLiteral("🖥️ TerminalViewModel init called"),
                     QStringLiteral("🖥️ TerminalViewModel initial output: 🔧 Corvalt Manager initialized")}));

    // The first delivery assigns the same text again: announced, logged, no change.
    QTRY_COMPARE(appended.size(), 1);
    QCOMPARE(appended.at(0).at(0).toString(), QString());
    QCOMPARE(appended.at(0).at(1).value<qsizetype>(), qsizetype(0));
    QCOMPARE(replaced.size(), 0);
    QCOMPARE(model.output(), QStringLiteral("🔧 Corvalt Manager initialized\n"));
    QCOMPARE(
        log.lines(),
        (QStringList{QStringLiteral("🖥️ TerminalViewModel init called"),
                     QStringLiteral("🖥️ TerminalViewModel initial output: 🔧 Corvalt Manager initialized"),
                     QString(),
                     QStringLiteral("🖥️ TerminalViewModel received new output: 🔧 Corvalt Manager initialized"),
                     QString(),
                     QStringLiteral("🖥️ TerminalViewModel output updated to: 🔧 Corvalt Manager initialized"),
                     QString()}));
}

void TestTerminalViewModel::deliveriesFromABackgroundThreadArriveInOrder()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    TerminalViewModel model(manager);
    QSignalSpy initialDelivery(&model, &TerminalViewModel::outputAppended);
    QTRY_COMPARE(initialDelivery.size(), 1);

    // What the model shows at each delivery, against what the manager held after each change.
    QStringList managerTexts;
    QStringList modelTexts;
    connect(&manager, &CorvaltManager::outputAppended, this, [&] { managerTexts.append(manager.output()); });
    connect(&model, &TerminalViewModel::outputAppended, this, [&] { modelTexts.append(model.output()); });
    const LogCapture log;

    const CorvaltManager::OutputHandler handler = manager.outputHandler();
    std::unique_ptr<QThread> thread(QThread::create([handler] {
        handler(QStringLiteral("one\n"));
        handler(QStringLiteral("two "));
        handler(QStringLiteral("\x1b[32mthree\x1b[0m\n"));
    }));
    thread->start();
    thread->wait();

    const QString expected = QStringLiteral("🔧 Corvalt Manager initialized\none\ntwo \x1b[32mthree\x1b[0m\n");
    QTRY_COMPARE(modelTexts.size(), 3);
    QCOMPARE(model.output(), expected);
    QCOMPARE(manager.output(), expected);
    QCOMPARE(modelTexts, managerTexts);
    QVERIFY(modelTexts.at(0).endsWith(u"one\n"));
    QVERIFY(modelTexts.at(1).endsWith(u"one\ntwo "));

    // Each delivery logs the text of that delivery, whole, before and after its assignment.
    QCOMPARE(modelLines(log).size(), 6);
    const QString logText = log.lines().join(u'\n') + u'\n';
    qsizetype from = 0;
    for (const QString& text : std::as_const(modelTexts)) {
        for (const QString& prefix : {QStringLiteral("🖥️ TerminalViewModel received new output: "),
                                      QStringLiteral("🖥️ TerminalViewModel output updated to: ")}) {
            const qsizetype at = logText.indexOf(prefix + text + u'\n', from);
            QVERIFY2(at >= 0, qPrintable(prefix + text));
            from = at + 1;
        }
    }
}

void TestTerminalViewModel::releasedWithDeliveriesQueuedDoesNothing()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    const LogCapture log;
    auto model = std::make_unique<TerminalViewModel>(manager);
    QSignalSpy appended(model.get(), &TerminalViewModel::outputAppended);

    manager.outputHandler()(QStringLiteral("first\n"));
    manager.outputHandler()(QStringLiteral("second\n"));
    // Runs the manager's queued steps only: the model's deliveries are queued behind them.
    QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
    QVERIFY(manager.output().endsWith(u"first\nsecond\n"));
    QCOMPARE(appended.size(), 0);

    model.reset();
    QCoreApplication::processEvents();
    QTest::qWait(50);
    QCOMPARE(modelLines(log),
             (QStringList{QStringLiteral("🖥️ TerminalViewModel init called"),
                          QStringLiteral("🖥️ TerminalViewModel initial output: 🔧 Corvalt Manager initialized"),
                          QStringLiteral("🖥️ TerminalViewModel deinit called - cleaning up")}));

    // The manager goes on without it.
    manager.outputHandler()(QStringLiteral("third\n"));
    QTRY_VERIFY(manager.output().endsWith(u"second\nthird\n"));
    QCOMPARE(modelLines(log).size(), 3);
}

void TestTerminalViewModel::logLinesOfTheWholeTextStayBounded()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox));
    const QString big = QString(20000, u'x') + QStringLiteral("\nend of the big text\n");
    manager.outputHandler()(big);
    QTRY_VERIFY(manager.output().endsWith(big));

    const LogCapture log;
    TerminalViewModel model(manager);
    QSignalSpy appended(&model, &TerminalViewModel::outputAppended);
    manager.outputHandler()(QStringLiteral("more\n"));
    QTRY_COMPARE(appended.size(), 2);

    const QString initial = LogExcerpt::tail(manager.output().chopped(5));
    const QString final = LogExcerpt::tail(manager.output());
    QVERIFY(initial.startsWith(u"[… "));
    const QString all = log.lines().join(u'\n');
    QVERIFY(all.contains(QStringLiteral("🖥️ TerminalViewModel initial output: ") + initial));
    QVERIFY(all.contains(QStringLiteral("🖥️ TerminalViewModel received new output: ") + final));
    QVERIFY(all.contains(QStringLiteral("🖥️ TerminalViewModel output updated to: ") + final));
    QVERIFY(all.size() < 20000);
}

void TestTerminalViewModel::followsTheTrimmedOutput()
{
    TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox, 4000));
    const LogCapture log;
    TerminalViewModel model(manager);
    QSignalSpy appended(&model, &TerminalViewModel::outputAppended);
    qsizetype dropped = 0;
    connect(
        &model, &TerminalViewModel::outputAppended, this, [&](const QString&, qsizetype count) { dropped += count; });
    for (int i = 0; i < 300; ++i) {
        manager.outputHandler()(QStringLiteral("line %1 of the flood\n").arg(i));
    }
    QTRY_COMPARE(appended.size(), 301);
    QVERIFY(dropped > 3000);
    QCOMPARE(model.output(), manager.output());
    QVERIFY(model.output().endsWith(u"line 299 of the flood\n"));
}

QTEST_MAIN(TestTerminalViewModel)
#include "tst_terminal_view_model.moc"
