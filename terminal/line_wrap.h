#pragma once

#include <QStringView>

#include <algorithm>
#include <climits>

// How a line of terminal text falls into rows of a fixed number of cells: each character takes
// the cells a terminal gives it (two for wide and emoji characters, none for combining marks, up
// to the next tab stop for a tab), and a character that no longer fits starts the next row.
class LineWrap
{
public:
    // One character with whatever joins it (combining marks, variation selectors, the parts of
    // a joined emoji), as placed on a row.
    struct Cell
    {
        qsizetype from = 0;
        qsizetype to = 0;
        int row = 0;
        int column = 0;
        int width = 0;
    };

    // Where a scan of a line stands, so that text appended to the line can continue it.
    struct Position
    {
        qsizetype scanned = 0;
        int row = 0;
        int column = 0;
        // The last cell placed, which may still take joining characters.
        Cell last{-1, -1, 0, 0, 0};
        bool joinNext = false;
    };

    // True when the character takes exactly one cell of its own: the rows of a line of such
    // characters follow from its length alone.
    static constexpr bool isSimple(char16_t c)
    {
        return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c <= 0xFF && c != 0xAD);
    }
    static int simpleRows(qsizetype length, int columns)
    {
        return length <= 0 ? 1 : int((length + columns - 1) / columns);
    }

    // The rows of a line, scanning it from where `position` stands to its end.
    static int rows(QStringView text, int columns, Position& position);
    static int rows(QStringView text, int columns)
    {
        Position position;
        return rows(text, columns, position);
    }

    // Calls visit(const Cell&) for every cell of the line, in order, up to the end of row
    // `lastRow`.
    template <typename Visit>
    static void forEachCell(QStringView text, int columns, Visit&& visit, int lastRow = INT_MAX)
    {
        Position position;
        scan(text, columns, position, visit, lastRow);
        if (position.last.from >= 0 && position.last.row <= lastRow) {
            position.last.to = position.scanned;
            visit(position.last);
        }
    }

    // The cells a code point takes when it starts a cell; 0 for the joining kinds.
    static int width(char32_t codePoint);

private:
    // Stops at the first cell past row `lastRow`, leaving `scanned` where it starts.
    template <typename Visit>
    static void scan(QStringView text, int columns, Position& position, Visit&& visit, int lastRow = INT_MAX);
};

template <typename Visit>
void LineWrap::scan(QStringView text, int columns, Position& position, Visit&& visit, int lastRow)
{
    const qsizetype size = text.size();
    qsizetype i = position.scanned;
    while (i < size) {
        const qsizetype from = i;
        char32_t codePoint = text[i].unicode();
        if (QChar::isHighSurrogate(codePoint) && i + 1 < size && text[i + 1].isLowSurrogate()) {
            codePoint = QChar::surrogateToUcs4(char16_t(codePoint), text[i + 1].unicode());
            ++i;
        }
        ++i;
        const bool joinsLast = position.joinNext || (codePoint != u'\t' && width(codePoint) == 0);
        position.joinNext = codePoint == 0x200D;
        if (joinsLast && position.last.from >= 0) {
            // An emoji variation selector asks for the wide form, where the row has room.
            if (codePoint == 0xFE0F && position.last.width == 1 && position.column < columns) {
                position.last.width = 2;
                ++position.column;
            }
            continue;
        }
        int row = position.row;
        int column = position.column;
        if (column >= columns) {
            ++row;
            column = 0;
        }
        int cellWidth = codePoint == u'\t' ? std::min(8 - column % 8, columns - column) : std::max(width(codePoint), 1);
        if (column + cellWidth > columns && column > 0) {
            ++row;
            column = 0;
        }
        if (row > lastRow) {
            position.scanned = from;
            return;
        }
        if (position.last.from >= 0) {
            position.last.to = from;
            visit(position.last);
        }
        cellWidth = std::min(cellWidth, columns);
        position.row = row;
        position.last = Cell{from, -1, row, column, cellWidth};
        position.column = column + cellWidth;
    }
    position.scanned = size;
}
