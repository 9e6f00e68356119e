#include "terminal/terminal_buffer.h"

#include <algorithm>

TerminalBuffer::TerminalBuffer(Source source) : m_source(std::move(source))
{
    m_lines.append(Line{0, 0, 0, TextStyle(), true});
}

TerminalBuffer::~TerminalBuffer() = default;

void TerminalBuffer::append(QStringView text)
{
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype lineFeed = text.indexOf(u'\n', start);
        const qsizetype end = lineFeed < 0 ? text.size() : lineFeed;
        m_current.feed(text.sliced(start, end - start));
        m_rawEnd += end - start;
        if (lineFeed < 0) {
            return;
        }
        ++m_rawEnd;
        m_current.finish();
        finishLine();
        start = lineFeed + 1;
    }
}

void TerminalBuffer::finishLine()
{
    Line& line = m_lines.last();
    line.rowEnd = currentRowEnd();
    line.simple = m_current.isSimple();
    line.characterEnd = characterStart(lineCount() - 1) + m_current.text().size() + 1;
    // The line stays built for showing: the newest lines are the ones on screen.
    const qint64 number = m_droppedLines + lineCount() - 1;
    Shown& shown = m_shown.at(size_t(number) % ShownLines);
    shown.number = number;
    shown.rawStart = line.rawStart;
    shown.simple = line.simple;
    m_current.swapContents(shown.text, shown.runs);
    const TextStyle style = m_current.style();
    m_current.reset(style);
    m_lines.append(Line{m_rawEnd, 0, 0, style, true});
    m_currentWrap = {};
}

qint64 TerminalBuffer::rawEnd(qsizetype line) const
{
    return isCurrent(line) ? m_rawEnd : lineAt(line + 1).rawStart;
}

const TerminalBuffer::Shown& TerminalBuffer::shown(qsizetype line) const
{
    const Line& record = lineAt(line);
    const qint64 number = m_droppedLines + line;
    Shown& shown = m_shown.at(size_t(number) % ShownLines);
    if (shown.number == number && shown.rawStart == record.rawStart) {
        return shown;
    }
    QStringView text = m_source(record.rawStart, rawEnd(line));
    if (text.endsWith(u'\n')) {
        text.chop(1);
    }
    m_builder.reset(record.startStyle);
    m_builder.feed(text);
    m_builder.finish();
    m_builder.swapContents(shown.text, shown.runs);
    shown.number = number;
    shown.rawStart = record.rawStart;
    shown.simple = m_builder.isSimple();
    return shown;
}

TerminalBuffer::LineContent TerminalBuffer::line(qsizetype line) const
{
    if (isCurrent(line)) {
        return {m_current.text(), m_current.runs(), m_current.isSimple()};
    }
    const Shown& content = shown(line);
    return {content.text, content.runs, content.simple};
}

void TerminalBuffer::rebuildCurrent()
{
    const Line& line = m_lines.last();
    m_current.reset(line.startStyle);
    m_current.feed(m_source(line.rawStart, m_rawEnd));
    m_currentWrap = {};
}

void TerminalBuffer::dropFront(qint64 characters)
{
    while (characters > 0) {
        Line& first = m_lines[m_firstLine];
        if (isCurrent(0)) {
            const qint64 cut = std::min(characters, m_rawEnd - first.rawStart);
            if (cut > 0) {
                first.rawStart += cut;
                rebuildCurrent();
            }
            break;
        }
        const qint64 rawLength = rawEnd(0) - first.rawStart;
        if (characters < rawLength) {
            // Cut inside the line: it now starts later, with fewer rows.
            const int rowsBefore = rowsOfLine(0);
            const qsizetype lengthBefore = length(0);
            first.rawStart += characters;
            const Shown& rest = shown(0);
            first.simple = rest.simple;
            m_characterBase += lengthBefore - rest.text.size();
            m_rowBase += rowsBefore - countRows(0);
            break;
        }
        characters -= rawLength;
        m_rowBase = first.rowEnd;
        m_characterBase = first.characterEnd;
        ++m_firstLine;
        ++m_droppedLines;
    }
    compact();
}

void TerminalBuffer::compact()
{
    // Moved down in place, keeping the allocation, when a quarter is dead.
    if (m_firstLine > 0 && m_firstLine * 4 >= m_lines.size()) {
        std::copy(m_lines.cbegin() + m_firstLine, m_lines.cend(), m_lines.begin());
        m_lines.resize(m_lines.size() - m_firstLine);
        m_firstLine = 0;
    }
}

QString TerminalBuffer::text(Point from, Point to) const
{
    QString result;
    const qint64 firstLine = std::max(from.line, m_droppedLines);
    const qint64 lastLine = std::min(to.line, m_droppedLines + lineCount() - 1);
    for (qint64 number = firstLine; number <= lastLine; ++number) {
        const QStringView line = lineText(number - m_droppedLines);
        const qsizetype start = number == from.line ? std::clamp<qsizetype>(from.index, 0, line.size()) : 0;
        const qsizetype end = number == to.line ? std::clamp<qsizetype>(to.index, start, line.size()) : line.size();
        if (number > firstLine) {
            result += u'\n';
        }
        result += line.sliced(start, end - start);
    }
    return result;
}

void TerminalBuffer::setColumns(int columns)
{
    columns = std::max(columns, 1);
    if (columns == m_columns) {
        return;
    }
    m_columns = columns;
    m_rowBase = 0;
    qint64 rowEnd = 0;
    for (qsizetype line = 0; line + 1 < lineCount(); ++line) {
        rowEnd += countRows(line);
        m_lines[m_firstLine + line].rowEnd = rowEnd;
    }
    m_currentWrap = {};
}

int TerminalBuffer::countRows(qsizetype line) const
{
    const Line& record = lineAt(line);
    return record.simple ? LineWrap::simpleRows(length(line), m_columns) : LineWrap::rows(shown(line).text, m_columns);
}

qint64 TerminalBuffer::currentRowEnd() const
{
    const qint64 start = lineCount() > 1 ? m_lines.at(m_lines.size() - 2).rowEnd : m_rowBase;
    const QStringView text = m_current.text();
    if (m_current.isSimple()) {
        return start + LineWrap::simpleRows(text.size(), m_columns);
    }
    // Text appended since the last count continues it; anything else starts it afresh.
    if (m_current.rewrites() != m_currentWrapRewrites || m_currentWrap.scanned > text.size()) {
        m_currentWrap = {};
        m_currentWrapRewrites = m_current.rewrites();
    }
    return start + LineWrap::rows(text, m_columns, m_currentWrap);
}

qint64 TerminalBuffer::characterStart(qsizetype line) const
{
    return line == 0 ? m_characterBase : lineAt(line - 1).characterEnd;
}

qint64 TerminalBuffer::characterCount() const
{
    return characterStart(lineCount() - 1) + m_current.text().size() - m_characterBase;
}

qint64 TerminalBuffer::offsetOf(Point point) const
{
    if (point.line < m_droppedLines) {
        return 0;
    }
    if (point.line >= m_droppedLines + lineCount()) {
        return characterCount();
    }
    const qsizetype line = point.line - m_droppedLines;
    const qsizetype length = isCurrent(line) ? m_current.text().size() : this->length(line);
    return characterStart(line) - m_characterBase + std::clamp<qsizetype>(point.index, 0, length);
}

TerminalBuffer::Point TerminalBuffer::pointAtOffset(qint64 offset) const
{
    // As with rows: the first finished line that ends after the offset holds it.
    const auto begin = m_lines.cbegin() + m_firstLine;
    const auto found = std::upper_bound(begin,
                                        m_lines.cend() - 1,
                                        std::max<qint64>(offset, 0) + m_characterBase,
                                        [](qint64 value, const Line& line) { return value < line.characterEnd; });
    const qsizetype line = found - begin;
    const qsizetype length = isCurrent(line) ? m_current.text().size() : this->length(line);
    return {m_droppedLines + line, std::clamp<qsizetype>(offset - (characterStart(line) - m_characterBase), 0, length)};
}

qint64 TerminalBuffer::rowCount() const
{
    return currentRowEnd() - m_rowBase;
}

qint64 TerminalBuffer::firstRowOfLine(qsizetype line) const
{
    return (line == 0 ? m_rowBase : lineAt(line - 1).rowEnd) - m_rowBase;
}

int TerminalBuffer::rowsOfLine(qsizetype line) const
{
    const qint64 end = isCurrent(line) ? currentRowEnd() : lineAt(line).rowEnd;
    return int(end - m_rowBase - firstRowOfLine(line));
}

qsizetype TerminalBuffer::lineAtRow(qint64 row) const
{
    // Finished lines are ordered by their end row; the first that ends after the row holds it.
    const auto begin = m_lines.cbegin() + m_firstLine;
    const auto end = m_lines.cend() - 1;
    const auto found = std::upper_bound(
        begin, end, row + m_rowBase, [](qint64 value, const Line& line) { return value < line.rowEnd; });
    return found - begin;
}
