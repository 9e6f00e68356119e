#pragma once

#include "terminal/escape_parser.h"
#include "terminal/text_style.h"

#include <QString>

#include <algorithm>
#include <span>
#include <vector>

// One line of terminal output built as a terminal writes it: escape sequences applied and
// removed, "\r", backspace, erase-in-line and the moves along the line acting on it (counting
// characters, not cells). Either fed its raw text in any number of pieces, without its line feed
// and without moves to other lines, or edited through its handler by a screen that parses for it.
class TerminalLine : public EscapeParser::Handler
{
public:
    // Where a style begins within the line; it lasts until the next run or the end of the line.
    struct StyleRun
    {
        quint32 start;
        TextStyle style;
    };

    TerminalLine();
    ~TerminalLine() override;
    TerminalLine(const TerminalLine&) = delete;
    TerminalLine& operator=(const TerminalLine&) = delete;

    // Empties the line for text that starts in `style`, keeping its memory unless it is large.
    void reset(const TextStyle& style);
    void feed(QStringView raw);
    // The line feed: ends any sequence left open.
    void finish() { m_parser.lineFeed(); }

    QStringView text() const { return m_text; }
    std::span<const StyleRun> runs() const { return m_runs; }
    // False once a character that is not a plain one-cell character has been written.
    bool isSimple() const { return m_simple; }
    // The style the next character will get.
    const TextStyle& style() const { return m_style; }
    // Counts the changes to characters already there (writing over them, erasing them), so that
    // a reader can tell whether the line has only grown since it last looked.
    quint64 rewrites() const { return m_rewrites; }

    // Hands the characters and runs over, taking the other buffers in exchange.
    void swapContents(QString& text, std::vector<StyleRun>& runs);

    qsizetype cursor() const { return m_cursor; }
    // The cursor arrives from another line, with that line's style, at `column`; `columns` is how
    // far the raw text written since the line began could have taken it.
    void place(qsizetype column, const TextStyle& style, qint64 columns);
    void allowColumns(qint64 columns) { m_rawLength = std::max(m_rawLength, columns); }

    void printText(QStringView text, bool simple) override;
    void carriageReturn() override;
    void backspace() override;
    void selectGraphicRendition(std::span<const SequenceParameter> parameters) override;
    void eraseInLine(int mode) override;
    void moveCursor(int count) override;
    void setCursorColumn(int column) override;

private:
    void setStyle(qsizetype from, qsizetype to, const TextStyle& style);
    void truncate(qsizetype length);
    void blank(qsizetype to);

    EscapeParser m_parser{*this};
    QString m_text;
    std::vector<StyleRun> m_runs;
    TextStyle m_style;
    qsizetype m_cursor = 0;
    qint64 m_rawLength = 0;
    quint64 m_rewrites = 0;
    bool m_simple = true;
};
