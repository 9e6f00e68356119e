#pragma once

#include <QString>

// The collected output, bounded in memory. Past the limit the oldest whole lines go, a quarter
// of the limit at a time, so trimming costs amortised constant time per appended character.
class OutputText
{
public:
    explicit OutputText(qsizetype maxBytes);

    const QString& text() const { return m_text; }

    // Appends and returns how many characters were dropped from the front to stay in bounds.
    qsizetype append(QStringView piece);

private:
    QString m_text;
    qsizetype m_maxCharacters;
};
