#pragma once

#include "terminal/line_wrap.h"
#include "terminal/terminal_line.h"
#include "terminal/text_style.h"

#include <QList>
#include <QString>

#include <array>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

// Terminal output as a terminal shows it, line by line (see TerminalLine), without a copy of the
// text. The last lines are the screen, where the cursor may move and redraw (ScreenLines of the
// tool's lines, whatever they wrap into); they are kept built. Lines above it are history and
// never change: each is kept as where its raw text starts, its style at that point and the rows it
// wraps into, and is rebuilt from the raw text when it is shown; only a line that the cursor came
// back to keeps its characters, since its raw text no longer tells them. The rows are counted as
// lines arrive, so that finding the lines on screen costs a binary search.
class TerminalBuffer : private EscapeParser::Handler
{
public:
    using StyleRun = TerminalLine::StyleRun;

    // Reads back raw text appended earlier, by its positions counted from the first character
    // ever appended; what has been dropped since may come back shorter or empty.
    using Source = std::function<QStringView(qint64 from, qint64 to)>;

    // A place in the text: a line, counted from the first line ever written, and a character.
    struct Point
    {
        qint64 line = 0;
        qsizetype index = 0;
        friend auto operator<=>(const Point&, const Point&) = default;
    };

    // What a line shows. Valid until another line is shown or the buffer changes.
    struct LineContent
    {
        QStringView text;
        std::span<const StyleRun> runs;
        bool simple;
    };

    static constexpr qsizetype ScreenLines = 128;

    explicit TerminalBuffer(Source source);
    ~TerminalBuffer() override;
    TerminalBuffer(const TerminalBuffer&) = delete;
    TerminalBuffer& operator=(const TerminalBuffer&) = delete;

    void append(QStringView text);
    // Forgets the first `characters` of the text appended so far: the lines they made, and the
    // start of a line that was cut inside.
    void dropFront(qint64 characters);

    // The line being written is always there, so there is at least one line.
    qsizetype lineCount() const { return m_lines.size() - m_firstLine; }
    // The number of the first line kept: how many lines have been dropped.
    qint64 firstLineNumber() const { return m_droppedLines; }
    LineContent line(qsizetype line) const;
    QStringView lineText(qsizetype line) const { return this->line(line).text; }
    // The same for a search, case-folded when case does not matter (see ColouredText), in
    // `scratch` or where lineText() points. A line of history that only colours its characters is
    // read from its raw text instead of being rebuilt, which also leaves the lines kept for
    // showing alone.
    QStringView searchText(qsizetype line, QString& scratch, Qt::CaseSensitivity sensitivity) const;

    // Characters between two points, with a line feed between lines.
    QString text(Point from, Point to) const;

    // The lines kept as one text, a line feed between two lines: its length, and the offsets of
    // points in it. Counted as lines arrive, so that either way costs a binary search.
    qint64 characterCount() const;
    qint64 offsetOf(Point point) const;
    Point pointAtOffset(qint64 offset) const;
    // Characters gone from the front so far, so that offsets of two moments compare.
    qint64 droppedCharacters() const { return m_characterBase; }
    Point endPoint() const { return {lastNumber(), lastLine().text().size()}; }
    // The first line that output may still change; those above it are history.
    qint64 screenTop() const;

    void setColumns(int columns);
    int columns() const { return m_columns; }
    qint64 rowCount() const;
    qint64 firstRowOfLine(qsizetype line) const;
    int rowsOfLine(qsizetype line) const;
    qsizetype lineAtRow(qint64 row) const;

private:
    struct Line
    {
        // Where the raw text starts, counted from the first character ever appended; it ends
        // where the next line starts, with its line feed.
        qint64 rawStart;
        // Rows of every line up to and including this one, counted like the line numbers; only
        // kept for finished lines.
        qint64 rowEnd;
        // Characters likewise, each line with its line feed.
        qint64 characterEnd;
        TextStyle startStyle;
        // Every character a plain one-cell one, so that the rows follow from the length.
        bool simple;
        // The cursor came back to it or left it other than by a line feed: its raw text no
        // longer tells what it shows.
        bool rewritten;
    };

    // A line of history that keeps its characters.
    struct Kept
    {
        qint64 number;
        QString text;
        std::vector<StyleRun> runs;
        bool simple;
    };

    struct Cursor
    {
        qint64 line;
        qsizetype column;
        TextStyle style;
    };

    // Lines rebuilt for showing, kept for the frames to come.
    struct Shown
    {
        qint64 number = -1;
        qint64 rawStart = 0;
        QString text;
        std::vector<StyleRun> runs;
        bool simple = true;
    };
    static constexpr size_t ShownLines = 256;

    void printText(QStringView text, bool simple) override;
    void carriageReturn() override;
    void backspace() override;
    void selectGraphicRendition(std::span<const SequenceParameter> parameters) override;
    void eraseInLine(int mode) override;
    void moveCursor(int count) override;
    void setCursorColumn(int column) override;
    void moveLines(int count, bool toLineStart) override;
    void setCursorLine(int line) override;
    void setCursorPosition(int line, int column) override;
    void eraseInDisplay(int mode) override;
    void saveCursor() override;
    void restoreCursor() override;

    const Line& lineAt(qsizetype line) const { return m_lines.at(m_firstLine + line); }
    Line& record(qint64 number) { return m_lines[m_firstLine + (number - m_droppedLines)]; }
    bool isCurrent(qsizetype line) const { return m_firstLine + line + 1 == m_lines.size(); }
    qint64 lastNumber() const { return m_droppedLines + lineCount() - 1; }
    qint64 firstBuiltNumber() const { return lastNumber() + 1 - qint64(m_built.size()); }
    const TerminalLine& lastLine() const { return *m_built.back(); }
    // The line kept built, or null for a line of history.
    const TerminalLine* built(qsizetype line) const;
    qint64 rawEnd(qsizetype line) const;
    const Shown& shown(qsizetype line) const;
    const Kept& kept(qint64 number) const;

    // The cursor's line changed; the rows and characters of the lines after it are counted again.
    void edited();
    void settle();
    void lineFeed();
    void addLine(bool rewritten);
    void removeLinesAfter(qint64 number);
    // Lines above the screen become history.
    void retire();
    void recycle(std::unique_ptr<TerminalLine> line);
    void moveTo(qint64 number, qsizetype column, qint64 columns, const TextStyle& style);
    // Rebuilds the last line from its raw text, after its start was dropped.
    void rebuildCurrent();
    int countRows(qsizetype line) const;
    qint64 currentRowEnd() const;
    qint64 characterStart(qsizetype line) const;
    qsizetype length(qsizetype line) const { return lineAt(line).characterEnd - characterStart(line) - 1; }
    void compact();

    Source m_source;
    qint64 m_rawEnd = 0;
    EscapeParser m_parser{*this};

    QList<Line> m_lines;
    qsizetype m_firstLine = 0;
    qint64 m_droppedLines = 0;
    qint64 m_rowBase = 0;
    qint64 m_characterBase = 0;
    // The lines from the screen's top on (more when the screen has just moved down), built.
    std::deque<std::unique_ptr<TerminalLine>> m_built;
    // Lines no longer built, kept with their memory for the lines to come: a redraw that erases
    // lines and writes them again costs no allocation.
    std::vector<std::unique_ptr<TerminalLine>> m_spares;
    std::deque<Kept> m_kept;
    qint64 m_cursorLine = 0;
    TerminalLine* m_cursor = nullptr;
    std::optional<Cursor> m_saved;
    // Where a full erase started the screen afresh.
    qint64 m_screenStart = 0;
    // The first line whose rows and characters are to be counted again.
    qint64 m_editedFrom = std::numeric_limits<qint64>::max();
    int m_columns = 80;
    // How far the rows of the line being written are counted; reset when it is rewritten.
    mutable LineWrap::Position m_currentWrap;
    mutable quint64 m_currentWrapRewrites = 0;
    mutable TerminalLine m_builder;
    mutable std::array<Shown, ShownLines> m_shown;
};
