#pragma once

#include "manager/corvalt_manager.h"
#include "terminal/output_announcer.h"
#include "terminal/output_search.h"
#include "terminal/terminal_buffer.h"

#include <QAbstractScrollArea>
#include <QFont>
#include <QTimer>

#include <array>
#include <memory>
#include <optional>
#include <utility>

class QAction;
class QMenu;
class TerminalViewModel;

// The terminal window's content: the output of its own model as a terminal shows it, green
// monospaced text on black, wrapped at the window's width, scrolled to its end whenever the text
// changes. Only the rows on screen are laid out and painted, at most once per screen refresh.
class TerminalView : public QAbstractScrollArea
{
    Q_OBJECT

public:
    static constexpr int Padding = 12;

    explicit TerminalView(CorvaltManager& manager, QWidget* parent = nullptr);
    ~TerminalView() override;

    const TerminalBuffer& buffer() const { return m_buffer; }
    OutputSearch& search() { return m_search; }

    // While not following, new output leaves the view where it is, on the current match if
    // there is one; following again, the next change brings the end into view.
    void setFollowing(bool following);

    bool hasSelection() const { return m_selectionAnchor != m_selectionEnd; }
    QString selectedText() const;
    // The selection, first point first. Where nothing is selected both are the position keys
    // move from: the end of the output until the user moves it.
    std::pair<TerminalBuffer::Point, TerminalBuffer::Point> selection() const;
    TerminalBuffer::Point position() const { return m_selectionEnd; }
    // Selects from the anchor to the end, which becomes the position, and shows the end.
    void select(TerminalBuffer::Point anchor, TerminalBuffer::Point end);

    void copy();
    void selectAll();

    // Where a character is drawn, in viewport coordinates; a point past the end of a line gives
    // the cell after its last character.
    QRectF characterRect(TerminalBuffer::Point point) const;
    TerminalBuffer::Point pointAt(QPointF position) const;
    void scrollToShow(TerminalBuffer::Point point);

    static QColor defaultForeground();
    static QColor defaultBackground();
    // Behind the matches of a search, and behind its current match.
    static QColor matchBackground();
    static QColor currentMatchBackground();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void onOutputAppended(const QString& appended, qsizetype droppedFromFront);
    void scheduleFrame();
    void showFrame();
    void showCurrentMatch();
    // Notes where the view stands: the current match, or else the top of the view.
    void rememberAnchor();
    void updateColumns();
    void updateScrollRange();
    // The position after a move key, or nothing for other keys.
    std::optional<TerminalBuffer::Point> movedPosition(const QKeyEvent& event) const;
    void publishSelection() const;
    // Paints rows firstRow to lastRow of the line, the first at y.
    void paintLine(QPainter& painter, qsizetype line, int firstRow, int lastRow, int y) const;
    const QFont& fontFor(const TextStyle& style) const;

    std::unique_ptr<TerminalViewModel> m_vm;
    // Lines read back from the model's text: the view keeps no copy of it.
    TerminalBuffer m_buffer;
    QTimer m_frameTimer;
    bool m_scrollPending = false;

    QFont m_font;
    mutable std::array<std::optional<QFont>, 16> m_styledFonts;
    qreal m_cellWidth = 8;
    int m_rowHeight = 16;
    int m_ascent = 12;

    TerminalBuffer::Point m_selectionAnchor;
    TerminalBuffer::Point m_selectionEnd;
    bool m_selecting = false;
    QAction* m_copyAction = nullptr;
    QAction* m_selectAllAction = nullptr;
    OutputAnnouncer m_announcer;
    OutputSearch m_search;
    bool m_following = true;
    bool m_holding = false;
    TerminalBuffer::Point m_anchor;
    qreal m_anchorTop = 0;
};
