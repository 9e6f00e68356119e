#include "terminal/terminal_view.h"
#include "terminal/terminal_view_model.h"
#include "terminal/window_manager.h"
#include "terminal_test_support.h"
#include "tests/support/log_capture.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>
#include <QTest>

// The one terminal window: opened once, brought back, forgotten on close, rebuilt afresh.
class TestWindowManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void openTwiceGivesOneWindow();
    void openCloseOpenBuildsANewViewAndModel();
    void closingLeavesTheToolAndItsOutput();
    void menuActionsForDesktopsWithoutATray();

private:
    static TerminalView* viewOf(const WindowManager& windows);
    static int terminalWindowCount();

    std::unique_ptr<TestSandbox> m_sandbox;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<CorvaltManager> m_manager;
    std::unique_ptr<WindowManager> m_windows;
};

void TestWindowManager::initTestCase()
{
    // The tray keeps the program alive without windows; so does this test.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestWindowManager::init()
{
    m_sandbox = std::make_unique<TestSandbox>();
    m_log = std::make_unique<LogCapture>();
    m_manager = std::make_unique<CorvaltManager>(sandboxConfig(*m_sandbox));
    m_windows = std::make_unique<WindowManager>(*m_manager);
}

void TestWindowManager::cleanup()
{
    m_windows.reset();
    m_manager->cleanup();
    m_manager.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_log.reset();
    m_sandbox.reset();
}

TerminalView* TestWindowManager::viewOf(const WindowManager& windows)
{
    QWidget* const window = windows.terminalWindow();
    return window ? window->findChild<TerminalView*>() : nullptr;
}

int TestWindowManager::terminalWindowCount()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    return int(std::count_if(windows.cbegin(), windows.cend(), [](const QWidget* widget) {
        return widget->isVisible() && widget->windowTitle() == u"Corvalt Terminal";
    }));
}

void TestWindowManager::openTwiceGivesOneWindow()
{
    QVERIFY(!m_windows->terminalWindow());
    m_windows->openTerminalWindow();
    QWidget* const window = m_windows->terminalWindow();
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QCOMPARE(window->windowTitle(), QStringLiteral("Corvalt Terminal"));

    // Content 800 × 600, all of it the terminal view, centred on the screen.
    auto* const mainWindow = qobject_cast<QMainWindow*>(window);
    QVERIFY(mainWindow);
    TerminalView* const view = viewOf(*m_windows);
    QCOMPARE(mainWindow->centralWidget(), view);
    QCOMPARE(view->size(), QSize(800, 600));
    QVERIFY(!mainWindow->menuWidget());
    // (A window as wide as the screen may be pushed sideways by the width of its frame.)
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const int frame = (window->frameGeometry().width() - window->width()) / 2;
    QVERIFY(qAbs(window->geometry().center().x() - screen.center().x()) <= frame + 1);
    QVERIFY(qAbs(window->geometry().center().y() - screen.center().y()) <= 1);

    // Close and resize controls, no minimise control.
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(window->minimumSize().width() >= 600 && window->minimumSize().height() >= 400);

    // The second call only brings the same window back, moved and sized as the user left it.
    window->resize(900, 700);
    window->move(10, 20);
    window->hide();
    m_windows->openTerminalWindow();
    QCOMPARE(m_windows->terminalWindow(), window);
    QCOMPARE(viewOf(*m_windows), view);
    QVERIFY(window->isVisible());
    QCOMPARE(window->size(), QSize(900, 700));
    QCOMPARE(terminalWindowCount(), 1);
    QCOMPARE(m_log->linesStartingWith({QStringLiteral("🖥️ TerminalViewModel init called")}).size(), 1);

    // A window manager that goes takes its window along, without a close notification.
    const QPointer<QWidget> survivor = window;
    m_windows.reset();
    QVERIFY(!survivor);
    QCOMPARE(m_log->linesStartingWith({QStringLiteral("🪟")}),
             QStringList{QStringLiteral("🪟 WindowManager deinit called - cleaning up")});
}

void TestWindowManager::openCloseOpenBuildsANewViewAndModel()
{
    m_windows->openTerminalWindow();
    QPointer<QWidget> first = m_windows->terminalWindow();
    QVERIFY(QTest::qWaitForWindowExposed(first));
    QPointer<TerminalViewModel> firstModel = &viewOf(*m_windows)->model();

    QVERIFY(first->close());
    QVERIFY(!m_windows->terminalWindow());
    // A second close of the same window reports nothing more.
    first->close();
    QTRY_VERIFY(!first);
    QVERIFY(!firstModel);
    QCOMPARE(m_log->linesStartingWith({QStringLiteral("🪟")}),
             QStringList{QStringLiteral("🪟 Window closing notification received")});
    QCOMPARE(m_log->linesStartingWith({QStringLiteral("🖥️ TerminalViewModel deinit called - cleaning up")}).size(),
             1);

    m_windows->openTerminalWindow();
    QWidget* const second = m_windows->terminalWindow();
    QVERIFY(second);
    QVERIFY(QTest::qWaitForWindowExposed(second));
    QCOMPARE(viewOf(*m_windows)->size(), QSize(800, 600));
    QCOMPARE(m_log->linesStartingWith({QStringLiteral("🖥️ TerminalViewModel init called")}).size(), 2);
    QCOMPARE(terminalWindowCount(), 1);
    QCOMPARE(m_log->linesStartingWith({QStringLiteral("🪟 Window closing notification received")}).size(), 1);
}

void TestWindowManager::closingLeavesTheToolAndItsOutput()
{
    const QString flag = m_sandbox->root() + QStringLiteral("/go-on");
    TestSandbox::writeScript(m_sandbox->toolPath(),
                             QByteArray("echo before the close\n"
                                        "while [ ! -e '") +
                                 flag.toUtf8() +
                                 "' ]; do sleep 0.05; done\n"
                                 "echo after the close\n"
                                 "sleep 30\n");
    m_manager->runCLI();
    QTRY_VERIFY(m_manager->output().contains(u"before the close\n"));
    m_windows->openTerminalWindow();
    QVERIFY(QTest::qWaitForWindowExposed(m_windows->terminalWindow()));

    const QString outputBeforeClose = m_manager->output();
    m_windows->terminalWindow()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(m_manager->output(), outputBeforeClose);
    QVERIFY(m_manager->currentProcess());
    QVERIFY(m_manager->currentProcess()->isRunning());

    // The tool goes on; the next window shows everything, what came while it was closed too.
    QFile(flag).open(QIODevice::WriteOnly);
    QTRY_VERIFY(m_manager->output().contains(u"after the close\n"));
    m_windows->openTerminalWindow();
    const QStringList shown = lineTexts(viewOf(*m_windows)->buffer());
    QVERIFY(shown.contains(QStringLiteral("before the close")));
    QVERIFY(shown.contains(QStringLiteral("after the close")));
    QVERIFY(m_manager->currentProcess()->isRunning());
}

void TestWindowManager::menuActionsForDesktopsWithoutATray()
{
    QAction open(QStringLiteral("Open Corvalt Status"));
    QAction login(QStringLiteral("Start at Login"));
    QAction quit(QStringLiteral("Quit"));
    const auto menuTexts = [this]() -> QStringList {
        auto* const window = qobject_cast<QMainWindow*>(m_windows->terminalWindow());
        if (!window->menuWidget()) {
            return {};
        }
        auto* const bar = qobject_cast<QMenuBar*>(window->menuWidget());
        const QList<QAction*> menus = bar->actions();
        if (menus.size() != 1 || !menus.first()->menu()) {
            return {QStringLiteral("unexpected menus")};
        }
        QStringList texts{menus.first()->text()};
        for (const QAction* const action : menus.first()->menu()->actions()) {
            texts.append(action->text());
        }
        return texts;
    };

    m_windows->setWindowMenuActions({&open, &login, &quit});
    m_windows->openTerminalWindow();
    QVERIFY(QTest::qWaitForWindowExposed(m_windows->terminalWindow()));
    const QStringList expected{QStringLiteral("Corvalt"),
                               QStringLiteral("Open Corvalt Status"),
                               QStringLiteral("Start at Login"),
                               QStringLiteral("Quit")};
    QCOMPARE(menuTexts(), expected);
    // The content keeps its size below the menu bar.
    QCOMPARE(viewOf(*m_windows)->size(), QSize(800, 600));

    // The open window follows a change; the next window is built with the actions.
    m_windows->setWindowMenuActions({});
    QCOMPARE(menuTexts(), QStringList());
    m_windows->setWindowMenuActions({&open, &login, &quit});
    QCOMPARE(menuTexts(), expected);
    m_windows->terminalWindow()->close();
    m_windows->openTerminalWindow();
    QCOMPARE(menuTexts(), expected);

    bool quitTriggered = false;
    connect(&quit, &QAction::triggered, this, [&] { quitTriggered = true; });
    auto* const window = qobject_cast<QMainWindow*>(m_windows->terminalWindow());
    qobject_cast<QMenuBar*>(window->menuWidget())->actions().first()->menu()->actions().last()->trigger();
    QVERIFY(quitTriggered);
}

QTEST_MAIN(TestWindowManager)
#include "tst_window_manager.moc"
