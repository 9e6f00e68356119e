#include "terminal/terminal_view.h"
#include "terminal/window_manager.h"
#include "tests/manager/manager_test_support.h"

#include <QScrollBar>
#include <QTest>

// Keys on the output as the window opens: moving through it, and selecting with Shift.
class TestTerminalKeyboard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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
        const TestSandbox sandbox;
        CorvaltManager manager(sandboxConfig(sandbox));
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

QTEST_MAIN(TestTerminalKeyboard)
#include "tst_terminal_keyboard.moc"
