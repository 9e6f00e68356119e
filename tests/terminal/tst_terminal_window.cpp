#include "terminal/terminal_view.h"
#include "terminal/terminal_view_model.h"
#include "terminal/window_manager.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_sandbox.h"

#include <QClipboard>
#include <QMenu>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>

#include <thread>

using namespace Qt::StringLiterals;

// The terminal window: its model, its view and the window manager, against a real manager.
class TestTerminalWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestSandbox> m_sandbox;
    std::unique_ptr<CorvaltManager> m_manager;

    static constexpr qint64 End = std::numeric_limits<qint64>::max();
    static QString shown(const TerminalView* view) { return view->buffer().text({0, 0}, {End, End}); }
    // The manager's text as a terminal shows it: without colours, titles and carriage returns.
    QString plain() const
    {
        return QString(m_manager->output()).remove(QRegularExpression(u"\033(\\[[\\d;]*m|\\][^\a]*\a)|\r"_s));
    }
    void say(const QString& text) const { m_manager->outputHandler()(text); }

private Q_SLOTS:
    void init()
    {
        m_sandbox = std::make_unique<TestSandbox>();
        ManagerConfig config = ManagerConfig::builtIn(); // at home in the sandbox, which moved HOME
        config.searchArguments = {u"-f"_s, TestSandbox::uniqueWord()};
        config.maxOutputBytes = 6000;
        m_manager = std::make_unique<CorvaltManager>(config);
    }

    void cleanup()
    {
        m_manager->cleanup();
        m_manager.reset();
        m_sandbox.reset();
    }

    void releasedModelDoesNothing()
    {
        const LogCapture log;
        auto model = std::make_unique<TerminalViewModel>(*m_manager);
        say(u"first\n"_s);
        // Only the manager's change: the model's deliveries stay queued behind it.
        QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
        model.reset();
        say(u"second\n"_s);
        QTRY_VERIFY(m_manager->output().endsWith(u"second\n"));
        QVERIFY(log.linesStartingWith({u"🖥️"_s}).last().startsWith(u"🖥️ TerminalViewModel deinit"));
    }

    void viewFollowsTheOutputAndScrollsOnChangesOnly()
    {
        const TerminalView hidden(*m_manager);
        // From another thread: lines trimmed as they come, then a line longer than the output
        // keeps, whose end stays.
        for (const QString& last : {u"last\n"_s, QString(5000, u'y') + u"end"_s, u"flood over\n"_s}) {
            std::thread([this, &last] {
                for (int i = 0; i < 200; ++i) {
                    say(u"\033[3%1mline\033[0m %2 %3\r\n"_s.arg(i % 8).arg(i).arg(QString(i % 17, u'.')));
                }
                say(last);
            }).join();
            QTRY_VERIFY(shown(&hidden).endsWith(last.right(4)));
            QCOMPARE(shown(&hidden), plain());
        }

        TerminalView view(*m_manager);
        view.resize(700, 450);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QScrollBar* const bar = view.verticalScrollBar();
        // Shown from its top; an unchanged text is no change, also when the user has scrolled up.
        // (A wrong scroll would come with the view's next frame, a screen refresh away.)
        say(QString());
        QTest::qWait(200);
        QVERIFY(bar->maximum() > 0 && bar->value() == 0);
        // Rows of twenty letters, each row in a colour of its own, line up with nine wide characters
        // and two letters.
        say(u"\033[31mMMMMMMMMMMMMMMMMMMMM\n\033[38;2;0;0;200miiiiiiiiiiiiiiiiiiii\n\033[36m"_s +
            QString(9, u'\u6f22') + u"MM\n\033[9"_s);
        say(u"5mWWWWWWWWWWWWWWWWWWWW\033]0;title\a\n\033[48;5;208m \033[m\n"_s);
        QTRY_VERIFY(shown(&view).endsWith(u"W\n \n") && bar->value() > 0 && bar->value() == bar->maximum());
        QHash<QRgb, int> reach; // how far right each colour, and each hue, is painted
        const QImage image = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        for (int i = 0; i < image.width() * image.height(); ++i) {
            const QRgb pixel = image.pixel(i % image.width(), i / image.width());
            const QRgb hue = qRgb(qRed(pixel) ? 255 : 0, qGreen(pixel) ? 255 : 0, qBlue(pixel) ? 255 : 0);
            reach[pixel] = std::max(reach.value(pixel), i % image.width());
            reach[hue] = std::max(reach.value(hue), i % image.width());
        }
        const int red = reach.value(qRgb(255, 0, 0));
        const qreal cell = (red - TerminalView::Padding) / 20.0;
        QVERIFY(cell > 2 && qAbs(reach.value(qRgb(0, 0, 255)) - red) < cell);
        QVERIFY(qAbs(reach.value(qRgb(0, 255, 255)) - red) < cell && qAbs(reach.value(qRgb(255, 0, 255)) - red) < cell);
        QVERIFY(reach.contains(qRgb(255, 135, 0)));

        QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), plain());
        bar->setValue(0);
        say(QString());
        QTest::qWait(200);
        QCOMPARE(bar->value(), 0);
    }

    void windowComesOnceAndGoesWithoutTheTool()
    {
        // A character cut across two writes, and a byte that is no UTF-8.
        TestSandbox::writeScript(
            m_sandbox->toolPath(),
            "printf 'before \\360\\237'; sleep 0.2; printf '\\232\\200 \\377 x\\n'\n"
            "while [ ! -e \"$HOME/go-on\" ]; do sleep 0.05; done\necho after the close\nexec sleep 30\n");
        QAction quit(u"Quit"_s);
        WindowManager windows(*m_manager);
        windows.setWindowMenuActions({&quit});
        // Every window has the program's menu, for desktops without a tray.
        const auto hasMenu = [&windows, &quit] {
            const auto* const menu = windows.terminalWindow()->findChild<QMenu*>();
            return menu && menu->title() == u"Corvalt"_s && menu->actions() == QList<QAction*>{&quit};
        };
        m_manager->runCLI();
        windows.openTerminalWindow();
        const QPointer<QWidget> window = windows.terminalWindow();
        window->hide();
        windows.openTerminalWindow();
        QVERIFY(windows.terminalWindow() == window && window->isVisible() && hasMenu());
        const QPointer<TerminalView> view = window->findChild<TerminalView*>();

        QTRY_VERIFY(shown(view).contains(u"\nbefore \U0001F680 \uFFFD x\n"));
        windows.terminalWindow()->close();
        QTRY_VERIFY(!view); // and its model with it
        // The tool goes on; the next window shows all of its output.
        QFile(m_sandbox->home() + u"/go-on"_s).open(QIODevice::WriteOnly);
        QTRY_VERIFY(m_manager->output().contains(u"after the close\n"));
        windows.openTerminalWindow();
        QVERIFY(shown(windows.terminalWindow()->findChild<TerminalView*>())
                    .contains(u"\nbefore \U0001F680 \uFFFD x\nafter the close\n"));
        QVERIFY(hasMenu());
    }

    // Keys on the output as the window opens: moving through it, and selecting with Shift.
    void movesAndSelects_data()
    {
        // Selected afterwards: everything, nothing, or whole lines from the start or to the end.
        // Scrolled: to the top (0), to the bottom (1), anywhere (-1).
        QTest::addColumn<QKeySequence>("keys");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<int>("scrolled");
        QTest::newRow("to the start") << QKeySequence(Qt::CTRL | Qt::Key_Home) << "nothing" << 0;
        QTest::newRow("to the start and the end")
            << QKeySequence(QKeyCombination(Qt::Key_Home), QKeyCombination(Qt::Key_End)) << "nothing" << 1;
        QTest::newRow("select to the start") << QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Home) << "everything" << 0;
        QTest::newRow("from the start, select to the end")
            << QKeySequence(QKeyCombination(Qt::Key_Home), Qt::SHIFT | Qt::Key_End) << "everything" << 1;
        QTest::newRow("select the last page") << QKeySequence(Qt::SHIFT | Qt::Key_PageUp) << "end" << -1;
        QTest::newRow("from the start, select a page")
            << QKeySequence(Qt::CTRL | Qt::Key_Home, Qt::SHIFT | Qt::Key_PageDown) << "start" << 0;
        QTest::newRow("select all") << QKeySequence(QKeySequence::SelectAll) << "everything" << 1;
    }

    void movesAndSelects()
    {
        QFETCH(QKeySequence, keys);
        QFETCH(QString, selected);
        QFETCH(int, scrolled);
        CorvaltManager& manager = *m_manager;
        WindowManager windows(manager);
        windows.openTerminalWindow();
        auto* const view = windows.terminalWindow()->findChild<TerminalView*>();
        for (int line = 0; line < 200; ++line) {
            manager.outputHandler()(QStringLiteral("line %1\n").arg(line));
        }
        const QScrollBar* const bar = view->verticalScrollBar();
        QTRY_VERIFY(view->buffer().lineCount() > 200 && bar->maximum() > 0 && bar->value() == bar->maximum());

        QTest::keySequence(view, keys);
        const QString all = manager.output();
        const QString text = view->selectedText();
        if (selected == u"everything" || selected == u"nothing") {
            QCOMPARE(text, selected == u"everything" ? all : QString());
        } else {
            QVERIFY2(text.count(u'\n') > 2 && text.size() < all.size() / 2, qPrintable(text));
            QVERIFY(selected == u"start" ? all.startsWith(text) : all.endsWith(u'\n' + text));
        }
        if (scrolled >= 0) {
            QCOMPARE(bar->value(), scrolled * bar->maximum());
        }
    }
};

QTEST_MAIN(TestTerminalWindow)
#include "tst_terminal_window.moc"
