#pragma once

#include "manager/corvalt_manager.h"
#include "terminal/terminal_buffer.h"

#include <QAbstractScrollArea>
#include <QFont>
#include <QTimer>

#include <array>
#include <memory>
#include <optional>

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

    explicit TerminalView(CorvaltManager& manager = CorvaltManager::shared(), QWidget* parent = nullptr);
    ~TerminalView() override;

    const TerminalBuffer& buffer() const { return m_buffer; }

    bool hasSelection() const { return m_selectionAnchor != m_selectionEnd; }
    QString selectedText() const;

    void copy();
    void selectAll();

    static QColor defaultForeground();
    static QColor defaultBackground();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void onOutputAppended(const QString& appended, qsizetype droppedFromFront);
    void scheduleFrame();
    void showFrame();
    void updateColumns();
    void updateScrollRange();
    TerminalBuffer::Point pointAt(QPointF position) const;
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
};
