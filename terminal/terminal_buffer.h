#pragma once

#include "terminal/line_wrap.h"
#include "terminal/terminal_line.h"
#include "terminal/text_style.h"

#include <QList>
#include <QString>

#include <array>
#include <functional>
#include <span>
#include <vector>

// Terminal output as a log view shows it, line by line (see TerminalLine), without a copy of the
// text: each line is kept as where its raw text starts, its style at that point and the rows it
// wraps into, and is rebuilt from the raw text when it is shown. Only the line being written is
// kept built. The rows are counted as lines arrive, so that finding the lines on screen costs a
// binary search.
class TerminalBuffer
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

    explicit TerminalBuffer(Source source);
    ~TerminalBuffer();
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

    // Characters between two points, with a line feed between lines.
    QString text(Point from, Point to) const;

    // The lines kept as one text, a line feed between two lines: its length, and the offsets of
    // points in it. Counted as lines arrive, so that either way costs a binary search.
    qint64 characterCount() const;
    qint64 offsetOf(Point point) const;
    Point pointAtOffset(qint64 offset) const;
    // Characters gone from the front so far, so that offsets of two moments compare.
    qint64 droppedCharacters() const { return m_characterBase; }
    Point endPoint() const { return {m_droppedLines + lineCount() - 1, m_current.text().size()}; }

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

    const Line& lineAt(qsizetype line) const { return m_lines.at(m_firstLine + line); }
    bool isCurrent(qsizetype line) const { return m_firstLine + line + 1 == m_lines.size(); }
    qint64 rawEnd(qsizetype line) const;
    const Shown& shown(qsizetype line) const;
    void finishLine();
    // Rebuilds the line being written from its raw text, after its start was dropped.
    void rebuildCurrent();
    int countRows(qsizetype line) const;
    qint64 currentRowEnd() const;
    qint64 characterStart(qsizetype line) const;
    qsizetype length(qsizetype line) const { return lineAt(line).characterEnd - characterStart(line) - 1; }
    void compact();

    Source m_source;
    qint64 m_rawEnd = 0;

    QList<Line> m_lines;
    qsizetype m_firstLine = 0;
    qint64 m_droppedLines = 0;
    qint64 m_rowBase = 0;
    qint64 m_characterBase = 0;
    TerminalLine m_current;
    int m_columns = 80;
    // How far the rows of the line being written are counted; reset when it is rewritten.
    mutable LineWrap::Position m_currentWrap;
    mutable quint64 m_currentWrapRewrites = 0;
    mutable TerminalLine m_builder;
    mutable std::array<Shown, ShownLines> m_shown;
};
