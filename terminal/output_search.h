#pragma once

#include "terminal/terminal_buffer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringMatcher>
#include <QTimer>

#include <deque>
#include <optional>

// Find in the output: every match of a text in the lines kept, with one of them current. The
// lines of the screen are searched at once and again after every change; history, which never
// changes, is searched from the newest line back in slices of a few milliseconds, so that the
// window stays responsive over the whole retained output. Matches in trimmed lines go.
class OutputSearch : public QObject
{
    Q_OBJECT

public:
    explicit OutputSearch(const TerminalBuffer& buffer, QObject* parent = nullptr);

    // An empty text ends the search.
    void setQuery(const QString& text, Qt::CaseSensitivity sensitivity);
    bool isActive() const { return !m_query.isEmpty(); }
    qsizetype length() const { return m_query.size(); }
    qsizetype count() const { return qsizetype(m_matches.size()); }
    // Counted from 1; 0 without a current match.
    qsizetype currentNumber() const;
    std::optional<TerminalBuffer::Point> current() const { return m_current; }
    bool isSearching() const { return m_scanNext >= m_buffer.firstLineNumber() && isActive(); }
    // Both wrap around.
    void next();
    void previous();
    // Where matches start in one line, first first.
    QList<qsizetype> matchesIn(qint64 line) const;

    // The buffer changed.
    void outputChanged();

Q_SIGNALS:
    // The count, the current match or the matches shown changed.
    void changed();
    // A different match is current; the view brings it into sight.
    void currentMoved();

private:
    void searchHistory();
    template <typename Found>
    void searchLine(qint64 number, Found&& found) const;
    void setCurrent(std::optional<TerminalBuffer::Point> point);

    const TerminalBuffer& m_buffer;
    QString m_query;
    Qt::CaseSensitivity m_sensitivity = Qt::CaseInsensitive;
    QStringMatcher m_matcher;
    // Holds the line searched, when it is not kept as the search reads it.
    mutable QString m_scratch;
    // Ordered; history matches from m_scanNext + 1 on, then the screen's from m_liveFrom on.
    std::deque<TerminalBuffer::Point> m_matches;
    qint64 m_liveFrom = 0;
    qint64 m_scanNext = -1;
    qint64 m_dropped = 0;
    std::optional<TerminalBuffer::Point> m_current;
    QTimer m_slice;
    // Since matches found in history were last reported.
    QElapsedTimer m_reported;
    bool m_unreported = false;
};
