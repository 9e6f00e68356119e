#include "terminal/terminal_view.h"

#include "terminal/terminal_view_accessible.h"
#include "terminal/terminal_view_model.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QVarLengthArray>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Characters of one style and one selection state, at their place on a row.
struct Piece
{
    qsizetype from;
    qsizetype to;
    int row;
    int column;
    int cells;
};

QColor blend(const QColor& colour, const QColor& onto)
{
    return QColor(
        (colour.red() + onto.red()) / 2, (colour.green() + onto.green()) / 2, (colour.blue() + onto.blue()) / 2);
}

bool isBlank(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c == u' ' || c == u'\t'; });
}

} // namespace

TerminalView::TerminalView(CorvaltManager& manager, QWidget* parent)
    : QAbstractScrollArea(parent)
    , m_buffer([this](qint64 from, qint64 to) { return m_vm->outputRange(from, to); })
    , m_announcer(m_buffer, this)
    , m_search(m_buffer)
{
    static const bool accessible = (QAccessible::installFactory(&TerminalViewAccessible::create), true);
    Q_UNUSED(accessible);
    setMinimumSize(600, 400);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(QStringLiteral("Corvalt output"));
    viewport()->setCursor(Qt::IBeamCursor);
    QPalette palette = viewport()->palette();
    palette.setColor(QPalette::Base, defaultBackground());
    palette.setColor(QPalette::Window, defaultBackground());
    viewport()->setPalette(palette);
    viewport()->setAutoFillBackground(true);

    m_font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QFont body = QApplication::font();
    if (body.pointSizeF() > 0) {
        m_font.setPointSizeF(body.pointSizeF());
    } else if (body.pixelSize() > 0) {
        m_font.setPixelSize(body.pixelSize());
    }
    m_font.setKerning(false);
    const QFontMetricsF metrics(m_font, this);
    m_cellWidth = std::max<qreal>(metrics.horizontalAdvance(u'M'), 1);
    m_rowHeight = std::max(qCeil(metrics.lineSpacing()), 1);
    m_ascent = qRound(metrics.ascent());

    m_copyAction = new QAction(QStringLiteral("Copy"), this);
    m_copyAction->setShortcut(QKeySequence::Copy);
    connect(m_copyAction, &QAction::triggered, this, &TerminalView::copy);
    m_selectAllAction = new QAction(QStringLiteral("Select All"), this);
    m_selectAllAction->setShortcut(QKeySequence::SelectAll);
    connect(m_selectAllAction, &QAction::triggered, this, &TerminalView::selectAll);

    const qreal refreshRate = screen() ? screen()->refreshRate() : 60;
    m_frameTimer.setSingleShot(true);
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    m_frameTimer.setInterval(std::clamp(qRound(1000 / std::max<qreal>(refreshRate, 1)), 4, 50));
    connect(&m_frameTimer, &QTimer::timeout, this, &TerminalView::showFrame);

    m_vm = std::make_unique<TerminalViewModel>(manager);
    m_buffer.append(m_vm->outputRange(0, std::numeric_limits<qint64>::max()));
    connect(m_vm.get(), &TerminalViewModel::outputAppended, this, &TerminalView::onOutputAppended);
    m_selectionAnchor = m_selectionEnd = m_buffer.endPoint();
    m_announcer.start();
    connect(&m_search, &OutputSearch::changed, viewport(), qOverload<>(&QWidget::update));
    connect(&m_search, &OutputSearch::currentMoved, this, &TerminalView::showCurrentMatch);
    updateColumns();
    updateScrollRange();
}

TerminalView::~TerminalView() = default;

QColor TerminalView::defaultForeground()
{
    return QColor(Qt::green);
}

QColor TerminalView::defaultBackground()
{
    return QColor(Qt::black);
}

QColor TerminalView::matchBackground()
{
    return QColor(0xd0, 0xd0, 0x50);
}

QColor TerminalView::currentMatchBackground()
{
    return QColor(0xff, 0x8c, 0x00);
}

void TerminalView::onOutputAppended(const QString& appended, qsizetype droppedFromFront)
{
    // The output trims after appending, so the drop may reach into what was just appended.
    m_buffer.append(appended);
    if (droppedFromFront > 0) {
        m_buffer.dropFront(droppedFromFront);
    }
    // An unchanged text assigned again is no change: no scroll.
    if (!appended.isEmpty() || droppedFromFront > 0) {
        m_scrollPending = true;
    }
    scheduleFrame();
}

void TerminalView::scheduleFrame()
{
    if (!m_frameTimer.isActive()) {
        m_frameTimer.start();
    }
}

void TerminalView::setFollowing(bool following)
{
    m_following = following;
    if (!following) {
        rememberAnchor();
    }
}

void TerminalView::rememberAnchor()
{
    if (m_holding) {
        return;
    }
    m_anchor = m_search.current().value_or(pointAt(QPointF(Padding, Padding)));
    m_anchorTop = characterRect(m_anchor).top();
}

void TerminalView::showCurrentMatch()
{
    if (const std::optional<TerminalBuffer::Point> match = m_search.current()) {
        // The whole match, its start first.
        scrollToShow({match->line, match->index + m_search.length()});
        scrollToShow(*match);
    }
    rememberAnchor();
    viewport()->update();
}

void TerminalView::showFrame()
{
    if (!m_following) {
        // The view stays where it was while lines come and go around it.
        m_holding = true;
        m_scrollPending = false;
        updateScrollRange();
        QScrollBar* const bar = verticalScrollBar();
        bar->setValue(bar->value() + qRound(characterRect(m_anchor).top() - m_anchorTop));
        m_holding = false;
        m_search.outputChanged();
        rememberAnchor();
        viewport()->update();
        m_announcer.frameShown();
        return;
    }
    updateScrollRange();
    if (m_scrollPending) {
        m_scrollPending = false;
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
        // Keys move on from the end the output was brought to, unless something is selected.
        if (!hasSelection()) {
            m_selectionAnchor = m_selectionEnd = m_buffer.endPoint();
        }
    }
    viewport()->update();
    m_announcer.frameShown();
}

void TerminalView::updateColumns()
{
    const int width = viewport()->width() - 2 * Padding;
    m_buffer.setColumns(std::max(1, int(std::floor(width / m_cellWidth))));
}

void TerminalView::updateScrollRange()
{
    const qint64 content = 2 * qint64(Padding) + m_buffer.rowCount() * m_rowHeight;
    const qint64 maximum = std::max<qint64>(0, content - viewport()->height());
    QScrollBar* const bar = verticalScrollBar();
    bar->setPageStep(viewport()->height());
    bar->setSingleStep(m_rowHeight);
    bar->setRange(0, int(std::min<qint64>(maximum, std::numeric_limits<int>::max())));
}

void TerminalView::resizeEvent(QResizeEvent* event)
{
    QScrollBar* const bar = verticalScrollBar();
    const bool atEnd = bar->value() > 0 && bar->value() == bar->maximum();
    QAbstractScrollArea::resizeEvent(event);
    updateColumns();
    updateScrollRange();
    if (atEnd) {
        bar->setValue(bar->maximum());
    }
}

void TerminalView::scrollContentsBy(int, int)
{
    if (!m_following) {
        rememberAnchor();
    }
    viewport()->update();
}

const QFont& TerminalView::fontFor(const TextStyle& style) const
{
    const int variant = (style.has(TextStyle::Bold) ? 1 : 0) | (style.has(TextStyle::Italic) ? 2 : 0) |
        (style.has(TextStyle::Underline) ? 4 : 0) | (style.has(TextStyle::Strikeout) ? 8 : 0);
    std::optional<QFont>& font = m_styledFonts.at(variant);
    if (!font) {
        font = m_font;
        font->setBold(variant & 1);
        font->setItalic(variant & 2);
        font->setUnderline(variant & 4);
        font->setStrikeOut(variant & 8);
    }
    return *font;
}

void TerminalView::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    painter.fillRect(event->rect(), defaultBackground());
    if (hasFocus()) {
        // Inside the padding, clear of the text.
        painter.setPen(QPen(palette().color(QPalette::Active, QPalette::Highlight), 2));
        painter.drawRect(QRectF(viewport()->rect()).adjusted(1, 1, -1, -1));
    }
    const qint64 top = verticalScrollBar()->value();
    const qint64 firstRow = std::max<qint64>(0, (top - Padding) / m_rowHeight);
    if (firstRow >= m_buffer.rowCount()) {
        return;
    }
    qsizetype line = m_buffer.lineAtRow(firstRow);
    int row = int(firstRow - m_buffer.firstRowOfLine(line));
    const int height = viewport()->height();
    for (qint64 y = Padding + firstRow * m_rowHeight - top; y < height && line < m_buffer.lineCount(); ++line) {
        const qint64 visible = (height - y + m_rowHeight - 1) / m_rowHeight;
        const int rows = int(std::min<qint64>(m_buffer.rowsOfLine(line) - row, visible));
        paintLine(painter, line, row, row + rows - 1, int(y));
        y += qint64(rows) * m_rowHeight;
        row = 0;
    }
}

void TerminalView::paintLine(QPainter& painter, qsizetype line, int firstRow, int lastRow, int y) const
{
    const TerminalBuffer::LineContent content = m_buffer.line(line);
    const QStringView text = content.text;
    const std::span<const TerminalBuffer::StyleRun> runs = content.runs;
    if (text.isEmpty() || runs.empty()) {
        return;
    }
    const int columns = m_buffer.columns();

    // The characters of the line that are selected.
    qsizetype selectedFrom = 0;
    qsizetype selectedTo = 0;
    const qint64 number = m_buffer.firstLineNumber() + line;
    if (hasSelection()) {
        const auto [start, end] = std::minmax(m_selectionAnchor, m_selectionEnd);
        if (number >= start.line && number <= end.line) {
            selectedFrom = number == start.line ? start.index : 0;
            selectedTo = number == end.line ? end.index : text.size();
        }
    }
    // Matches of a search: where each starts, and the current one.
    const QList<qsizetype> found = m_search.isActive() ? m_search.matchesIn(number) : QList<qsizetype>();
    const std::optional<TerminalBuffer::Point> current = m_search.current();
    const qsizetype currentFrom = current && current->line == number ? current->index : -1;
    const qsizetype matchLength = m_search.length();
    const auto matchAt = [&found, matchLength](qsizetype index) {
        const auto after = std::upper_bound(found.cbegin(), found.cend(), index);
        return after != found.cbegin() && index < *(after - 1) + matchLength ? *(after - 1) : qsizetype(-1);
    };
    const auto runAt = [&runs](qsizetype index) {
        const auto after = std::upper_bound(runs.begin(), runs.end(), index, [](qsizetype value, const auto& run) {
            return value < qsizetype(run.start);
        });
        return after == runs.begin() ? after : after - 1;
    };

    QVarLengthArray<Piece, 128> pieces;
    if (content.simple) {
        for (int row = firstRow; row <= lastRow; ++row) {
            const qsizetype start = qsizetype(row) * columns;
            const qsizetype end = std::min(text.size(), start + columns);
            for (qsizetype at = start; at < end;) {
                qsizetype next = end;
                const auto run = runAt(at) + 1;
                if (run != runs.end()) {
                    next = std::min<qsizetype>(next, run->start);
                }
                for (const qsizetype bound : {selectedFrom, selectedTo}) {
                    if (bound > at) {
                        next = std::min(next, bound);
                    }
                }
                const auto bound = std::upper_bound(found.cbegin(), found.cend(), at);
                if (bound != found.cend()) {
                    next = std::min(next, *bound);
                }
                if (const qsizetype match = matchAt(at); match >= 0) {
                    next = std::min(next, match + matchLength);
                }
                pieces.append(Piece{at, next, row, int(at - start), int(next - at)});
                at = next;
            }
        }
    } else {
        LineWrap::forEachCell(
            text,
            columns,
            [&](const LineWrap::Cell& cell) {
                if (cell.row >= firstRow) {
                    pieces.append(Piece{cell.from, cell.to, cell.row, cell.column, cell.width});
                }
            },
            lastRow);
    }

    const QPalette& palette = this->palette();
    for (const Piece& piece : pieces) {
        const TextStyle& style = runAt(piece.from)->style;
        const int top = y + (piece.row - firstRow) * m_rowHeight;
        QColor foreground = style.hasForeground() ? QColor(style.foreground()) : defaultForeground();
        QColor background = style.hasBackground() ? QColor(style.background()) : defaultBackground();
        if (style.has(TextStyle::Inverse)) {
            std::swap(foreground, background);
        }
        if (style.has(TextStyle::Faint)) {
            foreground = blend(foreground, background);
        }
        const bool selected = piece.from >= selectedFrom && piece.from < selectedTo;
        if (const qsizetype match = matchAt(piece.from); match >= 0 && !selected) {
            background = match == currentFrom ? currentMatchBackground() : matchBackground();
            foreground = defaultBackground();
        }
        if (selected) {
            background = palette.color(QPalette::Active, QPalette::Highlight);
            foreground = palette.color(QPalette::Active, QPalette::HighlightedText);
        }
        const int left = qRound(Padding + piece.column * m_cellWidth);
        const int right = qRound(Padding + (piece.column + piece.cells) * m_cellWidth);
        if (background != defaultBackground()) {
            painter.fillRect(QRect(left, top, right - left, m_rowHeight), background);
        }
        const QStringView characters = text.sliced(piece.from, piece.to - piece.from);
        const bool lined = style.has(TextStyle::Underline) || style.has(TextStyle::Strikeout);
        if (characters.startsWith(u'\t') || (!lined && isBlank(characters))) {
            continue;
        }
        painter.setFont(fontFor(style));
        painter.setPen(foreground);
        painter.drawText(QPointF(Padding + piece.column * m_cellWidth, top + m_ascent), characters.toString());
    }
}

TerminalBuffer::Point TerminalView::pointAt(QPointF position) const
{
    const qint64 rowCount = m_buffer.rowCount();
    const qreal contentY = position.y() + verticalScrollBar()->value() - Padding;
    const qint64 lastLine = m_buffer.lineCount() - 1;
    if (contentY < 0) {
        return {m_buffer.firstLineNumber(), 0};
    }
    const qint64 row = qint64(contentY / m_rowHeight);
    if (row >= rowCount) {
        return {m_buffer.firstLineNumber() + lastLine, m_buffer.lineText(lastLine).size()};
    }
    const qsizetype line = m_buffer.lineAtRow(row);
    const int rowInLine = int(row - m_buffer.firstRowOfLine(line));
    const int columns = m_buffer.columns();
    const qreal column = std::clamp<qreal>((position.x() - Padding) / m_cellWidth, 0, columns);
    const TerminalBuffer::LineContent content = m_buffer.line(line);
    const QStringView text = content.text;
    qsizetype index = 0;
    if (content.simple) {
        const qsizetype start = qsizetype(rowInLine) * columns;
        index = std::clamp<qsizetype>(start + qRound(column), start, std::min(text.size(), start + columns));
    } else {
        bool found = false;
        LineWrap::forEachCell(
            text,
            columns,
            [&](const LineWrap::Cell& cell) {
                if (found || cell.row < rowInLine) {
                    return;
                }
                if (cell.row > rowInLine || column < cell.column + cell.width / 2.0) {
                    index = cell.from;
                    found = true;
                    return;
                }
                index = cell.to;
            },
            rowInLine + 1);
    }
    return {m_buffer.firstLineNumber() + line, index};
}

QString TerminalView::selectedText() const
{
    const auto [start, end] = selection();
    return m_buffer.text(start, end);
}

std::pair<TerminalBuffer::Point, TerminalBuffer::Point> TerminalView::selection() const
{
    return std::minmax(m_selectionAnchor, m_selectionEnd);
}

void TerminalView::select(TerminalBuffer::Point anchor, TerminalBuffer::Point end)
{
    m_selectionAnchor = anchor;
    m_selectionEnd = end;
    viewport()->update();
    if (QAccessible::isActive()) {
        const auto [first, last] = selection();
        const int position = int(m_buffer.offsetOf(end));
        QAccessibleTextSelectionEvent selected(this, int(m_buffer.offsetOf(first)), int(m_buffer.offsetOf(last)));
        selected.setCursorPosition(position);
        QAccessible::updateAccessibility(&selected);
        QAccessibleTextCursorEvent moved(this, position);
        QAccessible::updateAccessibility(&moved);
    }
}

void TerminalView::publishSelection() const
{
    QClipboard* const clipboard = QGuiApplication::clipboard();
    if (hasSelection() && clipboard->supportsSelection()) {
        clipboard->setText(selectedText(), QClipboard::Selection);
    }
}

void TerminalView::copy()
{
    if (hasSelection()) {
        QGuiApplication::clipboard()->setText(selectedText());
    }
}

void TerminalView::selectAll()
{
    select({m_buffer.firstLineNumber(), 0}, m_buffer.endPoint());
}

QRectF TerminalView::characterRect(TerminalBuffer::Point point) const
{
    const qsizetype line =
        qsizetype(std::clamp<qint64>(point.line - m_buffer.firstLineNumber(), 0, m_buffer.lineCount() - 1));
    const TerminalBuffer::LineContent content = m_buffer.line(line);
    const int columns = m_buffer.columns();
    const qsizetype index = std::clamp<qsizetype>(point.index, 0, content.text.size());
    qint64 row = 0;
    qint64 column = 0;
    int cells = 1;
    if (content.simple) {
        row = index / columns;
        column = index % columns;
        // Past the end of a full row: after its last cell rather than on the next row.
        if (index > 0 && index == content.text.size() && column == 0) {
            --row;
            column = columns;
        }
    } else {
        LineWrap::forEachCell(content.text, columns, [&](const LineWrap::Cell& cell) {
            if (cell.from <= index) {
                const bool inside = index < cell.to;
                row = cell.row;
                column = cell.column + (inside ? 0 : cell.width);
                cells = inside ? cell.width : 1;
            }
        });
    }
    const qint64 top = Padding + (m_buffer.firstRowOfLine(line) + row) * m_rowHeight - verticalScrollBar()->value();
    return {Padding + column * m_cellWidth, qreal(top), cells * m_cellWidth, qreal(m_rowHeight)};
}

void TerminalView::scrollToShow(TerminalBuffer::Point point)
{
    const QRectF cell = characterRect(point);
    QScrollBar* const bar = verticalScrollBar();
    if (cell.top() < Padding) {
        bar->setValue(bar->value() + qFloor(cell.top()) - Padding);
    } else if (cell.bottom() > viewport()->height() - Padding) {
        bar->setValue(bar->value() + qCeil(cell.bottom()) - viewport()->height() + Padding);
    }
}

void TerminalView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const TerminalBuffer::Point point = pointAt(event->position());
    select(point, point);
    m_selecting = true;
}

void TerminalView::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_selecting) {
        QAbstractScrollArea::mouseMoveEvent(event);
        return;
    }
    select(m_selectionAnchor, pointAt(event->position()));
}

void TerminalView::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_selecting || event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseReleaseEvent(event);
        return;
    }
    m_selecting = false;
    publishSelection();
}

std::optional<TerminalBuffer::Point> TerminalView::movedPosition(const QKeyEvent& event) const
{
    const auto matches = [&event](std::initializer_list<QKeySequence::StandardKey> keys) {
        return std::any_of(keys.begin(), keys.end(), [&event](auto key) { return event.matches(key); });
    };
    // As in read-only text views, Home and End go to the start and end of the whole text.
    if (matches({QKeySequence::MoveToStartOfDocument,
                 QKeySequence::MoveToStartOfLine,
                 QKeySequence::SelectStartOfDocument,
                 QKeySequence::SelectStartOfLine})) {
        return TerminalBuffer::Point{m_buffer.firstLineNumber(), 0};
    }
    if (matches({QKeySequence::MoveToEndOfDocument,
                 QKeySequence::MoveToEndOfLine,
                 QKeySequence::SelectEndOfDocument,
                 QKeySequence::SelectEndOfLine})) {
        return m_buffer.endPoint();
    }
    // A page keeps one row of the last in view.
    const int page = std::max(1, (viewport()->height() - 2 * Padding) / m_rowHeight - 1);
    int rows = 0;
    if (matches({QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage})) {
        rows = -page;
    } else if (matches({QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage})) {
        rows = page;
    } else if (matches({QKeySequence::SelectPreviousLine})) {
        rows = -1;
    } else if (matches({QKeySequence::SelectNextLine})) {
        rows = 1;
    } else {
        return std::nullopt;
    }
    const QRectF cell = characterRect(m_selectionEnd);
    return pointAt(QPointF(cell.left() + 1, cell.center().y() + qreal(rows) * m_rowHeight));
}

void TerminalView::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (const std::optional<TerminalBuffer::Point> moved = movedPosition(*event)) {
        const bool extend = event->modifiers().testFlag(Qt::ShiftModifier);
        select(extend ? m_selectionAnchor : *moved, *moved);
        scrollToShow(*moved);
        if (extend) {
            publishSelection();
        }
    } else {
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void TerminalView::focusInEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TerminalView::focusOutEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void TerminalView::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    m_copyAction->setEnabled(hasSelection());
    menu.addAction(m_copyAction);
    menu.addAction(m_selectAllAction);
    menu.exec(event->globalPos());
}
