#include "terminal/terminal_view.h"
#include "terminal/terminal_view_model.h"
#include "terminal_test_support.h"
#include "tests/support/log_capture.h"

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

// The view: what it shows of the model's text, where it scrolls, how it paints, and copying.
class TestTerminalView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void looksLikeATerminal();
    void scrollsToTheEndOnChangesOnly();
    void paintsTheColoursOfTheText();
    void dropsTheLinesTheOutputDrops();
    void selectsAndCopies();
    void contextMenuOffersCopyAndSelectAll();

private:
    // Emits the texts through the manager's channel and waits until the view has them.
    static void emitAndWait(CorvaltManager& manager, TerminalView& view, const QStringList& texts);
    static QPoint cellCentre(const TerminalView& view, int column, int row);

    std::unique_ptr<TestSandbox> m_sandbox;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<CorvaltManager> m_manager;
};

void TestTerminalView::init()
{
    m_sandbox = std::make_unique<TestSandbox>();
    m_log = std::make_unique<LogCapture>();
    m_manager = std::make_unique<CorvaltManager>(sandboxConfig(*m_sandbox, 6000));
}

void TestTerminalView::cleanup()
{
    m_manager.reset();
    m_log.reset();
    m_sandbox.reset();
}

void TestTerminalView::emitAndWait(CorvaltManager& manager, TerminalView& view, const QStringList& texts)
{
    // Deliveries come in order: once the last text has come, all have.
    QSignalSpy delivered(&view.model(), &TerminalViewModel::outputAppended);
    for (const QString& text : texts) {
        manager.outputHandler()(text);
    }
    QTRY_VERIFY(std::any_of(delivered.cbegin(), delivered.cend(), [&](const QList<QVariant>& arguments) {
        return arguments.at(0).toString() == texts.last();
    }));
}

QPoint TestTerminalView::cellCentre(const TerminalView& view, int column, int row)
{
    const QSizeF cell = view.cellSize();
    return QPointF(TerminalView::Padding + (column + 0.5) * cell.width(),
                   TerminalView::Padding + (row + 0.5) * cell.height())
        .toPoint();
}

void TestTerminalView::looksLikeATerminal()
{
    TerminalView view(*m_manager);
    QCOMPARE(view.minimumSize(), QSize(600, 400));
    QCOMPARE(view.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(view.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QVERIFY(QFontInfo(view.terminalFont()).fixedPitch());
    QCOMPARE(view.terminalFont().pointSizeF(), QApplication::font().pointSizeF());
    QCOMPARE(TerminalView::defaultForeground(), QColor(Qt::green));
    QCOMPARE(TerminalView::defaultBackground(), QColor(Qt::black));

    // A long line wraps at the width: no horizontal scrolling.
    view.resize(600, 400);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    emitAndWait(*m_manager, view, {QString(300, u'w') + u'\n'});
    const int columns = view.buffer().columns();
    QCOMPARE(columns, int((view.viewport()->width() - 2 * TerminalView::Padding) / view.cellSize().width()));
    QCOMPARE(view.buffer().rowsOfLine(1), (300 + columns - 1) / columns);
}

void TestTerminalView::scrollsToTheEndOnChangesOnly()
{
    QStringList lines;
    for (int i = 0; i < 80; ++i) {
        lines.append(QStringLiteral("line %1\n").arg(i));
    }
    for (const QString& line : lines) {
        m_manager->outputHandler()(line);
    }
    QTRY_VERIFY(m_manager->output().endsWith(u"line 79\n"));

    TerminalView view(*m_manager);
    QSignalSpy delivered(&view.model(), &TerminalViewModel::outputAppended);
    view.resize(700, 450);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QScrollBar* const bar = view.verticalScrollBar();
    // Shown from its top: the first delivery assigns the same text, which is no change.
    QTRY_COMPARE(delivered.size(), 1);
    QTRY_VERIFY(bar->maximum() > 0);
    QTest::qWait(100);
    QCOMPARE(bar->value(), 0);

    emitAndWait(*m_manager, view, {QStringLiteral("one more\n")});
    QTRY_COMPARE(bar->value(), bar->maximum());
    // The end of the text, then the padding, meet the bottom edge.
    const qint64 content = 2 * TerminalView::Padding + view.buffer().rowCount() * qint64(view.cellSize().height());
    QCOMPARE(bar->maximum(), content - view.viewport()->height());

    // Scrolled up by the user, an unchanged text leaves it there; a change scrolls again.
    bar->setValue(0);
    emitAndWait(*m_manager, view, {QString()});
    QTest::qWait(100);
    QCOMPARE(bar->value(), 0);
    emitAndWait(*m_manager, view, {QStringLiteral("x")});
    QTRY_COMPARE(bar->value(), bar->maximum());
    QVERIFY(bar->maximum() > 0);
}

void TestTerminalView::paintsTheColoursOfTheText()
{
    TerminalView view(*m_manager);
    view.resize(700, 450);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    emitAndWait(*m_manager,
                view,
                {QStringLiteral("\x1b[41m    \x1b[0m\x1b[1mbold\x1b[22m\n"),
                 QStringLiteral("\x1b[38;2;10;200;30m\u2588\x1b[0m\u2588 \x1b[7m \x1b[0m\x1b[48;5;21m  \x1b[m "),
                 QStringLiteral("\x1b[9"),
                 QStringLiteral("3m\u2588\x1b]0;title\x07\x1b[0m\u2588\x1b[2m\u2588\n")});
    QTRY_COMPARE(view.buffer().lineCount(), 4);
    QCOMPARE(lineTexts(view.buffer()).at(2), QStringLiteral("\u2588\u2588     \u2588\u2588\u2588"));

    // Row 0 is the manager's first line; the coloured rows follow.
    QTest::qWait(50);
    const QImage image = view.viewport()->grab().toImage();
    const auto pixel = [&](int column, int row) { return image.pixelColor(cellCentre(view, column, row)); };
    QCOMPARE(image.pixelColor(4, 4), QColor(Qt::black));
    for (int column = 0; column < 4; ++column) {
        QCOMPARE(pixel(column, 1), QColor(205, 0, 0));
    }
    QCOMPARE(pixel(0, 2), QColor(10, 200, 30));
    QCOMPARE(pixel(1, 2), QColor(0, 255, 0));
    QCOMPARE(pixel(2, 2), QColor(Qt::black));
    QCOMPARE(pixel(3, 2), QColor(0, 255, 0)); // inverse: green behind
    QCOMPARE(pixel(4, 2), QColor(0, 0, 255)); // palette entry 21
    QCOMPARE(pixel(5, 2), QColor(0, 0, 255));
    QCOMPARE(pixel(6, 2), QColor(Qt::black));
    QCOMPARE(pixel(7, 2), QColor(255, 255, 0)); // bright yellow, its sequence split in two
    QCOMPARE(pixel(8, 2), QColor(0, 255, 0));
    QCOMPARE(pixel(9, 2), QColor(0, 127, 0)); // faint: halfway to the black behind
    QCOMPARE(pixel(10, 2), QColor(Qt::black));
}

void TestTerminalView::dropsTheLinesTheOutputDrops()
{
    TerminalView view(*m_manager);
    QStringList texts;
    for (int i = 0; i < 400; ++i) {
        texts.append(QStringLiteral("\x1b[3%1mline\x1b[0m %2 %3\r\n").arg(i % 8).arg(i).arg(QString(i % 17, u'.')));
    }
    texts.append(QStringLiteral("last, unfinished"));
    emitAndWait(*m_manager, view, texts);

    // The output keeps 3000 characters; the view shows its lines and no others.
    QVERIFY(!m_manager->output().contains(u"line\x1b[0m 0 "));
    TerminalBuffer expected;
    expected.append(m_manager->output());
    QCOMPARE(lineTexts(view.buffer()), lineTexts(expected));
    QVERIFY(view.buffer().firstLineNumber() > 250);
}

void TestTerminalView::selectsAndCopies()
{
    TerminalView view(*m_manager);
    view.resize(700, 450);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    emitAndWait(*m_manager,
                view,
                {QStringLiteral("\x1b[31merror:\x1b[0m disk \x1b]0;t\x07"
                                "full\nsecond line\n")});
    QVERIFY(!view.hasSelection());

    // Dragging over "error:" on the second row.
    QTest::mousePress(
        view.viewport(), Qt::LeftButton, {}, cellCentre(view, 0, 1) - QPoint(view.cellSize().width() / 2 - 1, 0));
    QTest::mouseMove(view.viewport(), cellCentre(view, 5, 1) + QPoint(view.cellSize().width() / 2 - 1, 0));
    QTest::mouseRelease(
        view.viewport(), Qt::LeftButton, {}, cellCentre(view, 5, 1) + QPoint(view.cellSize().width() / 2 - 1, 0));
    QCOMPARE(view.selectedText(), QStringLiteral("error:"));
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("error:"));

    // Across lines, from "disk" to "second".
    QTest::mousePress(
        view.viewport(), Qt::LeftButton, {}, cellCentre(view, 7, 1) - QPoint(view.cellSize().width() / 2 - 1, 0));
    QTest::mouseMove(view.viewport(), cellCentre(view, 5, 2) + QPoint(view.cellSize().width() / 2 - 1, 0));
    QTest::mouseRelease(
        view.viewport(), Qt::LeftButton, {}, cellCentre(view, 5, 2) + QPoint(view.cellSize().width() / 2 - 1, 0));
    QCOMPARE(view.selectedText(), QStringLiteral("disk full\nsecond"));

    // The selection shows in the highlight colour.
    QTest::qWait(50);
    const QImage image = view.viewport()->grab().toImage();
    const QPoint selectedSpace = cellCentre(view, 11, 1);
    QCOMPARE(image.pixelColor(selectedSpace), view.palette().color(QPalette::Active, QPalette::Highlight));

    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(),
             QStringLiteral("🔧 Corvalt Manager initialized\nerror: disk full\nsecond line\n"));
}

void TestTerminalView::contextMenuOffersCopyAndSelectAll()
{
    TerminalView view(*m_manager);
    view.resize(700, 450);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    emitAndWait(*m_manager, view, {QStringLiteral("copy me\n")});

    QStringList texts;
    QList<bool> enabled;
    const auto openMenu = [&](const QString& trigger) {
        QTimer::singleShot(0, &view, [&] {
            auto* const menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu);
            texts.clear();
            enabled.clear();
            for (QAction* const action : menu->actions()) {
                texts.append(action->text());
                enabled.append(action->isEnabled());
                if (action->text() == trigger) {
                    action->trigger();
                }
            }
            menu->close();
        });
        QContextMenuEvent event(
            QContextMenuEvent::Mouse, cellCentre(view, 1, 1), view.mapToGlobal(cellCentre(view, 1, 1)));
        QApplication::sendEvent(view.viewport(), &event);
    };

    openMenu(QStringLiteral("Select All"));
    QCOMPARE(texts, (QStringList{QStringLiteral("Copy"), QStringLiteral("Select All")}));
    QCOMPARE(enabled, (QList<bool>{false, true}));
    QVERIFY(view.hasSelection());

    openMenu(QStringLiteral("Copy"));
    QCOMPARE(enabled, (QList<bool>{true, true}));
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("🔧 Corvalt Manager initialized\ncopy me\n"));
}

QTEST_MAIN(TestTerminalView)
#include "tst_terminal_view.moc"
