#pragma once

#include <QString>
#include <QStringView>

// The raw text of a line that only colours its characters: no carriage return, no backspace, no
// escape sequence but SGR with numeric parameters. What a terminal shows for it is the raw text
// without those sequences and without controls, which a copy finds several times faster than the
// escape parser builds it.
//
// Either text may come case-folded, character for character, so that a case-sensitive search of
// the folded text finds what a case-insensitive one would, at a third of its cost.
class ColouredText
{
public:
    // Writes what the line shows into `shown` and returns true; false, with `shown` undefined, for
    // a line that does more than colour its characters.
    static bool shownText(QStringView raw, QString& shown, Qt::CaseSensitivity sensitivity);
    static void fold(QStringView text, QString& folded);
};
