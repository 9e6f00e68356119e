#include "terminal/find_bar.h"
#include "terminal/terminal_view.h"
#include "terminal/terminal_view_model.h"
#include "terminal/window_manager.h"
#include "tests/manager/manager_test_support.h"
#include "tests/support/log_capture.h"

#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
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

    // A window with its find bar open, searching for `text` in the output so far.
    struct Finding
    {
        explicit Finding(CorvaltManager& manager) : windows(manager)
        {
            windows.openTerminalWindow();
            view = windows.terminalWindow()->findChild<TerminalView*>();
            bar = windows.terminalWindow()->findChild<FindBar*>();
        }
        void find(const QString& text)
        {
            windows.terminalWindow()->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(windows.terminalWindow()));
            QTest::keySequence(windows.terminalWindow(), QKeySequence::Find);
            QVERIFY(bar->isVisible() && field()->hasFocus());
            QTest::keyClicks(field(), text);
        }
        QLineEdit* field() const { return bar->findChild<QLineEdit*>(); }
        QString count() const { return bar->findChild<QLabel*>()->text(); }
        // How many pixels of the colour the view paints.
        int painted(const QColor& colour) const
        {
            const QImage image = view->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
            int pixels = 0;
            for (int y = 0; y < image.height(); ++y) {
                for (int x = 0; x < image.width(); ++x) {
                    pixels += image.pixel(x, y) == colour.rgb() ? 1 : 0;
                }
            }
            return pixels;
        }

        WindowManager windows;
        TerminalView* view;
        FindBar* bar;
    };

    static QString shown(const TerminalView* view) { return view->buffer().text({0, 0}, {INT64_MAX, INT64_MAX}); }
    // The manager's text as a terminal shows it: without colours, titles and carriage returns.
    auto plain() const
    {
        return QString(m_manager->output()).remove(QRegularExpression(u"\033(\\[[\\d;]*m|\\][^\a]*\a)|\r"_s));
    }
    void say(const QString& text) const { m_manager->outputHandler()(text); }
    // An unchanged text is no change; a wrong scroll would come with the view's next frame.
    void sayNothing() const
    {
        say({});
        QTest::qWait(200);
    }
    // Two hundred lines in colours, of several lengths, taller than any window.
    static QString colouredLines()
    {
        QString lines;
        for (int line = 0; line < 200; ++line) {
            lines += u"\033[3%1mline\033[0m %2 %3\r\n"_s.arg(line % 8).arg(line).arg(QString(line % 17, u'.'));
        }
        return lines;
    }

private Q_SLOTS:
    void init()
    {
        m_sandbox = std::make_unique<TestSandbox>();
        ManagerConfig config = sandboxConfig(*m_sandbox);
        config.maxOutputBytes = 6000;
        m_manager = std::make_unique<CorvaltManager>(config);
    }
    void cleanup()
    {
        m_manager->cleanup();
        m_manager.reset();
        m_sandbox.reset();
    }

    void modelDeliversNothingOnceGone()
    {
        const LogCapture log;
        auto model = std::make_unique<TerminalViewModel>(*m_manager);
        say(u"first\n"_s);
        // Only the manager's change: the model's deliveries stay queued behind it, and must not
        // come once it goes.
        QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
        model.reset();
        say(u"second\n"_s);
        QTRY_VERIFY(m_manager->output().endsWith(u"second\n"));
        QVERIFY(log.linesStartingWith({u"🖥️"_s}).last().startsWith(u"🖥️ TerminalViewModel deinit"));
    }

    void viewKeepsUpWithTrimmedOutputFromAnotherThread()
    {
        const TerminalView hidden(*m_manager);
        // Lines trimmed as they come, then a line longer than the output keeps, whose end stays.
        for (const QString& last : {u"last\n"_s, QString(5000, u'y') + u"end"_s, u"flood over\n"_s}) {
            std::thread([this, &last] { say(colouredLines() + last); }).join();
            QTRY_VERIFY(shown(&hidden).endsWith(last.right(4)));
            QCOMPARE(shown(&hidden), plain());
        }
    }

    void viewScrollsToTheEndOnChangesOnly()
    {
        say(colouredLines());
        // Output from before the view is shown from its top.
        QTRY_VERIFY(m_manager->output().endsWith(u"\r\n"));
        TerminalView view(*m_manager);
        view.resize(700, 450);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QScrollBar* const bar = view.verticalScrollBar();
        sayNothing();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), 0);
        say(u"more\n"_s);
        QTRY_VERIFY(bar->value() > 0 && bar->value() == bar->maximum());
        bar->setValue(0);
        sayNothing();
        QCOMPARE(bar->value(), 0);
    }

    void viewPaintsColoursInCellsOfOneWidth()
    {
        TerminalView view(*m_manager);
        view.resize(700, 450);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        // Rows of twenty letters, each row in a colour of its own, line up with nine wide
        // characters and two letters.
        say(u"\033[31mMMMMMMMMMMMMMMMMMMMM\n\033[38;2;0;0;200miiiiiiiiiiiiiiiiiiii\n\033[36m"_s +
            QString(9, u'\u6f22') + u"MM\n\033[9"_s);
        say(u"5mWWWWWWWWWWWWWWWWWWWW\033]0;title\a\n\033[48;5;208m \033[m\n"_s);
        QTRY_VERIFY(shown(&view).endsWith(u"W\n \n"));
        sayNothing();
        // How far right each colour, and each hue (the channels near the strongest), is painted.
        QHash<QRgb, int> reach;
        const QImage image = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QRect insideFocusFrame = QRect(QPoint(), image.size()).adjusted(3, 3, -3, -3);
        for (int y = insideFocusFrame.top(); y <= insideFocusFrame.bottom(); ++y) {
            for (int x = insideFocusFrame.left(); x <= insideFocusFrame.right(); ++x) {
                const QRgb pixel = image.pixel(x, y);
                const int top = std::max({qRed(pixel), qGreen(pixel), qBlue(pixel)});
                const auto on = [top](int channel) { return channel > 0 && channel * 5 >= top * 3 ? 255 : 0; };
                for (const QRgb key : {pixel, qRgb(on(qRed(pixel)), on(qGreen(pixel)), on(qBlue(pixel)))}) {
                    reach[key] = std::max(reach.value(key), x);
                }
            }
        }
        const qreal red = reach.value(qRgb(255, 0, 0));
        const qreal cell = (red - TerminalView::Padding) / 20;
        QVERIFY(cell > 2);
        for (const QRgb other : {qRgb(0, 0, 255), qRgb(0, 255, 255), qRgb(255, 0, 255)}) {
            QVERIFY(qAbs(reach.value(other) - red) < cell);
        }
        QVERIFY(reach.contains(qRgb(255, 135, 0)));
    }

    void copyTakesTheOutputAsShown()
    {
        say(colouredLines() + u"\033]0;title\a\rredrawn\n"_s);
        TerminalView view(*m_manager);
        QTRY_COMPARE(shown(&view), plain());
        QTest::keySequence(&view, QKeySequence(u"Ctrl+A, Ctrl+C"_s));
        QCOMPARE(QGuiApplication::clipboard()->text(), plain());
    }

    // Keys in the find bar, after finding "needle" in three lines of output; the last is current first.
    void findGoesToNextAndPreviousAround_data()
    {
        QTest::addColumn<QList<QKeySequence>>("keys");
        QTest::addColumn<QString>("count");
        QTest::newRow("newest first") << QList<QKeySequence>{} << u"3 of 3"_s;
        QTest::newRow("next wraps to the first") << QList<QKeySequence>{QKeySequence(Qt::Key_F3)} << u"1 of 3"_s;
        QTest::newRow("enter, then previous wraps to the last")
            << QList<QKeySequence>{QKeySequence(Qt::Key_Return), QKeySequence(Qt::SHIFT | Qt::Key_F3)} << u"3 of 3"_s;
        QTest::newRow("previous twice") << QList<QKeySequence>{QKeySequence(Qt::SHIFT | Qt::Key_Return),
                                                               QKeySequence(Qt::SHIFT | Qt::Key_F3)}
                                        << u"1 of 3"_s;
    }

    void findGoesToNextAndPreviousAround()
    {
        QFETCH(QList<QKeySequence>, keys);
        QFETCH(QString, count);
        say(u"a needle\nno NEEDLE here\nneedle\033[31mneedle\033[m\n"_s);
        Finding finding(*m_manager);
        QTRY_VERIFY(shown(finding.view).endsWith(u"needleneedle\n"));
        finding.find(u"NEEDLE"_s);
        QTRY_COMPARE(finding.count(), u"1 of 1"_s); // a capital: case matters
        QTest::keyClick(finding.field(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(finding.field(), u"needle"_s);
        QTRY_COMPARE(finding.count(), u"4 of 4"_s);
        QTest::mouseClick(finding.bar->findChild<QCheckBox*>(), Qt::LeftButton);
        QTRY_COMPARE(finding.count(), u"3 of 3"_s);
        for (const QKeySequence& key : keys) {
            QTest::keySequence(finding.field(), key);
        }
        QCOMPARE(finding.count(), count);
    }

    void findsAcrossWrappedRowsAndTrimming()
    {
        Finding finding(*m_manager);
        const int columns = finding.view->buffer().columns();
        // The match starts at the end of one row and ends at the start of the next.
        say(QString(columns - 3, u'x') + u"needle\nneedle\n"_s);
        QTRY_VERIFY(shown(finding.view).endsWith(u"needle\nneedle\n"));
        finding.find(u"needle"_s);
        QTRY_COMPARE(finding.count(), u"2 of 2"_s);
        QTest::keyClick(finding.field(), Qt::Key_Return);
        QTRY_COMPARE(finding.count(), u"1 of 2"_s);
        const QImage image = finding.view->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QRectF end = finding.view->characterRect({finding.view->buffer().endPoint().line - 2, columns - 1});
        const QRectF start = finding.view->characterRect({finding.view->buffer().endPoint().line - 2, columns});
        // Behind the glyphs, at the top of each cell.
        QCOMPARE(QColor(image.pixel(end.topLeft().toPoint() + QPoint(1, 1))), TerminalView::currentMatchBackground());
        QCOMPARE(QColor(image.pixel(start.topLeft().toPoint() + QPoint(1, 1))), TerminalView::currentMatchBackground());
        QVERIFY(finding.painted(TerminalView::matchBackground()) > 0);
        // The output keeps 6000 characters: both lines go, and their matches with them.
        for (int line = 0; line < 200; ++line) {
            say(u"line %1 of the flood\n"_s.arg(line));
        }
        QTRY_COMPARE(finding.count(), u"No matches"_s);
        QTRY_COMPARE(finding.painted(TerminalView::matchBackground()), 0);
    }

    void viewStaysOnTheMatchWhileOutputFloodsUntilEscape()
    {
        Finding finding(*m_manager);
        for (int line = 0; line < 100; ++line) {
            say(u"line %1 before\n"_s.arg(line));
        }
        say(u"the needle\n"_s);
        finding.find(u"needle"_s);
        QTRY_COMPARE(finding.count(), u"1 of 1"_s);
        const TerminalBuffer::Point match = *finding.view->search().current();
        const QScrollBar* const bar = finding.view->verticalScrollBar();
        QTRY_VERIFY(bar->value() > 0);
        const qreal top = finding.view->characterRect(match).top();
        // From another thread, while the oldest lines are trimmed.
        std::thread([this] {
            for (int line = 0; line < 120; ++line) {
                say(u"line %1 after\n"_s.arg(line));
            }
        }).join();
        QTRY_VERIFY(shown(finding.view).endsWith(u"line 119 after\n"));
        sayNothing();
        QVERIFY(finding.view->buffer().firstLineNumber() > 0);
        QCOMPARE(finding.view->characterRect(match).top(), top);
        QCOMPARE(finding.count(), u"1 of 1"_s);
        QTest::keyClick(finding.field(), Qt::Key_Escape);
        QVERIFY(!finding.bar->isVisible() && finding.view->hasFocus());
        say(u"after the search\n"_s);
        QTRY_VERIFY(bar->value() == bar->maximum() && shown(finding.view).endsWith(u"after the search\n"));
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
        m_manager->runTool();
        windows.openTerminalWindow();
        const QPointer<QWidget> window = windows.terminalWindow();
        window->hide();
        windows.openTerminalWindow();
        QVERIFY(windows.terminalWindow() == window && window->isVisible() && hasMenu());
        const QPointer<TerminalView> view = window->findChild<TerminalView*>();
        QTRY_VERIFY(shown(view).contains(u"\nbefore \U0001F680 \uFFFD x\n"));
        window->close();
        QTRY_VERIFY(!view); // and its model with it
        // The tool goes on; the next window shows all of its output.
        QFile(m_sandbox->home() + u"/go-on"_s).open(QIODevice::WriteOnly);
        QTRY_VERIFY(m_manager->output().contains(u"after the close\n"));
        windows.openTerminalWindow();
        const TerminalView* const next = windows.terminalWindow()->findChild<TerminalView*>();
        QVERIFY(shown(next).contains(u"\nbefore \U0001F680 \uFFFD x\nafter the close\n") && hasMenu());
    }

    // Keys on the output as the window opens: moving through it, and selecting with Shift. Selected afterwards:
    // all, none, or whole lines from the start or to the end. Scrolled: to the top (0), the bottom (1), anywhere (-1).
    void movesAndSelects_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<int>("scrolled");
        QTest::newRow("to the start") << u"Ctrl+Home"_s << u"none"_s << 0;
        QTest::newRow("to the start and the end") << u"Home, End"_s << u"none"_s << 1;
        QTest::newRow("select to the start") << u"Ctrl+Shift+Home"_s << u"all"_s << 0;
        QTest::newRow("from the start, select to the end") << u"Home, Shift+End"_s << u"all"_s << 1;
        QTest::newRow("select the last page") << u"Shift+PgUp"_s << u"end"_s << -1;
        QTest::newRow("from the start, select a page") << u"Ctrl+Home, Shift+PgDown"_s << u"start"_s << 0;
        QTest::newRow("select all") << QKeySequence(QKeySequence::SelectAll).toString() << u"all"_s << 1;
    }

    void movesAndSelects()
    {
        QFETCH(QString, keys);
        QFETCH(QString, selected);
        QFETCH(int, scrolled);
        WindowManager windows(*m_manager);
        windows.openTerminalWindow();
        auto* const view = windows.terminalWindow()->findChild<TerminalView*>();
        for (int line = 0; line < 200; ++line) {
            say(u"line %1\n"_s.arg(line));
        }
        const QScrollBar* const bar = view->verticalScrollBar();
        QTRY_VERIFY(view->buffer().lineCount() > 200 && bar->maximum() > 0 && bar->value() == bar->maximum());
        QTest::keySequence(view, QKeySequence(keys));
        const QString all = m_manager->output();
        const QString text = view->selectedText();
        const bool whole = selected == u"all" || selected == u"none";
        QVERIFY2(whole ? text == (selected == u"all" ? all : QString())
                       : text.count(u'\n') > 2 && text.size() < all.size() / 2 &&
                         (selected == u"start" ? all.startsWith(text) : all.endsWith(u'\n' + text)),
                 qPrintable(text));
        QVERIFY(scrolled < 0 || bar->value() == scrolled * bar->maximum());
    }
};

QTEST_MAIN(TestTerminalWindow)
#include "tst_terminal_window.moc"
