#pragma once

#include "terminal/terminal_buffer.h"

#include <QAccessibleWidget>

class TerminalView;

// The terminal view as assistive technologies see it: a read-only terminal whose text is the
// output as shown, lines joined by line feeds, with the view's selection and a caret where keys
// move from (the end of the output until the user moves it). Lines are the output's own lines,
// not the rows they wrap into.
class TerminalViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit TerminalViewAccessible(TerminalView* view);

    // For QAccessible::installFactory.
    static QAccessibleInterface* create(const QString& className, QObject* object);

    void* interface_cast(QAccessible::InterfaceType type) override;
    QAccessible::State state() const override;
    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;

    void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset,
                             QAccessible::TextBoundaryType boundaryType,
                             int* startOffset,
                             int* endOffset) const override;
    QString textAfterOffset(int offset,
                            QAccessible::TextBoundaryType boundaryType,
                            int* startOffset,
                            int* endOffset) const override;
    QString textAtOffset(int offset,
                         QAccessible::TextBoundaryType boundaryType,
                         int* startOffset,
                         int* endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

private:
    TerminalView* view() const;
    const TerminalBuffer& buffer() const;
    TerminalBuffer::Point pointAt(int offset) const;
    // The children shown beside the text: the scroll bars, not the surface the text is drawn on.
    QList<QWidget*> children() const;
};
