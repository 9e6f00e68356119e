#include "terminal/output_announcer.h"

#include <QAccessibleEvent>

#include <utility>

OutputAnnouncer::OutputAnnouncer(const TerminalBuffer& buffer, QObject* target) : m_buffer(buffer), m_target(target)
{
    QAccessible::installActivationObserver(this);
}

OutputAnnouncer::~OutputAnnouncer()
{
    QAccessible::removeActivationObserver(this);
}

void OutputAnnouncer::accessibilityActiveChanged(bool active)
{
    m_told.reset();
    if (active) {
        m_told = current();
    }
}

OutputAnnouncer::Told OutputAnnouncer::current() const
{
    const qint64 tailLine = m_buffer.screenTop();
    const qint64 start = m_buffer.droppedCharacters();
    return {start,
            tailLine,
            start + m_buffer.offsetOf({tailLine, 0}),
            m_buffer.text({tailLine, 0}, m_buffer.endPoint()),
            m_buffer.characterCount()};
}

void OutputAnnouncer::frameShown()
{
    if (!m_told) {
        return;
    }
    const Told before = *std::exchange(m_told, current());
    const Told& now = *m_told;
    const TerminalBuffer::Point end = m_buffer.endPoint();
    const bool tailKept = before.tailLine >= m_buffer.firstLineNumber() &&
        now.start + m_buffer.offsetOf({before.tailLine, 0}) == before.tailStart;
    if (now.start < before.start || !tailKept) {
        removed(0, before.count);
        inserted(0, m_buffer.text({m_buffer.firstLineNumber(), 0}, end));
        return;
    }
    removed(0, now.start - before.start);
    // The lines from the old screen's top on may have been rewritten since, in part or whole:
    // what lies between their common start and common end changed.
    const QString tail = m_buffer.text({before.tailLine, 0}, end);
    const QString& old = before.tailText;
    qsizetype same = 0;
    while (same < old.size() && same < tail.size() && old.at(same) == tail.at(same)) {
        ++same;
    }
    qsizetype sameEnd = 0;
    while (sameEnd < old.size() - same && sameEnd < tail.size() - same &&
           old.at(old.size() - 1 - sameEnd) == tail.at(tail.size() - 1 - sameEnd)) {
        ++sameEnd;
    }
    const qint64 position = before.tailStart + same - now.start;
    removed(position, old.size() - same - sameEnd);
    inserted(position, tail.sliced(same, tail.size() - same - sameEnd));
}

void OutputAnnouncer::removed(qint64 position, qint64 count) const
{
    if (count <= 0) {
        return;
    }
    // The text is gone; its length is what counts, as Qt's own text views tell it.
    QAccessibleTextRemoveEvent event(m_target, int(position), QString(qsizetype(count), u' '));
    QAccessible::updateAccessibility(&event);
}

void OutputAnnouncer::inserted(qint64 position, const QString& text) const
{
    if (text.isEmpty()) {
        return;
    }
    QAccessibleTextInsertEvent event(m_target, int(position), text);
    QAccessible::updateAccessibility(&event);
}
