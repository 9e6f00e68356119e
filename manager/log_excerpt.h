#pragma once

#include <QString>

// Log lines that repeat a whole text show only its end, so that log volume grows with the
// text rather than with its square.
class LogExcerpt
{
public:
    static constexpr qsizetype TailLength = 500;

    // The text itself when short; otherwise a marker with the number of characters left out,
    // followed by the last TailLength characters.
    static QString tail(const QString& text);
};
