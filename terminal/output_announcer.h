#pragma once

#include "terminal/terminal_buffer.h"

#include <QAccessible>
#include <QString>

#include <optional>

class QObject;

// Tells assistive technologies how the shown text changed since the last frame: lines trimmed
// as text removed at the start, new output as text inserted at the end, rewritten lines (progress
// redrawn after "\r" or after moving the cursor up) as their changed part removed and inserted
// again. Nothing is kept or computed while no assistive technology listens.
class OutputAnnouncer : private QAccessible::ActivationObserver
{
public:
    OutputAnnouncer(const TerminalBuffer& buffer, QObject* target);
    ~OutputAnnouncer() override;
    OutputAnnouncer(const OutputAnnouncer&) = delete;
    OutputAnnouncer& operator=(const OutputAnnouncer&) = delete;

    // From the text as it stands: what an assistive technology reads from now on.
    void start() { accessibilityActiveChanged(QAccessible::isActive()); }
    // Once per frame shown.
    void frameShown();

private:
    // What was last announced: where the text started and the lines that may still change,
    // from the screen's top on.
    struct Told
    {
        qint64 start;
        qint64 tailLine;
        qint64 tailStart;
        QString tailText;
        qint64 count;
    };

    void accessibilityActiveChanged(bool active) override;
    Told current() const;
    void removed(qint64 position, qint64 count) const;
    void inserted(qint64 position, const QString& text) const;

    const TerminalBuffer& m_buffer;
    QObject* m_target;
    std::optional<Told> m_told;
};
