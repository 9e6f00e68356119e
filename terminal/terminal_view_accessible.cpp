#include "terminal/terminal_view_accessible.h"

#include "terminal/terminal_view.h"

#include <QMenu>
#include <QTextBoundaryFinder>

TerminalViewAccessible::TerminalViewAccessible(TerminalView* view) : QAccessibleWidget(view, QAccessible::Terminal) { }

QAccessibleInterface* TerminalViewAccessible::create(const QString&, QObject* object)
{
    auto* const view = qobject_cast<TerminalView*>(object);
    return view ? new TerminalViewAccessible(view) : nullptr;
}

TerminalView* TerminalViewAccessible::view() const
{
    return static_cast<TerminalView*>(widget());
}

const TerminalBuffer& TerminalViewAccessible::buffer() const
{
    return view()->buffer();
}

TerminalBuffer::Point TerminalViewAccessible::pointAt(int offset) const
{
    return buffer().pointAtOffset(offset);
}

void* TerminalViewAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface) {
        return static_cast<QAccessibleTextInterface*>(this);
    }
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State TerminalViewAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = true;
    state.multiLine = true;
    state.selectableText = true;
    return state;
}

QList<QWidget*> TerminalViewAccessible::children() const
{
    QList<QWidget*> widgets;
    for (QObject* const object : view()->children()) {
        auto* const widget = qobject_cast<QWidget*>(object);
        if (widget && !widget->isWindow() && widget != view()->viewport() && !qobject_cast<QMenu*>(widget)) {
            widgets.append(widget);
        }
    }
    return widgets;
}

int TerminalViewAccessible::childCount() const
{
    return int(children().size());
}

QAccessibleInterface* TerminalViewAccessible::child(int index) const
{
    return QAccessible::queryAccessibleInterface(children().value(index));
}

int TerminalViewAccessible::indexOfChild(const QAccessibleInterface* child) const
{
    return child ? int(children().indexOf(qobject_cast<QWidget*>(child->object()))) : -1;
}

void TerminalViewAccessible::selection(int selectionIndex, int* startOffset, int* endOffset) const
{
    *startOffset = *endOffset = 0;
    if (selectionIndex == 0 && view()->hasSelection()) {
        const auto [first, last] = view()->selection();
        *startOffset = int(buffer().offsetOf(first));
        *endOffset = int(buffer().offsetOf(last));
    }
}

int TerminalViewAccessible::selectionCount() const
{
    return view()->hasSelection() ? 1 : 0;
}

void TerminalViewAccessible::addSelection(int startOffset, int endOffset)
{
    // One selection, as with the mouse.
    setSelection(0, startOffset, endOffset);
}

void TerminalViewAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0) {
        view()->select(view()->position(), view()->position());
    }
}

void TerminalViewAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex == 0) {
        view()->select(pointAt(startOffset), pointAt(endOffset));
    }
}

int TerminalViewAccessible::cursorPosition() const
{
    return int(buffer().offsetOf(view()->position()));
}

void TerminalViewAccessible::setCursorPosition(int position)
{
    const TerminalBuffer::Point point = pointAt(position);
    view()->select(point, point);
    view()->scrollToShow(point);
}

QString TerminalViewAccessible::text(int startOffset, int endOffset) const
{
    return buffer().text(pointAt(startOffset), pointAt(endOffset));
}

int TerminalViewAccessible::characterCount() const
{
    return int(buffer().characterCount());
}

QString TerminalViewAccessible::textAtOffset(int offset,
                                             QAccessible::TextBoundaryType boundaryType,
                                             int* startOffset,
                                             int* endOffset) const
{
    *startOffset = *endOffset = -1;
    const int count = characterCount();
    offset = offset == -1 ? count : offset;
    if (offset < 0 || offset > count) {
        return {};
    }
    if (boundaryType == QAccessible::NoBoundary) {
        *startOffset = 0;
        *endOffset = count;
        return text(0, count);
    }
    // Everything else lies within one line of the output, with its line feed.
    const TerminalBuffer::Point point = pointAt(offset);
    const int lineStart = int(buffer().offsetOf({point.line, 0}));
    QString line = buffer().lineText(point.line - buffer().firstLineNumber()).toString();
    if (point.line < buffer().endPoint().line) {
        line += u'\n';
    }
    if (boundaryType == QAccessible::LineBoundary || boundaryType == QAccessible::ParagraphBoundary) {
        *startOffset = lineStart;
        *endOffset = lineStart + int(line.size());
        return line;
    }
    if (offset == count) {
        return {};
    }
    const QTextBoundaryFinder::BoundaryType type = boundaryType == QAccessible::CharBoundary
        ? QTextBoundaryFinder::Grapheme
        : boundaryType == QAccessible::WordBoundary ? QTextBoundaryFinder::Word
                                                    : QTextBoundaryFinder::Sentence;
    const auto isItemEdge = [](const QTextBoundaryFinder& finder) {
        return finder.boundaryReasons() & (QTextBoundaryFinder::StartOfItem | QTextBoundaryFinder::EndOfItem);
    };
    QTextBoundaryFinder finder(type, line);
    finder.setPosition(point.index);
    qsizetype start = point.index;
    while (start > 0 && !(finder.isAtBoundary() && isItemEdge(finder))) {
        start = finder.toPreviousBoundary();
    }
    start = std::max<qsizetype>(start, 0);
    finder.setPosition(start);
    qsizetype end = finder.toNextBoundary();
    while (end > 0 && end < line.size() && !isItemEdge(finder)) {
        end = finder.toNextBoundary();
    }
    end = end < 0 ? line.size() : end;
    *startOffset = lineStart + int(start);
    *endOffset = lineStart + int(end);
    return line.sliced(start, end - start);
}

QString TerminalViewAccessible::textBeforeOffset(int offset,
                                                 QAccessible::TextBoundaryType boundaryType,
                                                 int* startOffset,
                                                 int* endOffset) const
{
    // The item that ends where the one at the offset starts.
    textAtOffset(offset, boundaryType, startOffset, endOffset);
    const int start = *startOffset < 0 ? (offset == -1 ? characterCount() : offset) : *startOffset;
    if (start <= 0 || start > characterCount()) {
        *startOffset = *endOffset = -1;
        return {};
    }
    return textAtOffset(start - 1, boundaryType, startOffset, endOffset);
}

QString TerminalViewAccessible::textAfterOffset(int offset,
                                                QAccessible::TextBoundaryType boundaryType,
                                                int* startOffset,
                                                int* endOffset) const
{
    textAtOffset(offset, boundaryType, startOffset, endOffset);
    const int end = *endOffset;
    if (end < 0 || end >= characterCount()) {
        *startOffset = *endOffset = -1;
        return {};
    }
    return textAtOffset(end, boundaryType, startOffset, endOffset);
}

QRect TerminalViewAccessible::characterRect(int offset) const
{
    const QRectF cell = view()->characterRect(pointAt(offset));
    return cell.translated(view()->viewport()->mapToGlobal(QPointF(0, 0))).toAlignedRect();
}

int TerminalViewAccessible::offsetAtPoint(const QPoint& point) const
{
    const QPoint local = view()->viewport()->mapFromGlobal(point);
    if (!view()->viewport()->rect().contains(local)) {
        return -1;
    }
    return int(buffer().offsetOf(view()->pointAt(local)));
}

void TerminalViewAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    // The start wins where both do not fit.
    view()->scrollToShow(pointAt(endIndex));
    view()->scrollToShow(pointAt(startIndex));
}

QString TerminalViewAccessible::attributes(int, int* startOffset, int* endOffset) const
{
    *startOffset = 0;
    *endOffset = characterCount();
    return {};
}
