#include "terminal/output_search.h"

#include "terminal/coloured_text.h"

#include <algorithm>

namespace {

// Well within a frame, so that painting goes on while history is searched.
constexpr qint64 SliceNanoseconds = 4'000'000;
// The count is read, not watched: repainting after every slice would take as long as the search.
constexpr qint64 ReportMilliseconds = 50;

} // namespace

OutputSearch::OutputSearch(const TerminalBuffer& buffer, QObject* parent) : QObject(parent), m_buffer(buffer)
{
    m_slice.setInterval(0);
    m_slice.setSingleShot(true);
    connect(&m_slice, &QTimer::timeout, this, &OutputSearch::searchHistory);
}

template <typename Found>
void OutputSearch::searchLine(qint64 number, Found&& found) const
{
    const QStringView text = m_buffer.searchText(number - m_buffer.firstLineNumber(), m_scratch, m_sensitivity);
    for (qsizetype at = m_matcher.indexIn(text); at >= 0; at = m_matcher.indexIn(text, at + m_query.size())) {
        found(TerminalBuffer::Point{number, at});
    }
}

void OutputSearch::setQuery(const QString& text, Qt::CaseSensitivity sensitivity)
{
    if (text == m_query && sensitivity == m_sensitivity) {
        return;
    }
    m_query = text;
    m_sensitivity = sensitivity;
    QString pattern = m_query;
    if (m_sensitivity == Qt::CaseInsensitive) {
        ColouredText::fold(m_query, pattern);
    }
    m_matcher = QStringMatcher(pattern, Qt::CaseSensitive);
    m_matches.clear();
    m_current.reset();
    m_slice.stop();
    m_liveFrom = m_buffer.screenTop();
    m_scanNext = m_liveFrom - 1;
    m_dropped = m_buffer.firstLineNumber();
    m_unreported = false;
    m_reported.start();
    if (!isActive()) {
        Q_EMIT changed();
        return;
    }
    outputChanged();
    // The newest match first: the view follows the end of the output.
    if (!m_matches.empty()) {
        setCurrent(m_matches.back());
    }
    searchHistory();
}

void OutputSearch::outputChanged()
{
    if (!isActive()) {
        return;
    }
    const qint64 first = m_buffer.firstLineNumber();
    while (!m_matches.empty() && m_matches.front().line < first) {
        m_matches.pop_front();
    }
    // A line cut inside shows less than it did.
    if (first != m_dropped && m_scanNext < first && first < m_liveFrom) {
        while (!m_matches.empty() && m_matches.front().line == first) {
            m_matches.pop_front();
        }
        std::vector<TerminalBuffer::Point> found;
        searchLine(first, [&found](TerminalBuffer::Point point) { found.push_back(point); });
        m_matches.insert(m_matches.begin(), found.begin(), found.end());
    }
    m_dropped = first;
    m_liveFrom = std::max(m_liveFrom, first);
    while (!m_matches.empty() && m_matches.back().line >= m_liveFrom) {
        m_matches.pop_back();
    }
    const qint64 last = first + m_buffer.lineCount() - 1;
    for (qint64 number = m_liveFrom; number <= last; ++number) {
        searchLine(number, [this](TerminalBuffer::Point point) { m_matches.push_back(point); });
    }
    m_liveFrom = m_buffer.screenTop();
    if (m_current) {
        // The current match stays where it was, or the next one takes its place.
        const auto at = std::lower_bound(m_matches.cbegin(), m_matches.cend(), *m_current);
        setCurrent(at != m_matches.cend()  ? std::optional(*at)
                       : m_matches.empty() ? std::nullopt
                                           : std::optional(m_matches.back()));
    } else if (!m_matches.empty()) {
        setCurrent(m_matches.back());
    }
    Q_EMIT changed();
}

void OutputSearch::searchHistory()
{
    QElapsedTimer clock;
    clock.start();
    std::vector<TerminalBuffer::Point> found;
    const qint64 first = m_buffer.firstLineNumber();
    while (m_scanNext >= first && clock.nsecsElapsed() < SliceNanoseconds) {
        const size_t before = found.size();
        searchLine(m_scanNext, [&found](TerminalBuffer::Point point) { found.push_back(point); });
        // Found back to front, each line's own matches front to back.
        std::reverse(found.begin() + qsizetype(before), found.end());
        --m_scanNext;
    }
    m_matches.insert(m_matches.begin(), found.rbegin(), found.rend());
    m_unreported = m_unreported || !found.empty();
    const bool firstFound = !m_current && !m_matches.empty();
    if (firstFound) {
        setCurrent(m_matches.back());
    }
    const bool done = m_scanNext < first;
    if (!done) {
        m_slice.start();
    }
    if (done || firstFound || (m_unreported && m_reported.hasExpired(ReportMilliseconds))) {
        m_unreported = false;
        m_reported.start();
        Q_EMIT changed();
    }
}

void OutputSearch::setCurrent(std::optional<TerminalBuffer::Point> point)
{
    if (point == m_current) {
        return;
    }
    m_current = point;
    Q_EMIT currentMoved();
}

qsizetype OutputSearch::currentNumber() const
{
    if (!m_current) {
        return 0;
    }
    return std::lower_bound(m_matches.cbegin(), m_matches.cend(), *m_current) - m_matches.cbegin() + 1;
}

void OutputSearch::next()
{
    if (m_matches.empty()) {
        return;
    }
    const auto after =
        m_current ? std::upper_bound(m_matches.cbegin(), m_matches.cend(), *m_current) : m_matches.cend();
    setCurrent(after == m_matches.cend() ? m_matches.front() : *after);
    Q_EMIT changed();
}

void OutputSearch::previous()
{
    if (m_matches.empty()) {
        return;
    }
    const auto at = m_current ? std::lower_bound(m_matches.cbegin(), m_matches.cend(), *m_current) : m_matches.cbegin();
    setCurrent(at == m_matches.cbegin() ? m_matches.back() : *(at - 1));
    Q_EMIT changed();
}

QList<qsizetype> OutputSearch::matchesIn(qint64 line) const
{
    QList<qsizetype> starts;
    const auto from = std::lower_bound(m_matches.cbegin(), m_matches.cend(), TerminalBuffer::Point{line, 0});
    for (auto at = from; at != m_matches.cend() && at->line == line; ++at) {
        starts.append(at->index);
    }
    return starts;
}
