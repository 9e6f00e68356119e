#include "terminal/terminal_line.h"

#include <QVarLengthArray>

#include <algorithm>
#include <limits>

namespace {
// Buffers that one huge line made so large are not worth keeping for the next line.
constexpr qsizetype KeptCapacity = qsizetype(1) << 16;
} // namespace

TerminalLine::TerminalLine() = default;

TerminalLine::~TerminalLine() = default;

void TerminalLine::reset(const TextStyle& style)
{
    m_parser.lineFeed();
    if (m_text.capacity() > KeptCapacity) {
        m_text = QString();
        m_runs = std::vector<StyleRun>();
    }
    m_text.truncate(0);
    m_runs.clear();
    ++m_rewrites;
    m_style = style;
    m_cursor = 0;
    m_rawLength = 0;
    m_simple = true;
}

void TerminalLine::feed(QStringView raw)
{
    m_rawLength += raw.size();
    m_parser.feed(raw);
}

void TerminalLine::swapContents(QString& text, std::vector<StyleRun>& runs)
{
    m_text.swap(text);
    m_runs.swap(runs);
}

void TerminalLine::place(qsizetype column, const TextStyle& style, qint64 columns)
{
    m_style = style;
    allowColumns(columns);
    setCursorColumn(int(std::min<qsizetype>(column, std::numeric_limits<int>::max())));
}

void TerminalLine::printText(QStringView text, bool simple)
{
    m_simple = m_simple && simple;
    qsizetype length = m_text.size();
    if (m_cursor > length) {
        // Moved past the end: the gap is blank.
        const qsizetype cursor = m_cursor;
        m_cursor = length;
        printText(QString(cursor - length, u' '), true);
        length = cursor;
    }
    if (m_cursor == length) {
        if (m_runs.empty() || !(m_runs.back().style == m_style)) {
            m_runs.push_back(StyleRun{quint32(length), m_style});
        }
        m_text.append(text);
        m_cursor += text.size();
        return;
    }

    // Writing over earlier characters, after a carriage return or a move back. Half a surrogate
    // pair left on either side would show as garbage.
    if (m_cursor > 0 && m_text.at(m_cursor).isLowSurrogate() && m_text.at(m_cursor - 1).isHighSurrogate()) {
        m_text[m_cursor - 1] = u' ';
    }
    const qsizetype overlap = std::min(text.size(), length - m_cursor);
    std::copy(text.begin(), text.begin() + overlap, m_text.begin() + m_cursor);
    m_text.append(text.sliced(overlap));
    const qsizetype from = m_cursor;
    m_cursor += text.size();
    ++m_rewrites;
    if (m_cursor < m_text.size() && m_text.at(m_cursor).isLowSurrogate()) {
        m_text[m_cursor] = u' ';
    }
    setStyle(from, m_cursor, m_style);
}

void TerminalLine::setStyle(qsizetype from, qsizetype to, const TextStyle& style)
{
    const qsizetype length = m_text.size();
    QVarLengthArray<StyleRun, 32> result;
    const auto push = [&result](qsizetype start, const TextStyle& runStyle) {
        if (!result.isEmpty() && result.last().start == quint32(start)) {
            result.removeLast();
        }
        if (result.isEmpty() || !(result.last().style == runStyle)) {
            result.append(StyleRun{quint32(start), runStyle});
        }
    };
    const size_t runCount = m_runs.size();
    const auto runEndAt = [&](size_t i) { return i + 1 < runCount ? qsizetype(m_runs[i + 1].start) : length; };
    for (size_t i = 0; i < runCount; ++i) {
        if (qsizetype(m_runs[i].start) < from) {
            push(m_runs[i].start, m_runs[i].style);
        }
    }
    push(from, style);
    for (size_t i = 0; i < runCount; ++i) {
        if (runEndAt(i) > to) {
            push(std::max<qsizetype>(m_runs[i].start, to), m_runs[i].style);
        }
    }
    m_runs.assign(result.cbegin(), result.cend());
}

void TerminalLine::carriageReturn()
{
    m_cursor = 0;
}

void TerminalLine::backspace()
{
    moveCursor(-1);
}

void TerminalLine::moveCursor(int count)
{
    setCursorColumn(int(std::clamp<qsizetype>(m_cursor + count, 0, std::numeric_limits<int>::max())));
    // Back onto the second half of a surrogate pair means onto the whole character.
    if (count < 0 && m_cursor > 0 && m_cursor < m_text.size() && m_text.at(m_cursor).isLowSurrogate() &&
        m_text.at(m_cursor - 1).isHighSurrogate()) {
        --m_cursor;
    }
}

void TerminalLine::setCursorColumn(int column)
{
    // A hostile sequence must not make the line huge: the cursor stays within what the line
    // could have become from the text it was made of.
    m_cursor = std::min<qint64>(std::max(column, 0), std::max<qint64>(m_text.size(), m_rawLength));
}

void TerminalLine::selectGraphicRendition(std::span<const SequenceParameter> parameters)
{
    m_style.applySelectGraphicRendition(parameters);
}

void TerminalLine::eraseInLine(int mode)
{
    const qsizetype length = m_text.size();
    switch (mode) {
    case 0:
        truncate(m_cursor);
        break;
    case 1:
        blank(std::min(m_cursor + 1, length));
        break;
    default:
        truncate(m_cursor);
        blank(std::min(m_cursor, length));
        break;
    }
}

void TerminalLine::truncate(qsizetype length)
{
    if (length >= m_text.size()) {
        return;
    }
    m_text.truncate(length);
    ++m_rewrites;
    while (!m_runs.empty() && qsizetype(m_runs.back().start) >= length) {
        m_runs.pop_back();
    }
}

void TerminalLine::blank(qsizetype to)
{
    if (to <= 0) {
        return;
    }
    std::fill(m_text.begin(), m_text.begin() + to, u' ');
    ++m_rewrites;
    setStyle(0, to, TextStyle());
}
