#include "terminal/terminal_buffer.h"

#include "terminal/coloured_text.h"

#include <algorithm>

TerminalBuffer::TerminalBuffer(Source source) : m_source(std::move(source))
{
    m_lines.append(Line{0, 0, 0, TextStyle(), true, false});
    m_built.push_back(std::make_unique<TerminalLine>());
    m_cursor = m_built.back().get();
}

TerminalBuffer::~TerminalBuffer() = default;

void TerminalBuffer::append(QStringView text)
{
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype lineFeed = text.indexOf(u'\n', start);
        const qsizetype end = lineFeed < 0 ? text.size() : lineFeed;
        m_rawEnd += end - start;
        m_cursor->allowColumns(m_rawEnd - record(m_cursorLine).rawStart);
        m_parser.feed(text.sliced(start, end - start));
        if (lineFeed < 0) {
            break;
        }
        ++m_rawEnd;
        m_parser.lineFeed();
        this->lineFeed();
        start = lineFeed + 1;
    }
    settle();
}

qint64 TerminalBuffer::screenTop() const
{
    return std::max({lastNumber() + 1 - ScreenLines, m_screenStart, m_droppedLines});
}

const TerminalLine* TerminalBuffer::built(qsizetype line) const
{
    const qint64 index = m_droppedLines + line - firstBuiltNumber();
    return index >= 0 ? m_built.at(size_t(index)).get() : nullptr;
}

void TerminalBuffer::edited()
{
    if (m_cursorLine != lastNumber()) {
        m_editedFrom = std::min(m_editedFrom, m_cursorLine);
    }
}

void TerminalBuffer::settle()
{
    const qint64 last = lastNumber();
    for (qint64 number = std::max(m_editedFrom, m_droppedLines); number < last; ++number) {
        const qsizetype line = number - m_droppedLines;
        const LineContent content = this->line(line);
        const int rows = content.simple ? LineWrap::simpleRows(content.text.size(), m_columns)
                                        : LineWrap::rows(content.text, m_columns);
        Line& changed = record(number);
        changed.simple = content.simple;
        changed.rowEnd = (line == 0 ? m_rowBase : lineAt(line - 1).rowEnd) + rows;
        changed.characterEnd = characterStart(line) + content.text.size() + 1;
    }
    m_editedFrom = std::numeric_limits<qint64>::max();
}

void TerminalBuffer::printText(QStringView text, bool simple)
{
    m_cursor->printText(text, simple);
    edited();
}

void TerminalBuffer::carriageReturn()
{
    m_cursor->carriageReturn();
}

void TerminalBuffer::backspace()
{
    m_cursor->backspace();
}

void TerminalBuffer::selectGraphicRendition(std::span<const SequenceParameter> parameters)
{
    m_cursor->selectGraphicRendition(parameters);
}

void TerminalBuffer::eraseInLine(int mode)
{
    m_cursor->eraseInLine(mode);
    edited();
}

void TerminalBuffer::moveCursor(int count)
{
    m_cursor->moveCursor(count);
}

void TerminalBuffer::setCursorColumn(int column)
{
    m_cursor->setCursorColumn(column);
}

void TerminalBuffer::moveTo(qint64 number, qsizetype column, qint64 columns, const TextStyle& style)
{
    // The screen is ScreenLines high: below its last line, while it has fewer, lines are blank.
    const qint64 top = screenTop();
    number = std::clamp(number, top, top + ScreenLines - 1);
    while (lastNumber() < number) {
        addLine(true);
    }
    // Neither line is what its raw text makes of it any more.
    record(m_cursorLine).rewritten = true;
    record(number).rewritten = true;
    m_cursorLine = number;
    m_cursor = m_built.at(size_t(number - firstBuiltNumber())).get();
    m_cursor->place(column, style, std::max<qint64>(columns, m_rawEnd - record(number).rawStart));
}

void TerminalBuffer::moveLines(int count, bool toLineStart)
{
    const qsizetype column = toLineStart ? 0 : m_cursor->cursor();
    moveTo(m_cursorLine + count, column, column, m_cursor->style());
}

void TerminalBuffer::setCursorLine(int line)
{
    moveTo(screenTop() + line, m_cursor->cursor(), m_cursor->cursor(), m_cursor->style());
}

void TerminalBuffer::setCursorPosition(int line, int column)
{
    moveTo(screenTop() + line, column, 0, m_cursor->style());
}

void TerminalBuffer::saveCursor()
{
    m_saved = Cursor{m_cursorLine, m_cursor->cursor(), m_cursor->style()};
}

void TerminalBuffer::restoreCursor()
{
    const Cursor saved = m_saved.value_or(Cursor{screenTop(), 0, TextStyle()});
    moveTo(saved.line, saved.column, saved.column, saved.style);
}

void TerminalBuffer::eraseInDisplay(int mode)
{
    if (mode == 0) {
        m_cursor->eraseInLine(0);
        removeLinesAfter(m_cursorLine);
        edited();
        return;
    }
    if (mode == 1) {
        for (qint64 number = screenTop(); number < m_cursorLine; ++number) {
            m_built.at(size_t(number - firstBuiltNumber()))->reset(TextStyle());
            record(number).rewritten = true;
            m_editedFrom = std::min(m_editedFrom, number);
        }
        m_cursor->eraseInLine(1);
        edited();
        return;
    }
    // What the screen shows goes into history as it stands; a fresh screen starts below its last
    // written line, the cursor on its first line at the same column.
    qint64 lastWritten = lastNumber();
    const qint64 top = screenTop();
    while (lastWritten >= top && m_built.at(size_t(lastWritten - firstBuiltNumber()))->text().isEmpty()) {
        --lastWritten;
    }
    if (lastWritten < top) {
        return;
    }
    const qsizetype column = m_cursor->cursor();
    const TextStyle style = m_cursor->style();
    removeLinesAfter(lastWritten + 1);
    if (lastNumber() == lastWritten) {
        addLine(true);
    }
    m_screenStart = lastWritten + 1;
    moveTo(m_screenStart, column, column, style);
    retire();
}

void TerminalBuffer::lineFeed()
{
    if (m_cursorLine < lastNumber()) {
        moveTo(m_cursorLine + 1, 0, 0, m_cursor->style());
        return;
    }
    addLine(false);
    m_cursorLine = lastNumber();
    m_cursor = m_built.back().get();
    retire();
}

void TerminalBuffer::addLine(bool rewritten)
{
    Line& line = m_lines.last();
    const TerminalLine& content = *m_built.back();
    line.rowEnd = currentRowEnd();
    line.simple = content.isSimple();
    line.characterEnd = characterStart(lineCount() - 1) + content.text().size() + 1;
    const TextStyle style = m_cursor->style();
    m_lines.append(Line{m_rawEnd, 0, 0, style, true, rewritten});
    std::unique_ptr<TerminalLine> fresh;
    if (m_spares.empty()) {
        fresh = std::make_unique<TerminalLine>();
    } else {
        fresh = std::move(m_spares.back());
        m_spares.pop_back();
    }
    fresh->reset(style);
    m_built.push_back(std::move(fresh));
    m_currentWrap = {};
    m_currentWrapRewrites = std::numeric_limits<quint64>::max();
}

void TerminalBuffer::removeLinesAfter(qint64 number)
{
    while (lastNumber() > number) {
        m_lines.removeLast();
        recycle(std::move(m_built.back()));
        m_built.pop_back();
        m_currentWrap = {};
        m_currentWrapRewrites = std::numeric_limits<quint64>::max();
    }
    if (m_cursorLine > number) {
        m_cursorLine = number;
        m_cursor = m_built.back().get();
    }
    if (m_saved && m_saved->line > number) {
        m_saved->line = number;
    }
}

void TerminalBuffer::retire()
{
    const qint64 top = screenTop();
    while (firstBuiltNumber() < top) {
        const qint64 number = firstBuiltNumber();
        TerminalLine& content = *m_built.front();
        Line& line = record(number);
        line.simple = content.isSimple();
        if (line.rewritten) {
            Kept& kept = m_kept.emplace_back(Kept{number, {}, {}, line.simple});
            content.swapContents(kept.text, kept.runs);
        } else {
            // Kept built for showing: the newest lines of history are the ones on screen.
            Shown& shown = m_shown.at(size_t(number) % ShownLines);
            shown.number = number;
            shown.rawStart = line.rawStart;
            shown.simple = line.simple;
            content.swapContents(shown.text, shown.runs);
        }
        recycle(std::move(m_built.front()));
        m_built.pop_front();
    }
}

void TerminalBuffer::recycle(std::unique_ptr<TerminalLine> line)
{
    if (m_spares.size() < size_t(ScreenLines)) {
        m_spares.push_back(std::move(line));
    }
}

qint64 TerminalBuffer::rawEnd(qsizetype line) const
{
    return isCurrent(line) ? m_rawEnd : lineAt(line + 1).rawStart;
}

const TerminalBuffer::Kept& TerminalBuffer::kept(qint64 number) const
{
    const auto found = std::lower_bound(
        m_kept.cbegin(), m_kept.cend(), number, [](const Kept& kept, qint64 value) { return kept.number < value; });
    return *found;
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
    if (const TerminalLine* const content = built(line)) {
        return {content->text(), content->runs(), content->isSimple()};
    }
    if (lineAt(line).rewritten) {
        const Kept& content = kept(m_droppedLines + line);
        return {content.text, content.runs, content.simple};
    }
    const Shown& content = shown(line);
    return {content.text, content.runs, content.simple};
}

QStringView TerminalBuffer::searchText(qsizetype line, QString& scratch, Qt::CaseSensitivity sensitivity) const
{
    const Line& record = lineAt(line);
    const qint64 number = m_droppedLines + line;
    const Shown& cached = m_shown.at(size_t(number) % ShownLines);
    const bool fresh =
        !built(line) && !record.rewritten && (cached.number != number || cached.rawStart != record.rawStart);
    if (fresh) {
        QStringView raw = m_source(record.rawStart, rawEnd(line));
        if (raw.endsWith(u'\n')) {
            raw.chop(1);
        }
        if (ColouredText::shownText(raw, scratch, sensitivity)) {
            return scratch;
        }
    }
    if (sensitivity == Qt::CaseSensitive) {
        return lineText(line);
    }
    ColouredText::fold(lineText(line), scratch);
    return scratch;
}

void TerminalBuffer::rebuildCurrent()
{
    const Line& line = m_lines.last();
    TerminalLine& content = *m_built.back();
    content.reset(line.startStyle);
    content.feed(m_source(line.rawStart, m_rawEnd));
    m_currentWrap = {};
}

void TerminalBuffer::dropFront(qint64 characters)
{
    settle();
    while (characters > 0) {
        Line& first = m_lines[m_firstLine];
        if (isCurrent(0)) {
            const qint64 cut = std::min(characters, m_rawEnd - first.rawStart);
            if (cut > 0) {
                first.rawStart += cut;
                // A line the cursor came back to keeps what it shows.
                if (!first.rewritten) {
                    rebuildCurrent();
                }
            }
            break;
        }
        const qint64 rawLength = rawEnd(0) - first.rawStart;
        if (characters < rawLength) {
            first.rawStart += characters;
            if (first.rewritten) {
                break;
            }
            // Cut inside the line: it now starts later, with fewer rows.
            const int rowsBefore = rowsOfLine(0);
            const qsizetype lengthBefore = length(0);
            qsizetype lengthAfter = 0;
            if (built(0)) {
                TerminalLine& content = *m_built.front();
                content.reset(first.startStyle);
                content.feed(m_source(first.rawStart, rawEnd(0)));
                lengthAfter = content.text().size();
                first.simple = content.isSimple();
            } else {
                const Shown& rest = shown(0);
                first.simple = rest.simple;
                lengthAfter = rest.text.size();
            }
            m_characterBase += lengthBefore - lengthAfter;
            m_rowBase += rowsBefore - countRows(0);
            break;
        }
        characters -= rawLength;
        m_rowBase = first.rowEnd;
        m_characterBase = first.characterEnd;
        if (built(0)) {
            if (m_cursor == m_built.front().get()) {
                // The cursor's line is gone: it goes on at the start of the next one.
                const TextStyle style = m_cursor->style();
                m_cursor = m_built.at(1).get();
                m_cursor->place(0, style, 0);
                ++m_cursorLine;
            }
            recycle(std::move(m_built.front()));
            m_built.pop_front();
        } else if (first.rewritten) {
            m_kept.pop_front();
        }
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
    if (const TerminalLine* const content = built(line)) {
        return content->isSimple() ? LineWrap::simpleRows(content->text().size(), m_columns)
                                   : LineWrap::rows(content->text(), m_columns);
    }
    return lineAt(line).simple ? LineWrap::simpleRows(length(line), m_columns)
                               : LineWrap::rows(this->line(line).text, m_columns);
}

qint64 TerminalBuffer::currentRowEnd() const
{
    const qint64 start = lineCount() > 1 ? m_lines.at(m_lines.size() - 2).rowEnd : m_rowBase;
    const TerminalLine& last = lastLine();
    const QStringView text = last.text();
    if (last.isSimple()) {
        return start + LineWrap::simpleRows(text.size(), m_columns);
    }
    // Text appended since the last count continues it; anything else starts it afresh.
    if (last.rewrites() != m_currentWrapRewrites || m_currentWrap.scanned > text.size()) {
        m_currentWrap = {};
        m_currentWrapRewrites = last.rewrites();
    }
    return start + LineWrap::rows(text, m_columns, m_currentWrap);
}

qint64 TerminalBuffer::characterStart(qsizetype line) const
{
    return line == 0 ? m_characterBase : lineAt(line - 1).characterEnd;
}

qint64 TerminalBuffer::characterCount() const
{
    return characterStart(lineCount() - 1) + lastLine().text().size() - m_characterBase;
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
    const qsizetype length = isCurrent(line) ? lastLine().text().size() : this->length(line);
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
    const qsizetype length = isCurrent(line) ? lastLine().text().size() : this->length(line);
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
