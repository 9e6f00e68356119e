#pragma once

#include "terminal/escape_parser.h"
#include "terminal/line_wrap.h"
#include "terminal/text_style.h"

#include <QList>
#include <QString>

#include <span>

// Terminal output as a log view shows it: lines of plain characters with their style runs,
// escape sequences applied and removed, "\r", backspace, erase-in-line and the moves along the
// line acting on the last line as in a terminal (counting characters, not cells). Lines are kept back to back in a few
// large arrays, so that a flood of lines costs little more than their characters, and the rows each line wraps into are
// counted as lines arrive, so that finding the lines on screen costs a binary search.
class TerminalBuffer : private EscapeParser::Handler
{
public:
    // Where a style begins within its line; it lasts until the next run or the end of the line.
    struct StyleRun
    {
        quint32 start;
        TextStyle style;
    };

    // A place in the text: a line, counted from the first line ever written, and a character.
    struct Point
    {
        qint64 line = 0;
        qsizetype index = 0;
        friend auto operator<=>(const Point&, const Point&) = default;
    };

    TerminalBuffer();
    ~TerminalBuffer() override;
    TerminalBuffer(const TerminalBuffer&) = delete;
    TerminalBuffer& operator=(const TerminalBuffer&) = delete;

    void append(QStringView text);
    // Forgets what the first `characters` of the text appended so far made: whole lines, or
    // the same share of a line that was cut inside.
    void dropFront(qint64 characters);
    void clear();

    // The line being written is always there, so there is at least one line.
    qsizetype lineCount() const { return m_lines.size() - m_firstLine; }
    // The number of the first line kept: how many lines have been dropped.
    qint64 firstLineNumber() const { return m_droppedLines; }
    QStringView lineText(qsizetype line) const;
    std::span<const StyleRun> lineRuns(qsizetype line) const;
    bool isSimpleLine(qsizetype line) const { return lineAt(line).simple; }
    // The style the next character will get.
    const TextStyle& currentStyle() const { return m_style; }

    // Characters between two points, with a line feed between lines.
    QString text(Point from, Point to) const;

    void setColumns(int columns);
    int columns() const { return m_columns; }
    qint64 rowCount() const;
    qint64 firstRowOfLine(qsizetype line) const;
    int rowsOfLine(qsizetype line) const;
    qsizetype lineAtRow(qint64 row) const;

private:
    struct Line
    {
        qint64 textStart;
        qint64 runStart;
        qint64 rawLength;
        // Rows of every line up to and including this one, counted like the line numbers; only
        // kept for finished lines.
        qint64 rowEnd;
        bool simple;
    };

    void printText(QStringView text) override;
    void carriageReturn() override;
    void backspace() override;
    void selectGraphicRendition(std::span<const SequenceParameter> parameters) override;
    void eraseInLine(int mode) override;
    void moveCursor(int count) override;
    void setCursorColumn(int column) override;

    const Line& lineAt(qsizetype line) const { return m_lines.at(m_firstLine + line); }
    qint64 textEnd(qsizetype line) const;
    qint64 runEnd(qsizetype line) const;
    qsizetype currentLength() const;
    void finishLine();
    void setStyle(qsizetype from, qsizetype to, const TextStyle& style);
    void truncateCurrentLine(qsizetype length);
    void blankCurrentLine(qsizetype to);
    void dropLineStart(qsizetype characters);
    int countRows(qsizetype line) const;
    qint64 currentRowEnd() const;
    void compact();

    EscapeParser m_parser{*this};
    TextStyle m_style;
    QString m_text;
    qint64 m_textBase = 0;
    QList<StyleRun> m_runs;
    qint64 m_runBase = 0;
    QList<Line> m_lines;
    qsizetype m_firstLine = 0;
    qint64 m_droppedLines = 0;
    qint64 m_rowBase = 0;
    qsizetype m_cursor = 0;
    int m_columns = 80;
    // How far the rows of the line being written are counted; reset when it is rewritten.
    mutable LineWrap::Position m_currentWrap;
};
