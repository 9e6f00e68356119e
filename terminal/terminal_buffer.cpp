#include "terminal/terminal_buffer.h"

#include <QVarLengthArray>

#include <algorithm>
#include <limits>

namespace {

// Removes the first `count` elements by moving the rest down, keeping the allocation: dropping
// from the front by moving the start would leave the freed memory resident for good.
template <typename List>
void dropFrontInPlace(List& list, qsizetype count)
{
    if (count <= 0) {
        return;
    }
    std::copy(list.cbegin() + count, list.cend(), list.begin());
    list.resize(list.size() - count);
}

} // namespace

TerminalBuffer::TerminalBuffer()
{
    m_lines.append(Line{0, 0, 0, 0, true});
}

TerminalBuffer::~TerminalBuffer() = default;

void TerminalBuffer::clear()
{
    m_parser.lineFeed();
    m_style = TextStyle();
    m_text.clear();
    m_textBase = 0;
    m_runs.clear();
    m_runBase = 0;
    m_lines.clear();
    m_lines.append(Line{0, 0, 0, 0, true});
    m_firstLine = 0;
    m_droppedLines = 0;
    m_rowBase = 0;
    m_cursor = 0;
    m_currentWrap = {};
}

void TerminalBuffer::append(QStringView text)
{
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype lineFeed = text.indexOf(u'\n', start);
        if (lineFeed < 0) {
            m_lines.last().rawLength += text.size() - start;
            m_parser.feed(text.sliced(start));
            return;
        }
        m_lines.last().rawLength += lineFeed - start + 1;
        m_parser.feed(text.sliced(start, lineFeed - start));
        m_parser.lineFeed();
        finishLine();
        start = lineFeed + 1;
    }
}

void TerminalBuffer::finishLine()
{
    Line& line = m_lines.last();
    line.rowEnd = currentRowEnd();
    m_lines.append(Line{m_textBase + m_text.size(), m_runBase + m_runs.size(), 0, 0, true});
    m_cursor = 0;
    m_currentWrap = {};
}

qsizetype TerminalBuffer::currentLength() const
{
    return m_textBase + m_text.size() - m_lines.last().textStart;
}

qint64 TerminalBuffer::textEnd(qsizetype line) const
{
    const qsizetype index = m_firstLine + line;
    return index + 1 < m_lines.size() ? m_lines.at(index + 1).textStart : m_textBase + m_text.size();
}

qint64 TerminalBuffer::runEnd(qsizetype line) const
{
    const qsizetype index = m_firstLine + line;
    return index + 1 < m_lines.size() ? m_lines.at(index + 1).runStart : m_runBase + m_runs.size();
}

QStringView TerminalBuffer::lineText(qsizetype line) const
{
    const qint64 start = lineAt(line).textStart - m_textBase;
    return QStringView(m_text).sliced(start, textEnd(line) - m_textBase - start);
}

std::span<const TerminalBuffer::StyleRun> TerminalBuffer::lineRuns(qsizetype line) const
{
    const qint64 start = lineAt(line).runStart - m_runBase;
    return {m_runs.constData() + start, size_t(runEnd(line) - m_runBase - start)};
}

void TerminalBuffer::printText(QStringView text)
{
    Line& line = m_lines.last();
    line.simple = line.simple && LineWrap::isSimple(text);
    qsizetype length = currentLength();
    if (m_cursor > length) {
        // Moved past the end: the gap is blank.
        const qsizetype cursor = m_cursor;
        m_cursor = length;
        printText(QString(cursor - length, u' '));
        length = cursor;
    }
    if (m_cursor == length) {
        const qint64 firstRun = line.runStart - m_runBase;
        if (m_runs.size() == firstRun || !(m_runs.last().style == m_style)) {
            m_runs.append(StyleRun{quint32(length), m_style});
        }
        m_text.append(text);
        m_cursor += text.size();
        return;
    }

    // Writing over earlier characters, after a carriage return or a move back.
    const qsizetype lineStart = line.textStart - m_textBase;
    if (m_cursor > 0 && m_text.at(lineStart + m_cursor).isLowSurrogate() &&
        m_text.at(lineStart + m_cursor - 1).isHighSurrogate()) {
        m_text[lineStart + m_cursor - 1] = u' ';
    }
    const qsizetype overlap = std::min(text.size(), length - m_cursor);
    std::copy(text.begin(), text.begin() + overlap, m_text.begin() + lineStart + m_cursor);
    m_text.append(text.sliced(overlap));
    const qsizetype from = m_cursor;
    m_cursor += text.size();
    // Half a surrogate pair left behind would show as garbage.
    if (m_cursor < currentLength() && m_text.at(lineStart + m_cursor).isLowSurrogate()) {
        m_text[lineStart + m_cursor] = u' ';
    }
    setStyle(from, m_cursor, m_style);
    m_currentWrap = {};
}

void TerminalBuffer::setStyle(qsizetype from, qsizetype to, const TextStyle& style)
{
    const qsizetype firstRun = m_lines.last().runStart - m_runBase;
    const qsizetype length = currentLength();
    QVarLengthArray<StyleRun, 32> result;
    const auto push = [&result](qsizetype start, const TextStyle& runStyle) {
        if (!result.isEmpty() && result.last().start == quint32(start)) {
            result.removeLast();
        }
        if (result.isEmpty() || !(result.last().style == runStyle)) {
            result.append(StyleRun{quint32(start), runStyle});
        }
    };
    const qsizetype runCount = m_runs.size() - firstRun;
    const auto runEndAt = [&](qsizetype i) {
        return i + 1 < runCount ? qsizetype(m_runs.at(firstRun + i + 1).start) : length;
    };
    for (qsizetype i = 0; i < runCount; ++i) {
        const StyleRun& run = m_runs.at(firstRun + i);
        if (qsizetype(run.start) < from) {
            push(run.start, run.style);
        }
    }
    push(from, style);
    for (qsizetype i = 0; i < runCount; ++i) {
        const StyleRun& run = m_runs.at(firstRun + i);
        if (runEndAt(i) > to) {
            push(std::max<qsizetype>(run.start, to), run.style);
        }
    }
    m_runs.resize(firstRun);
    for (const StyleRun& run : result) {
        m_runs.append(run);
    }
}

void TerminalBuffer::carriageReturn()
{
    m_cursor = 0;
}

void TerminalBuffer::backspace()
{
    moveCursor(-1);
}

void TerminalBuffer::moveCursor(int count)
{
    setCursorColumn(int(std::clamp<qsizetype>(m_cursor + count, 0, std::numeric_limits<int>::max())));
    // Back onto the second half of a surrogate pair means onto the whole character.
    const qsizetype lineStart = m_lines.last().textStart - m_textBase;
    if (count < 0 && m_cursor > 0 && m_cursor < currentLength() && m_text.at(lineStart + m_cursor).isLowSurrogate() &&
        m_text.at(lineStart + m_cursor - 1).isHighSurrogate()) {
        --m_cursor;
    }
}

void TerminalBuffer::setCursorColumn(int column)
{
    // A hostile sequence must not make the line huge: the cursor stays within what the line
    // could have become from the text it was made of.
    m_cursor = std::min<qsizetype>(std::max(column, 0), std::max<qint64>(currentLength(), m_lines.last().rawLength));
}

void TerminalBuffer::selectGraphicRendition(std::span<const SequenceParameter> parameters)
{
    m_style.applySelectGraphicRendition(parameters);
}

void TerminalBuffer::eraseInLine(int mode)
{
    const qsizetype length = currentLength();
    switch (mode) {
    case 0:
        truncateCurrentLine(m_cursor);
        break;
    case 1:
        blankCurrentLine(std::min(m_cursor + 1, length));
        break;
    default:
        truncateCurrentLine(m_cursor);
        blankCurrentLine(m_cursor);
        break;
    }
    m_currentWrap = {};
}

void TerminalBuffer::truncateCurrentLine(qsizetype length)
{
    if (length >= currentLength()) {
        return;
    }
    const Line& line = m_lines.last();
    m_text.truncate(line.textStart - m_textBase + length);
    const qsizetype firstRun = line.runStart - m_runBase;
    qsizetype keep = m_runs.size();
    while (keep > firstRun && qsizetype(m_runs.at(keep - 1).start) >= length) {
        --keep;
    }
    m_runs.resize(keep);
}

void TerminalBuffer::blankCurrentLine(qsizetype to)
{
    if (to <= 0) {
        return;
    }
    const qsizetype lineStart = m_lines.last().textStart - m_textBase;
    std::fill(m_text.begin() + lineStart, m_text.begin() + lineStart + to, u' ');
    setStyle(0, to, TextStyle());
}

void TerminalBuffer::dropFront(qint64 characters)
{
    while (characters > 0) {
        Line& first = m_lines[m_firstLine];
        if (characters < first.rawLength || m_firstLine + 1 == m_lines.size()) {
            // Cut inside the line: its characters go in the same share as what it was made of.
            const qint64 rawLength = std::max<qint64>(first.rawLength, 1);
            const qint64 cut = std::min(characters, rawLength);
            const qsizetype length = textEnd(0) - first.textStart;
            dropLineStart(qsizetype(length * cut / rawLength));
            m_lines[m_firstLine].rawLength = std::max<qint64>(0, first.rawLength - characters);
            break;
        }
        characters -= first.rawLength;
        m_rowBase = first.rowEnd;
        ++m_firstLine;
        ++m_droppedLines;
    }
    compact();
}

void TerminalBuffer::dropLineStart(qsizetype characters)
{
    Line& line = m_lines[m_firstLine];
    const bool current = m_firstLine + 1 == m_lines.size();
    QStringView text = lineText(0);
    if (characters < text.size() && characters > 0 && text.at(characters).isLowSurrogate()) {
        ++characters;
    }
    characters = std::min(characters, text.size());
    if (characters <= 0) {
        return;
    }
    const int rowsBefore = current ? 0 : rowsOfLine(0);
    // Runs that end inside the dropped part go; the rest move down.
    const qint64 runFirst = line.runStart - m_runBase;
    const qint64 runLast = runEnd(0) - m_runBase;
    qint64 keepFrom = runFirst;
    while (keepFrom + 1 < runLast && qsizetype(m_runs.at(keepFrom + 1).start) <= characters) {
        ++keepFrom;
    }
    for (qint64 i = keepFrom; i < runLast; ++i) {
        m_runs[i].start = quint32(std::max<qsizetype>(0, qsizetype(m_runs.at(i).start) - characters));
    }
    if (characters == text.size() && keepFrom < runLast) {
        ++keepFrom; // nothing of the line is left for its last run
    }
    line.runStart = m_runBase + keepFrom;
    line.textStart += characters;
    if (current) {
        m_cursor = std::max<qsizetype>(0, m_cursor - characters);
        m_currentWrap = {};
    } else {
        // The first rows are gone: count from where the line now starts.
        m_rowBase += rowsBefore - countRows(0);
    }
}

void TerminalBuffer::compact()
{
    const Line& first = m_lines.at(m_firstLine);
    const qint64 deadText = first.textStart - m_textBase;
    if (deadText > 0 && deadText * 4 >= m_text.size()) {
        dropFrontInPlace(m_text, deadText);
        m_textBase += deadText;
    }
    const qint64 deadRuns = first.runStart - m_runBase;
    if (deadRuns > 0 && deadRuns * 4 >= m_runs.size()) {
        dropFrontInPlace(m_runs, deadRuns);
        m_runBase += deadRuns;
    }
    if (m_firstLine > 0 && m_firstLine * 4 >= m_lines.size()) {
        dropFrontInPlace(m_lines, m_firstLine);
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
    const QStringView text = lineText(line);
    return lineAt(line).simple ? LineWrap::simpleRows(text.size(), m_columns) : LineWrap::rows(text, m_columns);
}

qint64 TerminalBuffer::currentRowEnd() const
{
    const qint64 start = m_lines.size() - m_firstLine > 1 ? m_lines.at(m_lines.size() - 2).rowEnd : m_rowBase;
    const Line& line = m_lines.last();
    const QStringView text = lineText(lineCount() - 1);
    if (line.simple) {
        return start + LineWrap::simpleRows(text.size(), m_columns);
    }
    // Text appended since the last count continues it; anything else starts it afresh.
    if (m_currentWrap.scanned > text.size()) {
        m_currentWrap = {};
    }
    return start + LineWrap::rows(text, m_columns, m_currentWrap);
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
    const qint64 end = line + 1 == lineCount() ? currentRowEnd() : lineAt(line).rowEnd;
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
